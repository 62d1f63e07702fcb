// qmcli: a command-line client of qmsrv. Opens one session, runs a script, SQL files, SQL texts
// or what stdin brings, or reads statements typed at a terminal, prints each result, optionally
// shows the server's status, and disconnects.
//
// Ctrl-C while a statement runs ends the session from a second connection (the server cancels
// the statement and frees the session with its transaction) and quits; a second Ctrl-C quits at
// once.
//
// Exit codes: 0 success, 1 the server or the connection reported an error (its message goes
// to stderr), 2 bad usage, 130 ended by Ctrl-C.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <editline/readline.h>
#include <CLI/CLI.hpp>

#include "client/db_client.h"
#include "client/result_printer.h"
#include "client/result_set.h"
#include "client/sql_splitter.h"
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
  std::vector<std::string> Files;
  bool Timing = false;
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

// What Ctrl-C needs to end the session from another connection. The session fields are set
// once the session is open and read by the signal thread.
struct TCancel {
  std::mutex Lock;
  const Options* Opt = nullptr;
  std::uint32_t Handle = 0;
  std::string ServerID;
  bool Interactive = false;
  std::atomic<bool> Running{false};  // a statement is under way
};

TCancel gCancel;

void Say(const char* Text) {
  const ssize_t ignored = write(STDERR_FILENO, Text, std::char_traits<char>::length(Text));
  (void)ignored;
}

// Ends the session: "Disconnect" on a connection of its own, since the first one is busy
// waiting for the statement's reply. The server cancels the statement.
void EndSession() {
  std::uint32_t handle = 0;
  std::string server_id;
  const Options* opt = nullptr;
  {
    std::lock_guard<std::mutex> lock(gCancel.Lock);
    handle = gCancel.Handle;
    server_id = gCancel.ServerID;
    opt = gCancel.Opt;
  }
  if (handle == 0 || opt == nullptr)
    return;
  Say("\nqmcli: interrupted; ending the session (Ctrl-C again quits at once)\n");
  try {
    qm::TqmDBClient side(opt->Host, opt->Port, 10000);
    side.SetServerPassword(opt->ServerPassword);
    side.SetTLS(opt->TLS);
    side.Open();
    side.Call("Disconnect", {{"Database", "ServerID", server_id},
                             {"Database", "Handle", static_cast<std::int32_t>(handle)}});
  } catch (const std::exception& e) {
    Say("qmcli: the session could not be ended: ");
    Say(e.what());
    Say("\n");
  }
}

// SIGINT is blocked in every thread and taken here: a blocking read of the reply cannot be
// interrupted safely, and the session is ended with network calls, which a handler may not make.
void WatchInterrupts(sigset_t Signals) {
  int presses = 0;
  for (;;) {
    int signal = 0;
    if (sigwait(&Signals, &signal) != 0)
      continue;
    if (++presses > 1)
      std::_Exit(130);
    if (gCancel.Interactive && !gCancel.Running.load()) {
      // At the prompt: nothing to stop; \q or Ctrl-D quits.
      presses = 0;
      Say("\n(\\q or Ctrl-D quits)\n");
      continue;
    }
    EndSession();
    std::_Exit(130);
  }
}

void StartInterruptWatch() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread(WatchInterrupts, signals).detach();
}

// Runs statements and prints their results in the chosen format.
class TRunner {
 public:
  TRunner(qm::TqmDBClient& Client, qm::TqmOutputFormat Format, bool Timing,
          const std::vector<std::pair<std::string, std::string>>& Params)
      : FClient(Client), FFormat(Format), FTiming(Timing), FParams(Params) {}

  void SetFormat(qm::TqmOutputFormat Format) { FFormat = Format; }
  void SetTiming(bool Timing) { FTiming = Timing; }
  bool Timing() const { return FTiming; }

  // Runs one statement and prints its result. With JsonParts the json form is gathered there
  // instead (one part per statement, "null" for a statement without columns).
  void Run(const std::string& SQL, std::vector<std::string>* JsonParts = nullptr) {
    const auto start = std::chrono::steady_clock::now();
    gCancel.Running = true;
    qm::TqmResultSet result;
    try {
      result = FClient.ExecuteSQL(SQL, FParams);
    } catch (...) {
      gCancel.Running = false;
      ReportTime(start);
      throw;
    }
    gCancel.Running = false;
    PrintNotices(result);
    if (JsonParts != nullptr && FFormat == qm::TqmOutputFormat::Json) {
      JsonParts->push_back(result.HasColumns() ? qm::JsonRows(result) : "null");
    } else {
      std::cout << qm::FormatResult(result, FFormat);
    }
    std::cout.flush();
    ReportTime(start);
  }

  void Script(const std::string& Text, const std::string& Name) {
    const auto start = std::chrono::steady_clock::now();
    gCancel.Running = true;
    try {
      FClient.ExecScript(Text, Name);
    } catch (...) {
      gCancel.Running = false;
      throw;
    }
    gCancel.Running = false;
    ReportTime(start);
  }

 private:
  // On stderr, so that csv and json output stays clean.
  void ReportTime(std::chrono::steady_clock::time_point Start) const {
    if (!FTiming)
      return;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    char text[64];
    std::snprintf(text, sizeof(text), "Time: %.3f ms\n", ms);
    std::cerr << text;
  }

  qm::TqmDBClient& FClient;
  qm::TqmOutputFormat FFormat;
  bool FTiming;
  const std::vector<std::pair<std::string, std::string>>& FParams;
};

std::string Trim(std::string Text) {
  const std::size_t begin = Text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos)
    return {};
  const std::size_t end = Text.find_last_not_of(" \t\r\n");
  return Text.substr(begin, end - begin + 1);
}

std::string HistoryFile() {
  const char* home = std::getenv("HOME");
  return home == nullptr || *home == '\0' ? std::string() : std::string(home) + "/.qmcli_history";
}

const char kHelp[] =
    "Statements end with ';'. Commands:\n"
    "  \\q                      quit (Ctrl-D too)\n"
    "  \\timing [on|off]        show how long each statement took\n"
    "  \\format table|csv|json|jsonl\n"
    "  \\?                      this help\n";

// A backslash command typed at the prompt; false when it asks to quit.
bool MetaCommand(const std::string& Line, TRunner& Runner) {
  std::istringstream words(Line);
  std::string command, argument;
  words >> command >> argument;
  if (command == "\\q" || command == "\\quit") {
    return false;
  }
  if (command == "\\timing") {
    Runner.SetTiming(argument.empty() ? !Runner.Timing() : argument == "on");
    std::cout << "Timing is " << (Runner.Timing() ? "on" : "off") << ".\n";
  } else if (command == "\\format") {
    qm::TqmOutputFormat format;
    if (qm::ParseOutputFormat(argument, format)) {
      Runner.SetFormat(format);
      std::cout << "Output format is " << argument << ".\n";
    } else {
      std::cerr << "\\format: expected table, csv, json or jsonl\n";
    }
  } else if (command == "\\?" || command == "\\h" || command == "\\help") {
    std::cout << kHelp;
  } else {
    std::cerr << "Unknown command " << command << " (\\? lists them)\n";
  }
  return true;
}

// Reads statements at the terminal with line editing and history until \q or end of input.
// A failing statement is reported and the next one is read; a lost connection ends it.
void Interactive(TRunner& Runner) {
  const std::string history = HistoryFile();
  using_history();
  if (!history.empty())
    read_history(history.c_str());
  std::cout << "qmcli " QM_VERSION ": statements end with ';', \\? for help, \\q to quit.\n";
  qm::TqmStatementSplitter splitter;
  for (;;) {
    char* raw = readline(splitter.Pending() ? "qmcli-> " : "qmcli=> ");
    if (raw == nullptr) {
      std::cout << '\n';
      break;
    }
    const std::string line(raw);
    std::free(raw);
    const std::string trimmed = Trim(line);
    if (!trimmed.empty()) {
      add_history(line.c_str());
      if (!history.empty())
        write_history(history.c_str());
    }
    if (!splitter.Pending() && !trimmed.empty() && trimmed[0] == '\\') {
      if (!MetaCommand(trimmed, Runner))
        break;
      continue;
    }
    for (const std::string& statement : splitter.Feed(line + "\n")) {
      try {
        Runner.Run(statement);
      } catch (const qm::EqmConnectionError&) {
        throw;
      } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "Error: " << MessageLines(e.what()) << '\n';
      }
    }
  }
}

std::string ReadStdin() {
  std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
    text.erase(0, 3);
  }
  return text;
}

int Run(const Options& Opt, qm::TqmOutputFormat Format,
        const std::vector<std::pair<std::string, std::string>>& Params) {
  // In order: the files (-f), then -e and the positional texts.
  std::vector<std::string> statements;
  for (const std::string& file : Opt.Files) {
    for (std::string& statement : qm::SplitStatements(ReadFile(file))) {
      statements.push_back(std::move(statement));
    }
  }
  statements.insert(statements.end(), Opt.Execute.begin(), Opt.Execute.end());
  statements.insert(statements.end(), Opt.Positional.begin(), Opt.Positional.end());
  const bool given = !statements.empty() || !Opt.Script.empty();
  // Nothing given: statements come from stdin, typed at a terminal or piped in.
  const bool interactive = !given && !Opt.Status && isatty(STDIN_FILENO) != 0;
  if (!given && !Opt.Status && !interactive) {
    statements = qm::SplitStatements(ReadStdin());
  }
  const bool work = !statements.empty() || !Opt.Script.empty() || interactive;

  const std::string script = Opt.Script.empty() ? std::string() : ReadFile(Opt.Script);
  qm::TqmDBClient client(Opt.Host, Opt.Port, Opt.TimeoutSeconds * 1000);
  client.SetServerPassword(Opt.ServerPassword);
  client.SetTLS(Opt.TLS);
  client.Open();
  if (work) {
    client.Connect(Opt.Session);
    {
      std::lock_guard<std::mutex> lock(gCancel.Lock);
      gCancel.Handle = client.Handle();
      gCancel.ServerID = client.ServerID();
    }
    TRunner runner(client, Format, Opt.Timing, Params);
    try {
      if (!Opt.Script.empty()) {
        runner.Script(script, Opt.Script);
      }
      if (interactive) {
        Interactive(runner);
      } else if (Format == qm::TqmOutputFormat::Json && statements.size() > 1) {
        // One JSON document for the run: an array with one element per statement.
        std::vector<std::string> parts;
        for (const std::string& sql : statements) {
          runner.Run(sql, &parts);
        }
        std::string document = "[";
        for (std::size_t i = 0; i < parts.size(); ++i) {
          document += (i == 0 ? "" : ",") + parts[i];
        }
        std::cout << document << "]\n";
      } else {
        for (const std::string& sql : statements) {
          runner.Run(sql);
        }
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
    {
      std::lock_guard<std::mutex> lock(gCancel.Lock);
      gCancel.Handle = 0;
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
  app.add_option("-f,--file", opt.Files, "SQL file, statements ended by ; (repeatable)")
      ->check(CLI::ExistingFile)
      ->allow_extra_args(false);
  app.add_flag("--timing", opt.Timing, "Print each statement's time on stderr");
  app.add_option("-p,--param", opt.Params, "Parameter NAME=VALUE for ?NAME (repeatable)")
      ->allow_extra_args(false);
  app.add_option("--format", opt.Format, "Output: table, csv, json or jsonl");
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
      throw CLI::ValidationError("--format", "expected table, csv, json or jsonl");
    }
    params = SplitParams(opt.Params);
    // Without SQL, --script or -f the statements come from stdin (a terminal: interactively),
    // unless --status alone is asked for.
    const bool work = !opt.Execute.empty() || !opt.Positional.empty() || !opt.Script.empty() ||
                      !opt.Files.empty() || !opt.Status;
    if (work && opt.Session.Driver.empty()) {
      throw CLI::RequiredError("--driver");
    }
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  gCancel.Opt = &opt;
  gCancel.Interactive = opt.Execute.empty() && opt.Positional.empty() && opt.Script.empty() &&
                        opt.Files.empty() && !opt.Status && isatty(STDIN_FILENO) != 0;
  StartInterruptWatch();
  try {
    return Run(opt, format, params);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "Error: " << MessageLines(e.what()) << '\n';
    return 1;
  }
}
