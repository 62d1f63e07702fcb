// Running qmsrv as an operator does: configuration checked at start, --check-config and
// --version, SIGHUP reloads, restarts on a port just served, start and stop lines and log lines
// on stderr, and the health and metrics endpoint.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/tls_certificates.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

constexpr std::chrono::seconds kExitWait{20};

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// Waits until Part shows in what Read returns; false after 10 s.
template <typename Reader>
bool WaitFor(Reader Read, const std::string& Part) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    if (Contains(Read(), Part))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// An HTTP/1.0 GET on 127.0.0.1:Port: the whole reply, headers included; empty when nothing
// listens there (yet: the endpoint starts after the server's own port).
std::string HttpGet(int Port, const std::string& Path) {
  bool closed = false;
  try {
    return Exchange(Port, "GET " + Path + " HTTP/1.0\r\nConnection: close\r\n\r\n", closed,
                    std::chrono::milliseconds(3000));
  } catch (const std::runtime_error&) {
    return std::string();
  }
}

// The value of the sample "Name" (labels included) in a metrics text; -1 when absent.
double Sample(const std::string& Text, const std::string& Name) {
  const std::size_t at = Text.find("\n" + Name + " ");
  if (at == std::string::npos)
    return -1;
  return std::stod(Text.substr(at + Name.size() + 2));
}

// --- configuration checked at start ---

// A value that does not pass its check stops the start: exit code 1, and one line naming the
// file, the line and the key. Nothing listens.
TEST(OperatingConfigTest, BadValueStopsTheStartNamingFileLineAndKey) {
  struct Case {
    std::string Line;
    std::string Says;
  };
  const Case cases[] = {
      {"Port=56421x", "Port: \"56421x\" is not a whole number from 0 to 65535"},
      {"Port=99999", "Port: \"99999\" is not a whole number from 0 to 65535"},
      {"MaxConnections=lots", "MaxConnections: \"lots\" is not a whole number"},
      {"Bind=300.1.1.1", "Bind: \"300.1.1.1\" is not an address"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Line);
    const int port = FreePort();
    ServerProcess server("ServiceName=Checked\n" + c.Line + "\nPort=" + std::to_string(port) +
                         "\n");
    server.Launch();
    EXPECT_EQ(server.Process().Wait(kExitWait), 1);
    EXPECT_TRUE(Contains(server.Err(), server.ConfigFile() + ":2: " + c.Says)) << server.Err();
    EXPECT_FALSE(PortAnswers(port));
  }
}

TEST(OperatingConfigTest, NamedConfigFileThatDoesNotExistStopsTheStart) {
  ServerProcess server(std::nullopt);
  server.Launch();
  EXPECT_EQ(server.Process().Wait(kExitWait), 1);
  EXPECT_TRUE(Contains(server.Err(), server.ConfigFile() + ": configuration file not found"))
      << server.Err();
}

// Typos are no errors (files may carry other lines), but they are said, on stderr and in the
// log, with the line and the key that was probably meant; the server runs.
TEST(OperatingConfigTest, UnknownNamesAreReportedWithTheNearestKey) {
  const int port = FreePort();
  ServerProcess server("Pasword=s3cret\nBnd=127.0.0.1\nPort=" + std::to_string(port) + "\n");
  ASSERT_TRUE(server.Start(port)) << server.Err();
  server.Process().Signal(SIGTERM);
  ASSERT_EQ(server.Process().Wait(kExitWait), 0);
  for (const std::string& text : {server.Err(), server.LogText()}) {
    EXPECT_TRUE(Contains(
        text, server.ConfigFile() + ":1: Pasword: unknown setting, did you mean Password?"))
        << text;
    EXPECT_TRUE(
        Contains(text, server.ConfigFile() + ":2: Bnd: unknown setting, did you mean Bind?"))
        << text;
  }
  EXPECT_FALSE(Contains(server.Err(), "s3cret"));
}

// --check-config prints the effective settings with secrets masked and every problem, and
// exits 1 when there is any, so a deployment can gate on it.
TEST(OperatingConfigTest, CheckConfigPrintsSettingsAndGatesOnProblems) {
  struct Case {
    std::string Text;
    int ExitCode;
    std::string Says;  // on stderr
  };
  const Case cases[] = {
      {"Port=5000\nPassword=pw\n", 0, ""},
      {"Port = 56421\nPassword=pw\n", 1,
       ":1: Port : unknown setting, did you mean Port? (blanks before \"=\" are part"},
      {"Port=5000\nPasword=pw\n", 1, ":2: Pasword: unknown setting, did you mean Password?"},
      {"Port=5000x\nPassword=pw\n", 1, ":1: Port: \"5000x\" is not a whole number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    ServerProcess server(c.Text);
    const ProcessResult r = RunProcess(QM_QMSRV_PATH, {"--check-config"}, server.Env());
    EXPECT_EQ(r.ExitCode, c.ExitCode) << r.Err;
    EXPECT_TRUE(Contains(r.Out, "\nBind=0.0.0.0 (default)\n")) << r.Out;
    EXPECT_FALSE(Contains(r.Out, "=pw")) << r.Out;
    if (!c.Says.empty())
      EXPECT_TRUE(Contains(r.Err, server.ConfigFile() + c.Says)) << r.Err;
    else
      EXPECT_EQ(r.Err, "");
  }
  ServerProcess good("Port=5000\nPassword=pw\n");
  const ProcessResult r = RunProcess(QM_QMSRV_PATH, {"--check-config"}, good.Env());
  EXPECT_TRUE(Contains(r.Out, "\nPort=5000\n")) << r.Out;
  EXPECT_TRUE(Contains(r.Out, "\nPassword=********\n")) << r.Out;
}

TEST(OperatingConfigTest, BothProgramsTellTheirVersion) {
  for (const char* program : {QM_QMSRV_PATH, QM_QMCLI_PATH}) {
    SCOPED_TRACE(program);
    const ProcessResult r = RunProcess(program, {"--version"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_TRUE(std::regex_search(r.Out, std::regex("^qm(srv|cli) [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << r.Out;
  }
}

// --- signals ---

// SIGHUP re-reads the file: the password applies to the next connections, a new port is logged
// as needing a restart and kept, and a file that no longer passes its checks changes nothing.
// The server never dies of it.
TEST(OperatingSignalTest, HangUpReloadsLiveKeysAndKeepsTheRest) {
  const int port = FreePort();
  const std::string port_line = "Port=" + std::to_string(port) + "\n";
  ServerProcess server(port_line + "Password=first\n");
  ASSERT_TRUE(server.Start(port)) << server.Err();
  const auto status = [port](const std::string& password) {
    return RunClient(port, {"--server-password", password, "--status"}).ExitCode;
  };
  ASSERT_EQ(status("first"), 0);

  WriteFile(server.ConfigFile(), "Port=" + std::to_string(FreePort()) + "\nPassword=second\n");
  server.Process().Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return server.LogText(); }, "Configuration reloaded")) << server.Err();
  EXPECT_EQ(status("second"), 0);
  EXPECT_NE(status("first"), 0);
  EXPECT_TRUE(Contains(server.LogText(), "Port: a change takes effect at the next restart; kept"));
  EXPECT_TRUE(PortAnswers(port));

  WriteFile(server.ConfigFile(), port_line + "Password=third\nMaxConnections=lots\n");
  server.Process().Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return server.LogText(); }, "Reload refused")) << server.LogText();
  EXPECT_TRUE(Contains(server.LogText(), "MaxConnections: \"lots\"")) << server.LogText();
  EXPECT_EQ(status("second"), 0);

  std::rename(server.ConfigFile().c_str(), (server.ConfigFile() + ".gone").c_str());
  server.Process().Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return server.LogText(); }, "not found; the running settings stay"));
  EXPECT_EQ(status("second"), 0);

  ASSERT_TRUE(server.Process().Running());
  server.Process().Signal(SIGTERM);
  EXPECT_EQ(server.Process().Wait(kExitWait), 0);
}

// A reload that names other certificate files serves them to the next connections; files that
// do not load keep the certificate that was serving.
TEST(OperatingSignalTest, HangUpLoadsNewCertificatesForNewConnections) {
  const testing::TlsCertificates first("qm-first");
  const testing::TlsCertificates second("qm-second");
  const int port = FreePort();
  const auto config = [port](const testing::TlsCertificates& c) {
    return "Port=" + std::to_string(port) + "\nCertificateFile=" + c.ServerCertificate() +
           "\nPrivateKeyFile=" + c.ServerKey() + "\n";
  };
  ServerProcess server(config(first));
  ASSERT_TRUE(server.Start(port)) << server.Err();
  const auto trusts = [port](const testing::TlsCertificates& c) {
    return RunClient(port, {"--tls", "--ca", c.CA(), "--status"}).ExitCode == 0;
  };
  ASSERT_TRUE(trusts(first));
  EXPECT_FALSE(trusts(second));

  WriteFile(server.ConfigFile(), config(second));
  server.Process().Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return server.LogText(); }, "Configuration reloaded"));
  EXPECT_TRUE(trusts(second));
  EXPECT_FALSE(trusts(first));

  WriteFile(server.ConfigFile(), "Port=" + std::to_string(port) +
                                     "\nCertificateFile=" + second.Folder() + "/missing.pem\n");
  const std::size_t seen = server.LogText().size();
  server.Process().Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return server.LogText().substr(seen); }, "Configuration reloaded"));
  // The next connection makes the listener try the new files first.
  EXPECT_TRUE(trusts(second));
  EXPECT_TRUE(Contains(server.LogText(), "the certificate loaded before stays"))
      << server.LogText();

  server.Process().Signal(SIGTERM);
  EXPECT_EQ(server.Process().Wait(kExitWait), 0);
}

// --- restarts ---

// Many clients served and the server stopped first: its side of each connection waits in
// TIME_WAIT, and a new server must still bind the port at once.
TEST(OperatingRestartTest, RestartBindsThePortRightAfterServingClients) {
  const int port = FreePort();
  std::vector<int> clients;
  {
    ServerProcess server(ServerProcess::PortConfig(port));
    ASSERT_TRUE(server.Start(port)) << server.Err();
    for (int i = 0; i < 50; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      ASSERT_GE(fd, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      ASSERT_EQ(send(fd, "Command=C\r", 10, 0), 10);
      char reply = 0;
      ASSERT_EQ(recv(fd, &reply, 1, 0), 1);
      EXPECT_EQ(reply, 'O');
      clients.push_back(fd);
    }
    // The server closes its ends first.
    server.Process().Signal(SIGTERM);
    ASSERT_EQ(server.Process().Wait(kExitWait), 0);
  }
  for (int fd : clients)
    close(fd);
  ServerProcess again(ServerProcess::PortConfig(port));
  ASSERT_TRUE(again.Start(port)) << again.Err();
  EXPECT_FALSE(Contains(again.Err(), "Cannot listen")) << again.Err();
  again.Process().Signal(SIGTERM);
  EXPECT_EQ(again.Process().Wait(kExitWait), 0);
}

// --- what stderr shows ---

TEST(OperatingLogTest, StartAndStopLinesOnStderr) {
  const int port = FreePort();
  ServerProcess server("Port=" + std::to_string(port) + "\nBind=127.0.0.1\nPassword=pw\n");
  ASSERT_TRUE(server.Start(port)) << server.Err();
  ASSERT_TRUE(WaitFor([&] { return server.Err(); }, "listening on")) << server.Err();
  const std::string err = server.Err();
  EXPECT_TRUE(std::regex_search(
      err, std::regex("qmsrv [0-9.]+ listening on 127\\.0\\.0\\.1:" + std::to_string(port) +
                      ", TLS off, password on, SQLite folder .*, "
                      "log folder .*/Quillmoor/Logs/qmsrv/\n")))
      << err;
  server.Process().Signal(SIGTERM);
  ASSERT_EQ(server.Process().Wait(kExitWait), 0);
  EXPECT_TRUE(Contains(server.Err(), "stopped (exit code 0)\n")) << server.Err();
}

// With the setting (or the variable the installed unit sets) every log entry is also one UTF-8
// line on stderr with date, time and the client's address; the daily file stays as it was. The
// file's warnings reach stderr once, through the log.
TEST(OperatingLogTest, LogEntriesAsUtf8LinesOnStderr) {
  struct Case {
    const char* Name;
    std::string Config;
    Environment Env;
  };
  const Case cases[] = {{"setting", "LogStderr=1\n", {}},
                        {"variable", "", {{"QMSRV_LOG_STDERR", "1"}}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const int port = FreePort();
    ServerProcess server(c.Config + "Pasword=x\n" + ServerProcess::PortConfig(port));
    Environment env = server.Env();
    for (const auto& [name, value] : c.Env)
      env[name] = value;
    ChildProcess child(QM_QMSRV_PATH, {}, env, server.Dir().File("out"), server.Dir().File("err"));
    const auto err = [&] { return ReadFile(server.Dir().File("err")); };
    ASSERT_TRUE(WaitFor(err, "listening on")) << err();
    TempDir data;
    const std::string database = data.File("caf\xC3\xA9.db");
    ProcessResult r = RunClient(port, {"--driver", "SQLite", "--resource", database, "select 1"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    ASSERT_TRUE(WaitFor(err, "Disconnect [")) << err();
    EXPECT_TRUE(std::regex_search(
        err(),
        std::regex("\n[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} 127\\.0\\.0\\.1: "
                   "Register Connection \\[[^\n]*caf\xC3\xA9\\.db\\]\n")))
        << err();
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(kExitWait), 0);
    // The daily file keeps its own form.
    EXPECT_TRUE(Contains(server.LogText(), "Register Connection [")) << server.LogText();
    const std::string text = err();
    const std::string warning = "Pasword: unknown setting";
    const std::size_t first = text.find(warning);
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(warning, first + 1), std::string::npos) << text;
  }
}

// Daily files older than the kept days go at start (30 unless set); 0 keeps every file.
TEST(OperatingLogTest, OldDailyFilesAreRemovedByRetention) {
  struct Case {
    std::string Config;
    bool Kept;
  };
  for (const Case& c : {Case{"", false}, Case{"LogRetentionDays=0\n", true},
                        Case{"LogRetentionDays=36500\n", true}}) {
    SCOPED_TRACE(c.Config);
    const int port = FreePort();
    ServerProcess server(c.Config + ServerProcess::PortConfig(port));
    const std::string folder = server.Dir().File("Quillmoor/Logs/qmsrv");
    ASSERT_EQ(RunProcess("/bin/mkdir", {"-p", folder}).ExitCode, 0);
    const std::string old = folder + "/qmsrv[200101].log";
    const std::string other = folder + "/notes[200101].log";
    WriteFile(old, "x");
    WriteFile(other, "x");
    ASSERT_TRUE(server.Start(port)) << server.Err();
    server.Process().Signal(SIGTERM);
    ASSERT_EQ(server.Process().Wait(kExitWait), 0);
    EXPECT_EQ(FileExists(old), c.Kept);
    EXPECT_TRUE(FileExists(other));
  }
}

// --- health and metrics ---

TEST(OperatingMetricsTest, HealthAndMetricsMoveWithRequests) {
  const int port = FreePort();
  const int metrics = FreePort();
  ServerProcess server("Port=" + std::to_string(port) +
                       "\nPassword=pw\nMetricsListen=127.0.0.1:" + std::to_string(metrics) + "\n");
  ASSERT_TRUE(server.Start(port)) << server.Err();
  ASSERT_TRUE(WaitFor([&] { return HttpGet(metrics, "/health"); }, "200 OK"));

  TempDir data;
  const std::vector<std::string> session = {
      "--server-password", "pw", "--driver", "SQLite", "--resource", data.File("m.db")};
  auto with = [&session](std::vector<std::string> more) {
    std::vector<std::string> args = session;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  EXPECT_EQ(RunClient(port, with({"select 1 union all select 2"})).ExitCode, 0);
  EXPECT_EQ(RunClient(port, with({"select 3"})).ExitCode, 0);
  EXPECT_NE(RunClient(port, with({"select * from nowhere"})).ExitCode, 0);
  EXPECT_NE(RunClient(port, {"--server-password", "wrong", "--status"}).ExitCode, 0);

  const std::string reply = HttpGet(metrics, "/metrics");
  ASSERT_TRUE(Contains(reply, "200 OK")) << reply;
  const std::string text = reply.substr(reply.find("\r\n\r\n") + 3);
  EXPECT_GE(Sample(text, "qmsrv_requests_total{command=\"ExecuteSQL\",outcome=\"ok\"}"), 2);
  EXPECT_GE(Sample(text, "qmsrv_requests_total{command=\"ExecuteSQL\",outcome=\"error\"}"), 1);
  EXPECT_GE(Sample(text, "qmsrv_requests_total{command=\"Connect\",outcome=\"ok\"}"), 3);
  EXPECT_GE(Sample(text, "qmsrv_connections_refused_total{reason=\"password\"}"), 1);
  EXPECT_GE(Sample(text, "qmsrv_connections_accepted_total"), 4);
  EXPECT_GE(Sample(text, "qmsrv_request_duration_seconds_count"), 6);
  EXPECT_GT(Sample(text, "qmsrv_received_bytes_total"), 0);
  EXPECT_GT(Sample(text, "qmsrv_sent_bytes_total"), 0);
  EXPECT_GT(Sample(text, "qmsrv_result_block_bytes_total{stage=\"raw\"}"), 0);
  EXPECT_GT(Sample(text, "qmsrv_result_block_bytes_total{stage=\"compressed\"}"), 0);
  EXPECT_TRUE(Contains(text, "# TYPE qmsrv_request_duration_seconds histogram\n")) << text;

  EXPECT_TRUE(Contains(HttpGet(metrics, "/nothing"), "404")) << HttpGet(metrics, "/nothing");
  // The data port speaks no HTTP.
  EXPECT_FALSE(Contains(HttpGet(port, "/metrics"), "HTTP/1."));

  server.Process().Signal(SIGTERM);
  EXPECT_EQ(server.Process().Wait(kExitWait), 0);
  EXPECT_FALSE(PortAnswers(metrics));
}

TEST(OperatingMetricsTest, MetricsAddressThatCannotBeBoundFailsTheStart) {
  const int port = FreePort();
  ServerProcess server("Port=" + std::to_string(port) +
                       "\nMetricsListen=127.0.0.1:" + std::to_string(port) + "\n");
  server.Launch();
  EXPECT_EQ(server.Process().Wait(kExitWait), 1);
  EXPECT_TRUE(Contains(server.Err(), "MetricsListen: cannot listen on 127.0.0.1:")) << server.Err();
}

}  // namespace
}  // namespace qm::e2e
