// qmcli against a real qmsrv whose sessions go to the Firebird test server
// (scripts/test-servers.sh, QM_TEST_FB_* variables).

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/firebird_server.h"
#include "common/silent_port.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

class FbCliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { firebird_.Open("cli"); }
  static void TearDownTestSuite() { firebird_.Close(); }

  void SetUp() override {
    if (!firebird_.Problem().empty())
      GTEST_FAIL() << firebird_.Problem();
    port_ = FreePort();
    server_ = std::make_unique<ServerProcess>(ServerProcess::PortConfig(port_) +
                                              "FBHost=" + firebird_.Settings().host + "\n");
    ASSERT_TRUE(server_->Start(port_)) << server_->Err();
  }

  ProcessResult Client(const std::vector<std::string>& args,
                       const std::string& password = firebird_.Settings().password) const {
    const fbtest::ServerSettings& settings = firebird_.Settings();
    std::vector<std::string> all = {"--driver",  "Firebird",    "--resource", firebird_.Path(),
                                    "--user",    settings.user, "--password", password,
                                    "--db-port", settings.port};
    all.insert(all.end(), args.begin(), args.end());
    return RunClient(port_, all);
  }

  static inline fbtest::SuiteDatabase firebird_;
  int port_ = 0;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(FbCliTest, StatementsParametersAndErrors) {
  ProcessResult made =
      Client({"-e", "create table notes (id integer, name varchar(10), price numeric(6,2))"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  ProcessResult filled = Client({"-e", "insert into notes values (1, 'a', 12.5)", "-e",
                                 "insert into notes values (2, null, null)"});
  ASSERT_EQ(filled.ExitCode, 0) << filled.Err;

  ProcessResult csv = Client({"--format", "csv", "select id, name, price from notes order by id"});
  ASSERT_EQ(csv.ExitCode, 0) << csv.Err;
  EXPECT_EQ(csv.Out, "ID,NAME,PRICE\r\n1,a,12.5\r\n2,,\r\n");

  ProcessResult params = Client({"--format", "csv", "-p", "n=41",
                                 "select cast(?n as integer) + 1 as answer from rdb$database"});
  ASSERT_EQ(params.ExitCode, 0) << params.Err;
  EXPECT_EQ(params.Out, "ANSWER\r\n42\r\n");

  ProcessResult wrong = Client({"-e", "select 1 from rdb$database"}, "not-the-password");
  EXPECT_EQ(wrong.ExitCode, 1);
  EXPECT_NE(wrong.Err.find("sqlcode: "), std::string::npos) << wrong.Err;
}

// A Firebird server that accepts the connection and never answers: the connect ends after
// "ConnectTimeout" with the time-out error every engine gives, and a stop does not wait for a
// connect without a time-out beyond "StopTimeout".
TEST_F(FbCliTest, ConnectToASilentServerEndsInTheTimeOutAndDoesNotHoldAStop) {
  qm::testing::SilentPort silent;
  const std::vector<std::string> session = {
      "--driver",  "Firebird",    "--resource", "/nowhere.fdb",
      "--user",    "SYSDBA",      "--password", "x",
      "--db-port", silent.Port(), "-e",         "select 1 from rdb$database"};
  {
    const int port = FreePort();
    ServerProcess server(ServerProcess::PortConfig(port) + "FBHost=127.0.0.1\nConnectTimeout=2\n");
    ASSERT_TRUE(server.Start(port)) << server.Err();
    const ProcessResult r = RunClient(port, session);
    EXPECT_FALSE(r.TimedOut);
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_NE(r.Err.find("no answer from 127.0.0.1:" + silent.Port() + " within 2 s"),
              std::string::npos)
        << r.Err;
  }
  {
    const int port = FreePort();
    ServerProcess server(ServerProcess::PortConfig(port) +
                         "FBHost=127.0.0.1\nConnectTimeout=0\nStopTimeout=2\n");
    ASSERT_TRUE(server.Start(port)) << server.Err();
    TempDir data;
    std::vector<std::string> args = {"--host",    "127.0.0.1", "--port", std::to_string(port),
                                     "--timeout", "120"};
    args.insert(args.end(), session.begin(), session.end());
    ChildProcess client(QM_QMCLI_PATH, args, {{"QMCLI_PASSWORD", std::nullopt}},
                        data.File("client.out"), data.File("client.err"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(client.Running()) << ReadFile(data.File("client.err"));
    server.Process().Signal(SIGTERM);
    // Well past StopTimeout, far below the library's own connect time-out (minutes).
    EXPECT_EQ(server.Process().Wait(std::chrono::seconds(15)), 0) << "the stop waited";
    EXPECT_EQ(client.Wait(std::chrono::seconds(15)), 1);
  }
}

}  // namespace
}  // namespace qm::e2e
