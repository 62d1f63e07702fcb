// qmcli: a command-line client of qmsrv. Opens one session, runs a script and/or SQL texts in
// order, prints each result, optionally shows the server's status, and disconnects.
//
// Exit codes: 0 success, 1 the server or the connection reported an error (its message goes
// to stderr), 2 bad usage.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "client/db_client.h"
#include "client/result_printer.h"
#include "client/result_set.h"
#include "support/exception.h"

namespace {

struct Options {
  std::string Host = "127.0.0.1";
  std::string Port = "979";
  int TimeoutSeconds = 120;
  std::string ServerPassword;
  qm::TqmSessionParams Session;
  std::vector<std::string> Execute;
  std::vector<std::string> Positional;
  std::vector<std::string> Params;
  std::string Script;
  std::string Format = "table";
  bool Status = false;
  qm::TqmTLSOptions TLS;
};

std::string ReadFile(const std::string& FileName) {
  std::ifstream file(FileName, std::ios::binary);
  if (!file) {
    throw qm::Exception("Cannot open script file \"" + FileName + "\"");
  }
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // A byte-order mark is not part of the first statement.
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
    text.erase(0, 3);
  }
  return text;
}

std::vector<std::pair<std::string, std::string>> SplitParams(
    const std::vector<std::string>& Texts) {
  std::vector<std::pair<std::string, std::string>> params;
  for (const std::string& text : Texts) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
      throw CLI::ValidationError("--param", "expected NAME=VALUE, got \"" + text + "\"");
    }
    params.emplace_back(text.substr(0, eq), text.substr(eq + 1));
  }
  return params;
}

// A server message as terminal lines: engine texts break lines with a lone carriage return
// ("Postgre connection failed\r" and the library's reason), which would make the reason
// overwrite the start of the line; trailing line breaks are dropped.
std::string MessageLines(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] == '\r') {
      out += '\n';
      if (i + 1 < Text.size() && Text[i + 1] == '\n') {
        ++i;
      }
    } else {
      out += Text[i];
    }
  }
  while (!out.empty() && out.back() == '\n') {
    out.pop_back();
  }
  return out;
}

void PrintNotices(const qm::TqmResultSet& Result) {
  for (const auto& [name, text] : Result.Notices) {
    std::cerr << "Notice: " << name << ": " << text << '\n';
  }
}

void PrintStatus(qm::TqmDBClient& Client, qm::TqmOutputFormat Format) {
  const std::string json = Client.Status();
  if (Format == qm::TqmOutputFormat::Json) {
    std::cout << json << '\n';
    return;
  }
  std::cout << qm::FormatResult(qm::DecodeStatus(json), Format);
}

int Run(const Options& Opt, qm::TqmOutputFormat Format,
        const std::vector<std::pair<std::string, std::string>>& Params) {
  std::vector<std::string> statements = Opt.Execute;
  statements.insert(statements.end(), Opt.Positional.begin(), Opt.Positional.end());
  const bool work = !statements.empty() || !Opt.Script.empty();

  const std::string script = Opt.Script.empty() ? std::string() : ReadFile(Opt.Script);
  qm::TqmDBClient client(Opt.Host, Opt.Port, Opt.TimeoutSeconds * 1000);
  client.SetServerPassword(Opt.ServerPassword);
  client.SetTLS(Opt.TLS);
  client.Open();
  if (work) {
    client.Connect(Opt.Session);
    try {
      if (!Opt.Script.empty()) {
        client.ExecScript(script, Opt.Script);
      }
      for (const std::string& sql : statements) {
        qm::TqmResultSet result = client.ExecuteSQL(sql, Params);
        PrintNotices(result);
        std::cout << qm::FormatResult(result, Format);
      }
      if (Opt.Status) {
        PrintStatus(client, Format);
      }
    } catch (...) {
      // Leave no session behind on the server; the first failure is the one to report.
      try {
        client.Disconnect();
      } catch (const qm::Exception&) {
      }
      throw;
    }
    client.Disconnect();
  } else {
    PrintStatus(client, Format);
  }
  std::cout.flush();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  CLI::App app{"qmcli: run SQL on a qmsrv database command server"};
  app.option_defaults()->always_capture_default();
  app.set_version_flag("--version", std::string("qmcli ") + QM_VERSION);
  app.add_option("--host", opt.Host, "Server address");
  app.add_option("--port", opt.Port, "Server port");
  app.add_option("--timeout", opt.TimeoutSeconds, "Seconds to wait for a reply")
      ->check(CLI::PositiveNumber);
  app.add_option("--server-password", opt.ServerPassword,
                 "Password of the qmsrv server (its Password setting)")
      ->envname("QMCLI_SERVER_PASSWORD");
  app.add_option("--driver", opt.Session.Driver, "Database engine: SQLite, PostgreSQL, Firebird")
      ->check(CLI::IsMember({"SQLite", "PostgreSQL", "Firebird"}));
  app.add_option("--resource", opt.Session.Resource,
                 "Database: a file for SQLite and Firebird, a database name for PostgreSQL");
  app.add_option("--user", opt.Session.UserName, "Database user");
  app.add_option("--password", opt.Session.Password, "Database password")
      ->envname("QMCLI_PASSWORD");
  app.add_option("--db-port", opt.Session.Port, "Port of the database server");
  opt.Session.AppName = "qmcli";
  app.add_option("--app-name", opt.Session.AppName, "Application name (PostgreSQL)");
  app.add_option("-e,--execute", opt.Execute, "SQL text to run (repeatable)")
      ->allow_extra_args(false);
  app.add_option("--script", opt.Script, "Script file, statements separated by ^")
      ->check(CLI::ExistingFile);
  app.add_option("-p,--param", opt.Params, "Parameter NAME=VALUE for ?NAME (repeatable)")
      ->allow_extra_args(false);
  app.add_option("--format", opt.Format, "Output: table, csv or json");
  app.add_flag("--status", opt.Status, "Show the server's sessions");
  CLI::Option* tls =
      app.add_flag("--tls", opt.TLS.Enabled,
                   "Speak TLS; the server's certificate is verified (system store or --ca)");
  app.add_option("--ca", opt.TLS.CAFile, "Trusted certificates (PEM) for --tls")
      ->check(CLI::ExistingFile)
      ->needs(tls);
  app.add_flag("--insecure", opt.TLS.Insecure, "With --tls: do not verify the certificate")
      ->needs(tls);
  app.add_option("sql", opt.Positional, "SQL text to run");

  qm::TqmOutputFormat format = qm::TqmOutputFormat::Table;
  std::vector<std::pair<std::string, std::string>> params;
  try {
    app.parse(argc, argv);
    if (!qm::ParseOutputFormat(opt.Format, format)) {
      throw CLI::ValidationError("--format", "expected table, csv or json");
    }
    params = SplitParams(opt.Params);
    const bool work = !opt.Execute.empty() || !opt.Positional.empty() || !opt.Script.empty();
    if (!work && !opt.Status) {
      throw CLI::RequiredError("SQL text (-e), --script or --status");
    }
    if (work && opt.Session.Driver.empty()) {
      throw CLI::RequiredError("--driver");
    }
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  try {
    return Run(opt, format, params);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "Error: " << MessageLines(e.what()) << '\n';
    return 1;
  }
}
