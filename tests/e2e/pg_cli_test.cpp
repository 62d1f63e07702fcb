// qmcli against a real qmsrv whose sessions go to the PostgreSQL test server
// (scripts/test-servers.sh, QM_TEST_PG_* variables): statements, the printed table and CSV, and
// the errors of the engine as the user sees them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/postgres_server.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

class PgCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing;
    if (!pgtest::ReadServerSettings(settings_, missing))
      GTEST_FAIL() << pgtest::MissingServerMessage(missing);
    port_ = FreePort();
    server_ = std::make_unique<ServerProcess>(ServerProcess::PortConfig(port_) +
                                              "PGHost=" + settings_.host + "\n");
    ASSERT_TRUE(server_->Start(port_)) << server_->Err();
    // The test database is shared: a table of this process's own.
    table_ = "qm_cli_" + std::to_string(::getpid());
    ProcessResult dropped = Client({"-e", "drop table if exists " + table_});
    ASSERT_EQ(dropped.ExitCode, 0) << dropped.Err;
  }

  void TearDown() override {
    if (server_ && !table_.empty())
      Client({"-e", "drop table if exists " + table_});
    server_.reset();
  }

  ProcessResult Client(const std::vector<std::string>& args,
                       const std::optional<std::string>& password = std::nullopt) const {
    std::vector<std::string> all = pgtest::ClientSessionArguments(
        settings_, settings_.port, password.value_or(settings_.password));
    all.insert(all.end(), args.begin(), args.end());
    return RunClient(port_, all);
  }

  pgtest::ServerSettings settings_;
  int port_ = 0;
  std::unique_ptr<ServerProcess> server_;
  std::string table_;
};

TEST_F(PgCliTest, CreateInsertSelectPrintsTableAndCsv) {
  ProcessResult made = Client(
      {"-e", "create table " + table_ + " (id integer, name text, ok boolean, price numeric(6,2))",
       "-e", "insert into " + table_ + " values (1, 'a', true, 12.5), (2, null, false, null)"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  EXPECT_EQ(made.Out, "OK\nOK\n");

  struct Case {
    const char* Format;
    std::string Expected;
  };
  const Case cases[] = {
      // Numbers stand right; values are the server's text (t and f for booleans).
      {"table",
       "+----+------+----+-------+\n"
       "| id | name | ok | price |\n"
       "+----+------+----+-------+\n"
       "|  1 | a    | t  | 12.50 |\n"
       "|  2 | NULL | f  |  NULL |\n"
       "+----+------+----+-------+\n"
       "(2 rows)\n"},
      {"csv", "id,name,ok,price\r\n1,a,t,12.50\r\n2,,f,\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Format);
    ProcessResult r = Client(
        {"--format", c.Format, "select id, name, ok, price from " + table_ + " order by id"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, c.Expected);
  }

  // A select without rows still shows its columns.
  ProcessResult none =
      Client({"--format", "csv", "select id, name from " + table_ + " where id > 2"});
  ASSERT_EQ(none.ExitCode, 0) << none.Err;
  EXPECT_EQ(none.Out, "id,name\r\n");
}

TEST_F(PgCliTest, ParametersBindByName) {
  ProcessResult r = Client({"--format", "csv", "-p", "n=41", "-p", "word=hi",
                            "select ?n::integer + 1 as answer, ?word::text as word"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "answer,word\r\n42,hi\r\n");
}

TEST_F(PgCliTest, EngineErrorsExitNonZeroWithTheirMessage) {
  ProcessResult wrong = Client({"-e", "select 1"}, "not-the-password");
  EXPECT_EQ(wrong.ExitCode, 1);
  EXPECT_EQ(wrong.Out, "");
  // The library's reason comes on a line of its own (the message breaks it with a lone "\r").
  EXPECT_EQ(wrong.Err.rfind("Error: Postgre connection failed\n", 0), 0u) << wrong.Err;
  EXPECT_EQ(wrong.Err.find('\r'), std::string::npos) << wrong.Err;
  EXPECT_NE(wrong.Err.find("password authentication failed"), std::string::npos) << wrong.Err;

  ProcessResult missing = Client({"-e", "select * from qm_missing_table"});
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_NE(missing.Err.find("Error: Postgre command: ERROR:  relation \"qm_missing_table\" "
                             "does not exist"),
            std::string::npos)
      << missing.Err;
  EXPECT_EQ(missing.Err.find("\n\n"), std::string::npos) << missing.Err;

  // Neither run leaves a session behind.
  ProcessResult status = RunClient(port_, {"--status", "--format", "json"});
  ASSERT_EQ(status.ExitCode, 0) << status.Err;
  EXPECT_EQ(status.Out, "{\"items\":[]}\n");
}

}  // namespace
}  // namespace qm::e2e
