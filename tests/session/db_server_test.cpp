#include "service/db_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "db/connections.h"
#include "service/service_host.h"
#include "session/session_fixture.h"
#include "session/session_registry.h"
#include "support/utf16.h"

namespace qm::testing {
namespace {

class DbServerConfigTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& bytes) {
    const std::string file = home_.Folder() + "/qmsrv.conf";
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
  TempHome home_;
};

TEST_F(DbServerConfigTest, KeysIgnoreCaseAndValuesAreTakenLiterally) {
  struct Case {
    std::string content;
    std::string port, pg_host, fb_host, service;
  };
  const Case cases[] = {
      {"port=5000", "5000", "", "", ""},
      {"Port =5000", "", "", "", ""},
      {"Port=", "", "", "", ""},
      {"PGHost= db \r\nFBHost=fb\nServiceName=MyDB\rPort=1", "1", " db ", "fb", "MyDB"},
      {"Other=1\r\nPort=a=b\r\nPort=2", "a=b", "", "", ""},
      {"\xEF\xBB\xBFPort=7000", "7000", "", "", ""},
      {"\xFF\xFE" + Utf8ToUtf16Le("PGHost=h\xC3\xA9\r\nPort=6000"), "6000", "h\xC3\xA9", "", ""},
      {"PGHost=caf\xE9", "", "caf\xC3\xA9", "", ""},  // no mark: ISO-8859-1
  };
  for (const Case& c : cases) {
    const TqmServerConfig config = ReadServerConfig(Write(c.content));
    EXPECT_TRUE(config.Found);
    EXPECT_EQ(config.Value("Port"), c.port) << c.content;
    EXPECT_EQ(config.Value("PGHost"), c.pg_host) << c.content;
    EXPECT_EQ(config.Value("FBHost"), c.fb_host) << c.content;
    EXPECT_EQ(config.Value("ServiceName"), c.service) << c.content;
  }
}

TEST_F(DbServerConfigTest, ServerTakesPortAndFallsBackTo979) {
  struct Case {
    std::string content;
    std::string port;
  };
  for (const Case& c : {Case{"port=5000", "5000"}, Case{"Port =5000", "979"},
                        Case{"Port=\r\nServiceName=MyDB", "979"}}) {
    TqmDBServer server(Write(c.content));
    EXPECT_EQ(server.Port(), c.port) << c.content;
  }
  TqmDBServer named(Write("ServiceName=MyDB"));
  EXPECT_EQ(named.ServiceName(), "MyDB");
}

// A certificate makes the server speak TLS; without one it stays as it was.
TEST_F(DbServerConfigTest, CertificateKeysMakeTheServerSecure) {
  TqmDBServer secure(
      Write("CertificateFile=/etc/qm/s.pfx\r\nCertPassword= pw \r\n"
            "privatekeyfile=/etc/qm/s.key"));
  EXPECT_TRUE(secure.IsSecure());
  EXPECT_EQ(secure.CertificateFile, "/etc/qm/s.pfx");
  EXPECT_EQ(secure.CertPassword, " pw ");
  EXPECT_EQ(secure.PrivateKeyFile, "/etc/qm/s.key");
  for (const char* content : {"Port=5000", "CertificateFile=\nPrivateKeyFile=/etc/qm/s.key"}) {
    TqmDBServer plain(Write(content));
    EXPECT_FALSE(plain.IsSecure()) << content;
  }
}

// The two time-outs: whole seconds from 0 to 86400; anything else stops the server.
TEST_F(DbServerConfigTest, TimeOutsTakeWholeSecondsAndRefuseTheRest) {
  struct Case {
    std::string content;
    int connect, stop;
  };
  const Case cases[] = {
      {"", 15, 10},
      {"ConnectTimeout=3\r\nstoptimeout=0", 3, 0},
      {"ConnectTimeout=\r\nStopTimeout=86400", 15, 86400},
  };
  const int saved = TmncConnection::DefaultConnectTimeout();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    TqmDBServer server(Write(c.content));
    EXPECT_EQ(server.ConnectTimeout(), c.connect);
    EXPECT_EQ(server.StopTimeout(), c.stop);
    // New database connections take the configured connect time-out.
    EXPECT_EQ(TmncConnection::DefaultConnectTimeout(), c.connect);
  }
  for (const char* bad :
       {"ConnectTimeout= 3", "ConnectTimeout=-1", "StopTimeout=10s", "StopTimeout=86401"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(TqmDBServer{Write(bad)}, EqmConfigError);
  }
  TmncConnection::SetDefaultConnectTimeout(saved);
}

TEST_F(DbServerConfigTest, SessionKeysTakeTheirValuesAndOtherwiseTheDefaults) {
  struct Case {
    std::string content;
    int max_sessions;
    bool private_sessions, fb_defaults;
  };
  const Case cases[] = {
      {"", 1000, false, false},
      {"MaxSessions=0\r\nPrivateSessions=yes\r\nFBDefaultCredentials=ON", 0, true, true},
      {"maxsessions=25\r\nprivatesessions=1\r\nfbdefaultcredentials=no", 25, true, false},
      {"PrivateSessions=False\r\nFBDefaultCredentials=0", 1000, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    TqmDBServer server(Write(c.content));
    const TqmdSessionRules rules = TqmdConnections::Instance().Rules();
    EXPECT_EQ(rules.MaxSessions, c.max_sessions);
    EXPECT_EQ(rules.PrivateSessions, c.private_sessions);
    EXPECT_EQ(server.FBDefaultCredentials(), c.fb_defaults);
  }
  // A value that does not pass its check stops the start.
  for (const char* bad :
       {"MaxSessions=-1", "MaxSessions=lots", "PrivateSessions=maybe", "FBDefaultCredentials=sure",
        "MaxResultSize=1GiB", "MaxOpeningConnections=many", "MaxOpeningPerAddress=-2"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(TqmDBServer{Write(bad)}, EqmConfigError);
  }
  TqmDBServer reset(Write(""));
}

// Armed by a stop, the deadline ends the process with exit code 0 once the time is up; a stop
// that ends in time (the deadline goes first) leaves the process alone.
TEST(StopDeadlineDeathTest, EndsAHangingStopOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TqmStopDeadline deadline;
        deadline.Arm(std::chrono::seconds(1));
        std::this_thread::sleep_for(std::chrono::seconds(20));
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        {
          TqmStopDeadline deadline;
          deadline.Arm(std::chrono::seconds(1));
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(3), "");
}

TEST_F(DbServerConfigTest, BindPasswordAndSQLiteFolderKeys) {
  struct Case {
    std::string content;
    std::string bind, password, folder;
  };
  const std::string cwd = std::filesystem::current_path().string();
  const Case cases[] = {
      {"", "0.0.0.0", "", ""},
      {"bind=127.0.0.1\nPASSWORD= p=w \nsqlitefolder=/srv/db/", "127.0.0.1", " p=w ", "/srv/db/"},
      {"Bind=::1\r\nSQLiteFolder=data/../db", "::1", "", cwd + "/db"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    TqmDBServer server(Write(c.content));
    EXPECT_EQ(server.Bind(), c.bind);
    EXPECT_EQ(server.Password(), c.password);
    EXPECT_EQ(server.SQLiteFolder(), c.folder);
  }
  for (const char* bad : {"Password=a;b", "Password='ab'", "Password=a\"b"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(TqmDBServer{Write(bad)}, Exception);
  }
}

TEST_F(DbServerConfigTest, MissingFileIsLoggedAndDefaultsApply) {
  const std::string missing = home_.Folder() + "/none.conf";
  TqmDBServer server(missing);
  EXPECT_EQ(server.Port(), "979");
  EXPECT_EQ(server.ServiceName(), "");
  EXPECT_EQ(server.PGHost(), "");
  EXPECT_NE(home_.LogText().find("file config not found: " + missing), std::string::npos);
}

TEST_F(DbServerConfigTest, DefaultFileIsBesideTheExecutable) {
  const std::string name = TqmDBServer::DefaultConfigFileName();
  EXPECT_EQ(name.substr(name.rfind('/') + 1), "session_tests.conf");
}

TEST_F(DbServerConfigTest, RegistersTheTwelveCommands) {
  TqmDBServer server(home_.Folder() + "/none.conf");
  EXPECT_EQ(server.Commands().Count(), 12);
  for (const char* name :
       {"Status", "Connect", "Reconnect", "Disconnect", "ExecuteSQL", "PrepareSQL", "UnPrepareSQL",
        "ExecPrepared", "ExecScript", "OpenTransaction", "CloseTransaction", "ExecuteAPI"}) {
    EXPECT_NE(server.Commands().Find(name), nullptr) << name;
  }
}

// Answers the host roles its connection carries.
class RolesCommand : public TpdcDataCommand {
 public:
  using TpdcDataCommand::TpdcDataCommand;
  void Execute(TStreamDataWriter& Writer) override {
    Writer.SetName("OK");
    Writer.RegisterHeader("Test", "PGHost", Connection().Roles().AsString("Server.PGHost"));
    Writer.RegisterHeader("Test", "FBHost", Connection().Roles().AsString("Server.FBHost"));
    Writer.RegisterHeader("Test", "HasFB", Connection().Roles().Find("Server.FBHost") != nullptr);
    Writer.RegisterHeader("Test", "SQLiteFolder",
                          Connection().Roles().AsString("Server.SQLiteFolder"));
    Writer.RegisterHeader("Test", "HasPassword", Connection().Roles().Find("Password") != nullptr);
  }
};

class DbServerRolesTest : public SessionServerTest {};

TEST_F(DbServerRolesTest, ConnectionsCarryTheConfiguredHostsExactly) {
  StartServer("Port=0\r\nPGHost=db.example \r\nFBHost=\r\n",
              [](TqmDBServer& server) { server.RegisterCommand<RolesCommand>("Roles"); });
  auto reply = NewClient()->Call("Roles", {});
  EXPECT_EQ(reply->AsString("Test", "PGHost"), "db.example ");
  EXPECT_EQ(reply->AsString("Test", "FBHost"), "");
  EXPECT_TRUE(reply->AsBoolean("Test", "HasFB"));
  EXPECT_EQ(reply->AsString("Test", "SQLiteFolder"), "");
  EXPECT_FALSE(reply->AsBoolean("Test", "HasPassword"));  // no password: every line accepted
}

TEST_F(DbServerRolesTest, APasswordGuardsEveryHeaderLine) {
  StartServer("Port=0\r\nPassword=Pw\r\nSQLiteFolder=/srv/q\r\n",
              [](TqmDBServer& server) { server.RegisterCommand<RolesCommand>("Roles"); });
  auto client = NewClient();
  client->SetServerPassword("Pw");
  auto reply = client->Call("Roles", {});
  EXPECT_EQ(reply->AsString("Test", "SQLiteFolder"), "/srv/q");
  EXPECT_TRUE(reply->AsBoolean("Test", "HasPassword"));
  EXPECT_TRUE(client->Check());
  // A secret compares exactly: another letter case is another password.
  auto refused = NewClient();
  refused->SetServerPassword("pw");
  EXPECT_FALSE(refused->Check());
}

}  // namespace
}  // namespace qm::testing
