// qmsrv as a service: configuration rules, stop signals, start failures and the systemd unit
// written by install (into a temporary folder, never /etc).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "client/db_client.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

constexpr std::chrono::seconds kExitWait{20};

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// Port lines: the key compares ignoring case, the value is taken as it is, and a name that is
// not exactly "Port" is another key.
TEST(ServiceConfigTest, PortLineSelectsListeningPort) {
  struct Case {
    const char* Name;
    const char* Before;  // the text before the port number
    const char* After;
  };
  const Case cases[] = {
      {"exact key", "Port=", "\n"},
      {"lower-case key", "port=", "\n"},
      {"upper-case key among other lines", "PGHost=10.0.0.1\r\nPORT=", "\r\nFoo=bar"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const int port = FreePort();
    ServerProcess server(c.Before + std::to_string(port) + c.After);
    ASSERT_TRUE(server.Start(port)) << server.Err();
    ProcessResult r = RunClient(port, {"--status", "--format", "json"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    server.Process().Signal(SIGTERM);
    EXPECT_EQ(server.Process().Wait(kExitWait), 0);
  }
}

TEST(ServiceConfigTest, ServiceNameIsLoggedAndDefaultsToQmDBService) {
  {
    const int port = FreePort();
    ServerProcess named("ServiceName=MyDB\nPort=" + std::to_string(port) + "\n");
    ASSERT_TRUE(named.Start(port)) << named.Err();
    named.Process().Signal(SIGTERM);
    ASSERT_EQ(named.Process().Wait(kExitWait), 0);
    EXPECT_TRUE(Contains(named.LogText(), "ServiceName: MyDB\r\n")) << named.LogText();
  }
  {
    const int port = FreePort();
    ServerProcess unnamed(ServerProcess::PortConfig(port));
    ASSERT_TRUE(unnamed.Start(port)) << unnamed.Err();
    unnamed.Process().Signal(SIGTERM);
    ASSERT_EQ(unnamed.Process().Wait(kExitWait), 0);
    EXPECT_TRUE(Contains(unnamed.LogText(), "ServiceName: qmDBService\r\n")) << unnamed.LogText();
  }
}

// A name that is no identifier would also be an unsafe unit file name ("../x").
TEST(ServiceConfigTest, ServiceNameThatIsNoIdentifierStopsTheStart) {
  for (const char* name : {"My DB", "../evil", "9lives"}) {
    SCOPED_TRACE(name);
    ServerProcess server(std::string("ServiceName=") + name +
                         "\nPort=" + std::to_string(FreePort()) + "\n");
    server.Launch();
    EXPECT_EQ(server.Process().Wait(kExitWait), 1);
    EXPECT_TRUE(Contains(
        server.Err(), std::string("ServiceName: \"") + name + "\" must be a letter or underscore"))
        << server.Err();
  }
}

TEST(ServiceSignalTest, StopSignalEndsWithExitZeroAndStopLine) {
  for (int number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(number);
    const int port = FreePort();
    ServerProcess server(ServerProcess::PortConfig(port));
    ASSERT_TRUE(server.Start(port)) << server.Err();
    // A session left open must not keep the process from stopping.
    TempDir data;
    ProcessResult r =
        RunClient(port, {"--driver", "SQLite", "--resource", data.File("s.db"), "-e", "select 1"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    server.Process().Signal(number);
    EXPECT_EQ(server.Process().Wait(kExitWait), 0);
    const std::string log = server.LogText();
    EXPECT_TRUE(Contains(log, "Server stopped at port: " + std::to_string(port))) << log;
    EXPECT_FALSE(PortAnswers(port));
  }
}

// Sessions still open when the service stops end with the process: their default transaction
// is committed, not lost, and their disconnect is logged.
TEST(ServiceSignalTest, OpenSessionKeepsItsWorkWhenTheServiceStops) {
  TempDir data;
  const std::string database = data.File("kept.db");
  int port = FreePort();
  {
    ServerProcess server(ServerProcess::PortConfig(port));
    ASSERT_TRUE(server.Start(port)) << server.Err();
    TqmDBClient client("127.0.0.1", std::to_string(port), 30000);
    client.Open();
    client.Connect({"SQLite", database, "", "", "", "e2e"});
    client.ExecuteSQL("create table k (id integer)");
    client.ExecuteSQL("insert into k values (42)");
    server.Process().Signal(SIGTERM);
    ASSERT_EQ(server.Process().Wait(kExitWait), 0);
    EXPECT_TRUE(Contains(server.LogText(), ": Disconnect [" + database + "]")) << server.LogText();
  }
  port = FreePort();
  ServerProcess again(ServerProcess::PortConfig(port));
  ASSERT_TRUE(again.Start(port)) << again.Err();
  ProcessResult r = RunClient(
      port, {"--driver", "SQLite", "--resource", database, "--format", "csv", "select id from k"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "id\r\n42\r\n");
}

TEST(ServiceSignalTest, TakenPortFailsTheStart) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const int port = ntohs(addr.sin_port);

  ServerProcess server(ServerProcess::PortConfig(port));
  server.Launch();
  EXPECT_EQ(server.Process().Wait(kExitWait), 1);
  EXPECT_TRUE(Contains(server.Err(), "Cannot listen on port " + std::to_string(port)))
      << server.Err();
  close(fd);
}

class ServiceUnitTest : public ::testing::Test {
 protected:
  Environment UnitEnv(const ServerProcess& Server) const {
    Environment env = Server.Env();
    env["QMSRV_UNIT_DIR"] = FUnits.Path();
    return env;
  }
  TempDir FUnits;
};

TEST_F(ServiceUnitTest, InstallWritesUnitAndUninstallRemovesIt) {
  ServerProcess server("ServiceName=MyDB\n");
  const std::string unit = FUnits.File("MyDB.service");

  ProcessResult installed = RunProcess(QM_QMSRV_PATH, {"install"}, UnitEnv(server));
  ASSERT_EQ(installed.ExitCode, 0) << installed.Err;
  EXPECT_TRUE(Contains(installed.Out, "installed")) << installed.Out;
  const std::string text = ReadFile(unit);
  for (const std::string& line : std::vector<std::string>{
           "Description=QM DB Service\n", "After=network.target\n", "Type=simple\n",
           "Restart=on-failure\n", "RestartSec=2\n", "ExecReload=/bin/kill -HUP $MAINPID\n",
           "Environment=QMSRV_LOG_STDERR=1\n",
           "ExecStart=" + std::string(QM_QMSRV_PATH) + " --config " + server.ConfigFile() + "\n"}) {
    EXPECT_TRUE(Contains(text, line)) << "missing " << line << " in\n" << text;
  }

  ProcessResult removed = RunProcess(QM_QMSRV_PATH, {"UnInstall"}, UnitEnv(server));
  ASSERT_EQ(removed.ExitCode, 0) << removed.Err;
  EXPECT_FALSE(FileExists(unit));

  ProcessResult again = RunProcess(QM_QMSRV_PATH, {"uninstall"}, UnitEnv(server));
  EXPECT_EQ(again.ExitCode, 1);
  EXPECT_TRUE(Contains(again.Err, "not installed")) << again.Err;
}

// Switches in any case; SILENT prints nothing; a missing configuration file keeps the default
// name and is logged with its full path.
TEST_F(ServiceUnitTest, SilentInstallWithoutConfigurationUsesDefaultName) {
  ServerProcess server(std::nullopt);
  ProcessResult r = RunProcess(QM_QMSRV_PATH, {"INSTALL", "/Silent"}, UnitEnv(server));
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "");
  EXPECT_TRUE(FileExists(FUnits.File("qmDBService.service")));
  const std::string log = server.LogText();
  EXPECT_TRUE(Contains(log, "file config not found: " + server.ConfigFile())) << log;
  EXPECT_TRUE(Contains(log, "ServiceName: qmDBService")) << log;
}

// ExecStart words with blanks, quotes, "%" or "$" must reach the service unchanged.
TEST_F(ServiceUnitTest, ConfigPathIsQuotedForSystemd) {
  ServerProcess server("Port=1\n");
  TempDir odd;
  const std::string folder = odd.File("conf dir%1$x");
  ASSERT_EQ(RunProcess("/bin/mkdir", {folder}).ExitCode, 0);
  const std::string config = folder + "/my.conf";
  WriteFile(config, "ServiceName=Odd\n");
  Environment env = UnitEnv(server);
  env["QMSRV_CONFIG"] = std::nullopt;
  ProcessResult r = RunProcess(QM_QMSRV_PATH, {"install", "--config", config}, env);
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const std::string text = ReadFile(FUnits.File("Odd.service"));
  EXPECT_TRUE(Contains(text, " --config \"" + odd.Path() + "/conf dir%%1$$x/my.conf\"\n")) << text;
}

TEST(ServiceArgumentsTest, UnknownArgumentIsRefused) {
  ServerProcess server(std::nullopt);
  ProcessResult r = RunProcess(QM_QMSRV_PATH, {"--bogus"}, server.Env());
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_TRUE(Contains(r.Err, "usage:")) << r.Err;
}

}  // namespace
}  // namespace qm::e2e
