// qmcli against a real qmsrv whose sessions go to the Firebird test server
// (scripts/test-servers.sh, QM_TEST_FB_* variables).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/firebird_server.h"
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

}  // namespace
}  // namespace qm::e2e
