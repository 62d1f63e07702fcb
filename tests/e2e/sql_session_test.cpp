// qmcli against a real qmsrv on SQLite: results in the three output forms, scripts, status and
// errors, and the wire format of a result seen through the client library.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "client/db_client.h"
#include "client/result_set.h"
#include "e2e/e2e_fixture.h"
#include "support/buffer.h"

namespace qm::e2e {
namespace {

class SqlSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    FPort = FreePort();
    FServer = std::make_unique<ServerProcess>(ServerProcess::PortConfig(FPort));
    ASSERT_TRUE(FServer->Start(FPort)) << FServer->Err();
  }
  static void TearDownTestSuite() { FServer.reset(); }

  void SetUp() override { FDatabase = FServer->Dir().File(NextDatabaseName()); }

  static std::string NextDatabaseName() {
    static int number = 0;
    return "test" + std::to_string(++number) + ".db";
  }

  std::vector<std::string> Session() const {
    return {"--driver", "SQLite", "--resource", FDatabase};
  }

  ProcessResult Client(std::vector<std::string> Args) const {
    std::vector<std::string> all = Session();
    all.insert(all.end(), Args.begin(), Args.end());
    return RunClient(FPort, all);
  }

  // Creates t(id, name) holding (1, 'a') and (2, null).
  void CreateTable() const {
    ProcessResult r = Client({"-e", "create table t (id integer, name text)", "-e",
                              "insert into t values (1, 'a'), (2, null)"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
  }

  static int FPort;
  static std::unique_ptr<ServerProcess> FServer;
  std::string FDatabase;
};

int SqlSessionTest::FPort = 0;
std::unique_ptr<ServerProcess> SqlSessionTest::FServer;

TEST_F(SqlSessionTest, CreateInsertSelectPrintsEachFormat) {
  CreateTable();
  struct Case {
    const char* Format;
    std::string Expected;
  };
  const Case cases[] = {
      {"table",
       "+----+------+\n"
       "| id | name |\n"
       "+----+------+\n"
       "|  1 | a    |\n"
       "|  2 | NULL |\n"
       "+----+------+\n"
       "(2 rows)\n"},
      {"csv", "id,name\r\n1,a\r\n2,\r\n"},
      {"json", "[{\"id\":1,\"name\":\"a\"},{\"id\":2,\"name\":null}]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Format);
    ProcessResult r = Client({"--format", c.Format, "select id, name from t order by id"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, c.Expected);
  }
}

TEST_F(SqlSessionTest, StatementsWithoutColumnsSayOk) {
  ProcessResult r = Client({"-e", "create table e (a integer, b text)", "-e",
                            "insert into e values (1, 'x')", "--format", "table"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "OK\nOK\n");
  ProcessResult csv = Client({"--format", "csv", "-e", "delete from e"});
  ASSERT_EQ(csv.ExitCode, 0) << csv.Err;
  EXPECT_EQ(csv.Out, "");
}

TEST_F(SqlSessionTest, QueryWithoutRowsPrintsItsColumns) {
  CreateTable();
  struct Case {
    const char* Format;
    std::string Expected;
  };
  const Case cases[] = {
      {"table",
       "+----+------+\n"
       "| id | name |\n"
       "+----+------+\n"
       "+----+------+\n"
       "(0 rows)\n"},
      {"csv", "id,name\r\n"},
      {"json", "[]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Format);
    ProcessResult r = Client({"--format", c.Format, "select id, name from t where id = 9"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, c.Expected);
  }
}

TEST_F(SqlSessionTest, EmptyTextAndNullStayApartInCsv) {
  ProcessResult r = Client({"--format", "csv", "select '' as e, null as n, 'x,\"y\"' as q"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "e,n,q\r\n\"\",,\"x,\"\"y\"\"\"\r\n");
}

TEST_F(SqlSessionTest, ParametersBindByName) {
  CreateTable();
  ProcessResult r = Client(
      {"--format", "csv", "-p", "k=2", "-p", "unused=1", "select id, name from t where id = ?k"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "id,name\r\n2,\r\n");
  // The server tells about a parameter the statement does not have.
  EXPECT_NE(r.Err.find("Notice: unused: Not Found"), std::string::npos) << r.Err;
}

TEST_F(SqlSessionTest, ScriptFileRunsStatementsSeparatedByCaret) {
  const std::string script = FServer->Dir().File("script.sql");
  WriteFile(script,
            "create table s (id integer, note text)^\n"
            "insert into s values (1, 'one ^ in quotes')^\n"
            "insert into s values (2, 'two')^\n");
  ProcessResult r =
      Client({"--script", script, "--format", "csv", "select id, note from s order by id"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(r.Out, "id,note\r\n1,one ^ in quotes\r\n2,two\r\n");
}

TEST_F(SqlSessionTest, FailingScriptStatementIsReported) {
  const std::string script = FServer->Dir().File("bad.sql");
  WriteFile(script, "create table b (id integer)^insert into nowhere values (1)^");
  ProcessResult r = Client({"--script", script});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("nowhere"), std::string::npos) << r.Err;
}

TEST_F(SqlSessionTest, SqlErrorExitsNonZeroWithServerMessage) {
  ProcessResult r = Client({"select * from missing_table"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_EQ(r.Out, "");
  EXPECT_NE(r.Err.find("no such table: missing_table"), std::string::npos) << r.Err;
}

TEST_F(SqlSessionTest, StatusListsOpenSessionAndNoneAfterDisconnect) {
  ProcessResult during = Client({"--format", "json", "--status", "-e", "select 1 as one"});
  ASSERT_EQ(during.ExitCode, 0) << during.Err;
  EXPECT_NE(during.Out.find("\"count\":1"), std::string::npos) << during.Out;
  EXPECT_NE(during.Out.find("\"Resource\":\"" + FDatabase + "\""), std::string::npos) << during.Out;

  // Every qmcli run disconnects its session at the end.
  ProcessResult after = RunClient(FPort, {"--status", "--format", "json"});
  ASSERT_EQ(after.ExitCode, 0) << after.Err;
  EXPECT_EQ(after.Out, "{\"items\":[]}\n");

  ProcessResult table = RunClient(FPort, {"--status"});
  ASSERT_EQ(table.ExitCode, 0) << table.Err;
  EXPECT_NE(table.Out.find("| Handle | RemoteIP |"), std::string::npos) << table.Out;
  EXPECT_NE(table.Out.find("(0 rows)"), std::string::npos) << table.Out;
}

TEST_F(SqlSessionTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},                                        // nothing to do
      {"-e", "select 1"},                        // no driver
      {"--driver", "sqlite", "-e", "select 1"},  // engine names are exact
      {"--format", "xml", "--status"},
      {"--driver", "SQLite", "-p", "novalue", "-e", "select 1"},
  };
  for (const auto& args : cases) {
    ProcessResult r = RunClient(FPort, args);
    EXPECT_EQ(r.ExitCode, 2) << r.Err;
  }
}

TEST_F(SqlSessionTest, ServerThatIsNotThereIsAConnectionError) {
  ProcessResult r = RunClient(FreePort(), {"--status"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("Cannot connect to 127.0.0.1"), std::string::npos) << r.Err;
}

// The client library sees the reply as it travels: column types under "Fields" and the
// inflated block byte for byte.
TEST_F(SqlSessionTest, LibraryDecodesTypedColumnsAndRawBlock) {
  CreateTable();
  TqmDBClient client("127.0.0.1", std::to_string(FPort), 30000);
  client.Open();
  EXPECT_TRUE(client.Check());
  client.Connect({"SQLite", FDatabase, "", "", "", "e2e"});
  EXPECT_EQ(client.ServerID(), client.QueryServerID());
  EXPECT_EQ(client.ServerID().size(), 15u);

  std::unique_ptr<TStreamData> reply =
      client.Call("ExecuteSQL", {{"Database", "ServerID", client.ServerID()},
                                 {"Database", "Handle", static_cast<std::int32_t>(client.Handle())},
                                 {"Database", "SQL", "select id, name from t order by id"}});
  EXPECT_EQ(reply->AsString("System", "BufferEncoding"), "UTF8");
  EXPECT_EQ(ZDecompress(reply->Buffer().View()),
            "1\xEE\x80\x81"
            "a\xEE\x80\x82"
            "2\xEE\x80\x81NULL;\xEE\x80\x82");
  TqmResultSet result = DecodeResult(*reply);
  ASSERT_EQ(result.Columns.size(), 2u);
  EXPECT_EQ(result.Columns[0].DataType, dhtInteger);
  EXPECT_EQ(result.Columns[1].DataType, dhtString);

  // Transactions: a rolled back insert is gone, a committed one stays.
  const std::uint32_t rolled = client.OpenTransaction();
  client.ExecuteSQL("insert into t values (3, 'r')", {}, rolled);
  client.CloseTransaction(rolled, "rollback");
  const std::uint32_t kept = client.OpenTransaction();
  client.ExecuteSQL("insert into t values (4, 'k')", {}, kept);
  client.CloseTransaction(kept, "COMMIT");
  TqmResultSet ids = client.ExecuteSQL("select id from t where id > 2 order by id");
  ASSERT_EQ(ids.Rows.size(), 1u);
  EXPECT_EQ(ids.Rows[0][0], "4");

  client.Disconnect();
  EXPECT_FALSE(client.HasSession());
}

// Byte values travel as their text form, each byte an ISO-8859-1 character in UTF-8, and the
// library gives the bytes back for a column the caller knows to hold bytes.
TEST_F(SqlSessionTest, ByteValuesTravelAsTextAndDecodeBack) {
  std::string every_byte;
  std::string hex;
  for (int i = 0; i < 256; ++i) {
    every_byte += static_cast<char>(i);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", i);
    hex += digits;
  }
  std::string every_byte_text;  // the UTF-8 text of the 256 bytes read as ISO-8859-1
  for (int i = 0; i < 256; ++i) {
    if (i < 0x80) {
      every_byte_text += static_cast<char>(i);
    } else {
      every_byte_text += static_cast<char>(0xC0 | (i >> 6));
      every_byte_text += static_cast<char>(0x80 | (i & 0x3F));
    }
  }

  TqmDBClient client("127.0.0.1", std::to_string(FPort), 30000);
  client.Open();
  client.Connect({"SQLite", FDatabase, "", "", "", "e2e"});
  client.ExecuteSQL("create table b (id integer, v blob)");
  client.ExecuteSQL("insert into b values (1, x'" + hex + "'), (2, x'00FF41'), (3, null)");
  std::unique_ptr<TStreamData> reply =
      client.Call("ExecuteSQL", {{"Database", "ServerID", client.ServerID()},
                                 {"Database", "Handle", static_cast<std::int32_t>(client.Handle())},
                                 {"Database", "SQL", "select id, v from b order by id"}});
  const std::string F(kFieldSeparator);
  const std::string R(kRowTerminator);
  EXPECT_EQ(ZDecompress(reply->Buffer().View()), "1" + F + every_byte_text + R + "2" + F +
                                                     std::string("\x00\xC3\xBF\x41", 4) + R + "3" +
                                                     F + "NULL;" + R);

  TqmResultSet result = DecodeResult(*reply, kMaxResultBlock, {1});
  ASSERT_EQ(result.Rows.size(), 3u);
  EXPECT_EQ(result.Rows[0][1], every_byte);
  EXPECT_EQ(result.Rows[1][1], std::string("\x00\xFF\x41", 3));
  EXPECT_EQ(result.Rows[2][1], std::nullopt);
  // Without the hint the values stay text.
  EXPECT_EQ(DecodeResult(*reply).Rows[0][1], every_byte_text);
  client.Disconnect();
}

TEST_F(SqlSessionTest, LibraryReportsServerRefusals) {
  TqmDBClient client("127.0.0.1", std::to_string(FPort), 30000);
  client.Open();
  try {
    client.Connect({"sqlite", FDatabase, "", "", "", "e2e"});
    FAIL() << "lower-case driver name accepted";
  } catch (const EqmServerError& e) {
    EXPECT_EQ(e.Message(), "Driver Create Connection = nil");
  }
  try {
    client.Call("NoSuchCommand", {});
    FAIL() << "unknown command accepted";
  } catch (const EqmServerError& e) {
    EXPECT_EQ(e.Message(), "Invalid Command :)");
  }
  // A stale identity is refused before the handle is looked up.
  client.Connect({"SQLite", FDatabase, "", "", "", "e2e"});
  try {
    client.Call("Disconnect", {{"Database", "ServerID", "000000000000000"},
                               {"Database", "Handle", static_cast<std::int32_t>(client.Handle())}});
    FAIL() << "stale server identity accepted";
  } catch (const EqmServerError& e) {
    EXPECT_EQ(e.Message(), "Invalid Server ID");
  }
  client.Disconnect();
}

}  // namespace
}  // namespace qm::e2e
