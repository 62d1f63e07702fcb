// The server's protections, through the real qmsrv and qmcli: the server password, the listening
// address, the SQLite folder and log entries that a client's text cannot split.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

constexpr std::chrono::seconds kExitWait{20};

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// Stops the server, so that every log line it wrote is in its file.
void StopServer(ServerProcess& Server) {
  Server.Process().Signal(SIGTERM);
  EXPECT_EQ(Server.Process().Wait(kExitWait), 0) << Server.Err();
}

TEST(ServerPasswordTest, OnlyTheRightPasswordIsServed) {
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port) + "Password=s3cret=x\n");
  ASSERT_TRUE(server.Start(port)) << server.Err();

  const std::vector<std::string> query = {
      "--driver", "SQLite",         "--resource", server.Dir().File("p.db"),
      "-e",       "select 42 as v", "--format",   "csv"};
  struct Case {
    const char* name;
    std::vector<std::string> args;
    Environment env;
    bool served;
  };
  auto with = [&](std::vector<std::string> first) {
    first.insert(first.end(), query.begin(), query.end());
    return first;
  };
  const Case cases[] = {
      {"no password", query, {}, false},
      {"wrong password", with({"--server-password", "wrong"}), {}, false},
      {"other letter case", with({"--server-password", "S3CRET=X"}), {}, false},
      {"a prefix of it", with({"--server-password", "s3cret"}), {}, false},
      {"right password", with({"--server-password", "s3cret=x"}), {}, true},
      {"from the environment", query, {{"QMCLI_SERVER_PASSWORD", "s3cret=x"}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult r = RunClient(port, c.args, c.env);
    if (c.served) {
      EXPECT_EQ(r.ExitCode, 0) << r.Err;
      EXPECT_EQ(r.Out, "v\r\n42\r\n");
    } else {
      EXPECT_EQ(r.ExitCode, 1);
      EXPECT_TRUE(Contains(r.Err, "Invalid Headers")) << r.Err;
    }
  }

  // A client of its own gets the usual answer to a bad header line, and then the end of the
  // connection, also when it sent its request right behind the header line.
  const std::string refused[] = {
      "Command=C;Password=wrong\r",
      "Protocol=VSK;Command=Data;Password=;\r0         0         ",
  };
  for (const std::string& bytes : refused) {
    SCOPED_TRACE(bytes);
    bool closed = false;
    EXPECT_EQ(Exchange(port, bytes, closed), "Invalid Headers");
    EXPECT_TRUE(closed);
  }
  bool closed = true;
  EXPECT_EQ(
      Exchange(port, "Command=C;Password=s3cret=x\r", closed, std::chrono::milliseconds(1500)),
      "O");
  EXPECT_FALSE(closed);  // a served client stays connected

  StopServer(server);
  const std::string log = server.LogText();
  EXPECT_TRUE(Contains(log, ";127.0.0.1: Invalid Password\r\n")) << log;
  EXPECT_FALSE(Contains(log, "wrong")) << log;  // the password tried is not logged
}

TEST(ServerPasswordTest, WithoutPasswordEveryHeaderLineIsServedAsBefore) {
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port));
  ASSERT_TRUE(server.Start(port)) << server.Err();
  bool closed = true;
  EXPECT_EQ(
      Exchange(port, "Command=C;Password=anything\r", closed, std::chrono::milliseconds(1500)),
      "O");
  EXPECT_FALSE(closed);
  // A client that sends a server password to a server without one is still served.
  const ProcessResult r =
      RunClient(port, {"--server-password", "extra", "--driver", "SQLite", "--resource",
                       server.Dir().File("n.db"), "-e", "select 1 as one", "--format", "csv"});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "one\r\n1\r\n");
  StopServer(server);
}

TEST(ServerPasswordTest, PasswordsAHeaderLineCannotCarryAreRefused) {
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port) + "Password=a;b\n");
  server.Launch();
  EXPECT_EQ(server.Process().Wait(kExitWait), 1);
  EXPECT_TRUE(Contains(server.Err(), "Password")) << server.Err();

  const ProcessResult r = RunClient(port, {"--server-password", "x'y", "--status"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_TRUE(Contains(r.Err, "server password cannot contain")) << r.Err;
}

TEST(BindTest, ServerListensOnTheConfiguredAddressOnly) {
  struct Case {
    const char* bind_line;
    bool other_address_connects;
  };
  const Case cases[] = {
      {"Bind=127.0.0.1\n", false},
      {"", true},  // the default, 0.0.0.0: every address of the machine
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bind_line);
    const int port = FreePort();
    ServerProcess server(ServerProcess::PortConfig(port) + c.bind_line);
    ASSERT_TRUE(server.Start(port)) << server.Err();
    EXPECT_TRUE(Connects("127.0.0.1", port));
    EXPECT_EQ(Connects("127.0.0.2", port), c.other_address_connects);
    StopServer(server);
  }
}

// Whether this machine has the IPv6 loopback address.
bool HasIPv6Loopback() {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

TEST(BindTest, AnIPv6AddressWorks) {
  if (!HasIPv6Loopback()) {
    GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  }
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port) + "Bind=::1\n");
  server.Launch();
  bool listening = false;
  for (int i = 0; i < 500 && !listening && server.Process().Running(); ++i) {
    listening = Connects("::1", port);
    if (!listening) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ASSERT_TRUE(listening) << server.Err();
  EXPECT_FALSE(Connects("127.0.0.1", port));
  const ProcessResult r =
      RunProcess(QM_QMCLI_PATH, {"--host", "::1", "--port", std::to_string(port), "--status"});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  StopServer(server);
}

class SQLiteFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = server_.Dir().File("databases");
    port_ = FreePort();
    WriteFile(server_.ConfigFile(),
              ServerProcess::PortConfig(port_) + "SQLiteFolder=" + folder_ + "\n");
    ASSERT_TRUE(server_.Start(port_)) << server_.Err();
  }

  ProcessResult Run(const std::string& resource, const std::vector<std::string>& sql) {
    std::vector<std::string> args = {"--driver", "SQLite",   "--resource",
                                     resource,   "--format", "csv"};
    for (const std::string& text : sql) {
      args.push_back("-e");
      args.push_back(text);
    }
    return RunClient(port_, args);
  }

  ServerProcess server_{std::nullopt};
  std::string folder_;
  int port_ = 0;
};

TEST_F(SQLiteFolderTest, ResourcesOutsideTheFolderAreRefused) {
  struct Case {
    std::string resource;
    std::string error;
  };
  const Case cases[] = {
      {"/etc/passwd", "outside the SQLite folder"},
      {"../x.db", "outside the SQLite folder"},
      {server_.Dir().File("y.db"), "outside the SQLite folder"},
      {"file:x.db?mode=rwc", "URI file names are not accepted"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.resource);
    const ProcessResult r = Run(c.resource, {"select 1"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(Contains(r.Err, c.error)) << r.Err;
  }
  EXPECT_FALSE(FileExists(server_.Dir().File("x.db")));
  EXPECT_FALSE(FileExists(server_.Dir().File("y.db")));
  EXPECT_FALSE(FileExists(folder_ + "/x.db"));

  // A plain name is a file of the folder.
  const ProcessResult ok =
      Run("notes.db", {"create table n(a)", "insert into n values (5)", "select a from n"});
  EXPECT_EQ(ok.ExitCode, 0) << ok.Err;
  EXPECT_TRUE(Contains(ok.Out, "a\r\n5\r\n")) << ok.Out;
  EXPECT_TRUE(FileExists(folder_ + "/notes.db"));
}

TEST_F(SQLiteFolderTest, AttachReachesOnlyFilesInsideTheFolder) {
  const std::string outside = server_.Dir().File("outside.db");
  struct Case {
    std::string sql;
    std::string error;  // "" when it runs
  };
  const Case cases[] = {
      {"attach '" + outside + "' as o", "outside the SQLite folder"},
      {"attach '../outside.db' as o", "outside the SQLite folder"},
      {"attach '/etc/passwd' as o", "outside the SQLite folder"},
      {"vacuum into '" + outside + "'", "outside the SQLite folder"},
      {"attach 'inner.db' as i", ""},  // relative names resolve in the folder
  };
  int session = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    // A database of its own for each: a second session's ATTACH on one file fails today.
    const ProcessResult r = Run("main" + std::to_string(++session) + ".db", {c.sql});
    if (c.error.empty()) {
      EXPECT_EQ(r.ExitCode, 0) << r.Err;
    } else {
      EXPECT_EQ(r.ExitCode, 1);
      EXPECT_TRUE(Contains(r.Err, c.error)) << r.Err;
    }
  }
  EXPECT_FALSE(FileExists(outside));
  EXPECT_TRUE(FileExists(folder_ + "/inner.db"));
}

// A Resource with CR LF and the look of a log entry stays inside one entry.
TEST_F(SQLiteFolderTest, LineBreaksInAResourceStayInOneLogEntry) {
  const std::string resource = "evil\r\n120000;127.0.0.1: Disconnect [forged].db";
  const ProcessResult r = Run(resource, {"select 1"});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  StopServer(server_);
  const std::string log = server_.LogText();
  EXPECT_TRUE(Contains(log,
                       "127.0.0.1: Register Connection [evil\\r\\n120000;127.0.0.1: "
                       "Disconnect [forged].db]\r\n\r\n"))
      << log;
  EXPECT_FALSE(Contains(log, "\r\n120000;127.0.0.1: Disconnect [forged]")) << log;
  // Every entry starts with its six-digit time and a ";" after the blank line of the previous.
  std::size_t at = 0;
  while ((at = log.find("\r\n\r\n", at)) != std::string::npos) {
    at += 4;
    if (at < log.size()) {
      ASSERT_GE(log.size(), at + 7);
      EXPECT_EQ(log[at + 6], ';') << log.substr(at, 40);
    }
  }
}

}  // namespace
}  // namespace qm::e2e
