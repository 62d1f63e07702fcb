#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "session/result_encoder.h"
#include "session/session_fixture.h"

namespace qm::testing {
namespace {

class SqlCommandsTest : public SessionServerTest {
 protected:
  void SetUp() override {
    SessionServerTest::SetUp();
    StartServer();
    client_ = NewClient();
    handle_ = ConnectSQLite(*client_, DbFile("main.db"));
    ASSERT_EQ(Sql(*client_, handle_, "create table t(id INTEGER, name TEXT)")->Name(), "OK");
    ASSERT_EQ(Sql(*client_, handle_, "insert into t values(1, 'a')")->Name(), "OK");
    ASSERT_EQ(Sql(*client_, handle_, "insert into t values(2, NULL)")->Name(), "OK");
  }

  // A request of a command that works inside the test's session.
  std::unique_ptr<TStreamData> Call(const std::string& name, std::vector<Header> extra = {},
                                    const std::string& buffer = std::string()) {
    std::vector<Header> headers = SessionHeaders(handle_);
    headers.insert(headers.end(), extra.begin(), extra.end());
    return client_->Call(name, headers, buffer);
  }

  // The single value of a one-row, one-column result.
  std::string Scalar(const std::string& sql, std::uint32_t handle = 0) {
    auto reply = Sql(*client_, handle == 0 ? handle_ : handle, sql);
    EXPECT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    auto rows = DecodeRows(Inflate(*reply));
    return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "<no single value>";
  }

  // Names of the reply's headers of section `guid`, in order.
  static std::vector<std::string> HeaderNames(const TStreamData& reply, const std::string& guid) {
    std::vector<std::string> names;
    auto headers = reply.EnumHeaders(guid);
    for (int i = 0; i < headers->Count(); ++i)
      names.push_back(headers->Item(i)->Name());
    return names;
  }

  std::unique_ptr<Client> client_;
  std::uint32_t handle_ = 0;
};

TEST_F(SqlCommandsTest, SelectGivesTheExactBlockAndTypedFields) {
  auto reply = Sql(*client_, handle_, "select id, name from t order by id");
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(Inflate(*reply),
            "\x31\xEE\x80\x81\x61\xEE\x80\x82\x32\xEE\x80\x81\x4E\x55\x4C\x4C\x3B\xEE\x80\x82");
  EXPECT_EQ(reply->AsString("System", "BufferCompressed"), "True");
  EXPECT_EQ(reply->AsString("System", "BufferEncoding"), "UTF8");
  EXPECT_EQ(HeaderNames(*reply, "Fields"), (std::vector<std::string>{"id", "name"}));
  EXPECT_EQ(reply->FindHeader("Fields", "id")->DataType(), dhtInteger);
  EXPECT_EQ(reply->FindHeader("Fields", "name")->DataType(), dhtString);
  EXPECT_EQ(reply->AsString("Database", "ServerID"), server_->ServerID());
}

TEST_F(SqlCommandsTest, NoRowsGiveOkWithoutBlock) {
  for (const char* sql :
       {"update t set name = 'b' where id = 1", "select id, name from t where id = 9"}) {
    auto reply = Sql(*client_, handle_, sql);
    EXPECT_EQ(reply->Name(), "OK") << sql << ": " << reply->SysErrorText();
    EXPECT_EQ(reply->FindHeader("System", "BufferCompressed"), nullptr) << sql;
    EXPECT_TRUE(reply->Buffer().Empty()) << sql;
  }
  EXPECT_EQ(Scalar("select name from t where id = 1"), "b");
}

TEST_F(SqlCommandsTest, PreparedCommandListsTheFieldsOfEachRun) {
  // "seven" has no declared type: a row makes it an integer, no row a string.
  auto prepared =
      Call("PrepareSQL", {{"Database", "SQL", "select id, 7 as seven from t where id = ?id"}});
  ASSERT_EQ(prepared->Name(), "OK") << prepared->SysErrorText();
  const auto cmd = static_cast<std::int64_t>(prepared->AsCardinal("Database", "CmdHandle"));

  const std::vector<std::pair<std::int32_t, TFieldList>> runs = {
      {9, {{"id", dhtInteger}, {"seven", dhtString}}},
      {1, {{"id", dhtInteger}, {"seven", dhtInteger}}},
      {9, {{"id", dhtInteger}, {"seven", dhtString}}},
  };
  for (const auto& [id, expected] : runs) {
    auto reply = Call("ExecPrepared", {{"Database", "CmdHandle", cmd}, {"Params", "id", id}});
    ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    EXPECT_EQ(FieldsOf(*reply), expected) << id;
    EXPECT_EQ(reply->Buffer().Empty(), id == 9) << id;
  }
}

TEST_F(SqlCommandsTest, EmptyTextAndNullDiffer) {
  Sql(*client_, handle_, "insert into t values(3, '')");
  auto rows = DecodeRows(Inflate(*Sql(*client_, handle_, "select name from t order by id")));
  EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"a"}, {"NULL;"}, {""}}));
}

TEST_F(SqlCommandsTest, DuplicateColumnNamesAreNumberedAndNoticed) {
  auto reply = Sql(*client_, handle_, "select id as ID, name as id, 5 as Id from t where id = 1");
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(HeaderNames(*reply, "Fields"), (std::vector<std::string>{"ID", "id1", "Id2"}));
  EXPECT_EQ(reply->AsString("Notices", "id"), "Duplicate Field");
  EXPECT_EQ(reply->AsString("Notices", "Id"), "Duplicate Field");
  EXPECT_NE(home_->LogText().find("Duplicate Field [id]"), std::string::npos);
}

TEST_F(SqlCommandsTest, ParametersBindTypedValuesAndUnknownOnesAreNoticed) {
  auto reply = Sql(
      *client_, handle_, "insert into t values(?id, ?name)",
      {{"Params", "id", std::int32_t{7}}, {"Params", "name", "seven"}, {"Params", "x", "unused"}});
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(reply->AsString("Notices", "x"), "Not Found");
  EXPECT_EQ(Scalar("select name from t where id = 7"), "seven");

  // The text "NULL;" binds null.
  Sql(*client_, handle_, "insert into t values(?id, ?name)",
      {{"Params", "id", std::int32_t{8}}, {"Params", "name", "NULL;"}});
  EXPECT_EQ(Scalar("select name is null from t where id = 8"), "1");
}

TEST_F(SqlCommandsTest, PreparedCommandRunsAgainWithOtherValues) {
  auto prepared = Call("PrepareSQL", {{"Database", "SQL", "select name from t where id = ?id"}});
  ASSERT_EQ(prepared->Name(), "OK") << prepared->SysErrorText();
  const std::uint32_t cmd = prepared->AsCardinal("Database", "CmdHandle");
  EXPECT_EQ(prepared->FindHeader("Database", "CmdHandle")->DataType(), dhtCardinal);

  const std::vector<std::pair<std::int32_t, std::string>> cases = {
      {1, "a"}, {2, "NULL;"}, {1, "a"}};
  for (const auto& [id, expected] : cases) {
    auto reply = Call("ExecPrepared", {{"Database", "CmdHandle", static_cast<std::int64_t>(cmd)},
                                       {"Params", "id", id}});
    ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    EXPECT_EQ(DecodeRows(Inflate(*reply)), (std::vector<std::vector<std::string>>{{expected}}))
        << id;
  }

  EXPECT_EQ(
      Call("UnPrepareSQL", {{"Database", "CmdHandle", static_cast<std::int32_t>(cmd)}})->Name(),
      "OK");
  auto gone = Call("ExecPrepared", {{"Database", "CmdHandle", static_cast<std::int64_t>(cmd)}});
  EXPECT_EQ(gone->Name(), "Error");
  EXPECT_EQ(gone->SysErrorText(), "Command Not Found");
  // Unpreparing an unknown handle is no error.
  EXPECT_EQ(Call("UnPrepareSQL", {{"Database", "CmdHandle", std::int32_t{77}}})->Name(), "OK");
}

TEST_F(SqlCommandsTest, CommandsAndTransactionsShareOneHandleSequence) {
  auto first = Call("PrepareSQL", {{"Database", "SQL", "select 1"}});
  auto second = Call("OpenTransaction");
  auto third = Call("PrepareSQL", {{"Database", "SQL", "select 2"}});
  EXPECT_EQ(first->AsCardinal("Database", "CmdHandle"), 1u);
  EXPECT_EQ(second->AsCardinal("Database", "TRHandle"), 2u);
  EXPECT_EQ(third->AsCardinal("Database", "CmdHandle"), 3u);

  // A prepare that fails uses no handle.
  auto failed = Call("PrepareSQL", {{"Database", "SQL", "select * from nowhere"}});
  EXPECT_EQ(failed->Name(), "Error");
  EXPECT_NE(failed->SysErrorText().find("sqlite: "), std::string::npos) << failed->SysErrorText();
  EXPECT_EQ(Call("OpenTransaction")->AsCardinal("Database", "TRHandle"), 4u);
}

TEST_F(SqlCommandsTest, CloseTransactionCommitsOnlyOnCommit) {
  auto other = NewClient();
  const std::uint32_t watcher = ConnectSQLite(*other, DbFile("main.db"));
  struct Case {
    const char* action;
    bool committed;
  };
  const Case cases[] = {
      {"COMMIT", true}, {"commit", true}, {"rollback", false}, {"whatever", false}, {"", false}};
  int id = 100;
  for (const Case& c : cases) {
    ++id;
    auto opened = Call("OpenTransaction");
    ASSERT_EQ(opened->Name(), "OK") << opened->SysErrorText();
    const auto tr = static_cast<std::int32_t>(opened->AsCardinal("Database", "TRHandle"));
    auto insert = Sql(*client_, handle_, "insert into t values(" + std::to_string(id) + ", 'x')",
                      {{"Database", "TRHandle", tr}});
    ASSERT_EQ(insert->Name(), "OK") << insert->SysErrorText();
    auto closed = Call("CloseTransaction",
                       {{"Database", "TRHandle", tr}, {"Database", "TRAction", c.action}});
    ASSERT_EQ(closed->Name(), "OK") << c.action << ": " << closed->SysErrorText();
    // Seen from another session on the same database.
    auto count = Sql(*other, watcher, "select count(*) from t where id = " + std::to_string(id));
    EXPECT_EQ(DecodeRows(Inflate(*count)),
              (std::vector<std::vector<std::string>>{{c.committed ? "1" : "0"}}))
        << c.action;
    // The handle is gone.
    auto again = Call("CloseTransaction", {{"Database", "TRHandle", tr}});
    EXPECT_EQ(again->SysErrorText(), "Transaction Handle Not Found") << c.action;
  }
  // The default transaction cannot be closed this way.
  EXPECT_EQ(Call("CloseTransaction", {{"Database", "TRHandle", std::int32_t{0}}})->SysErrorText(),
            "Transaction Handle Not Found");
}

// A statement naming a transaction that is not open is refused, never run in the default
// transaction (where it would be committed at once): after a rollback, after "Reconnect" dropped
// the opened transactions, and for a handle never handed out. 0 stays the default transaction.
TEST_F(SqlCommandsTest, StatementsNamingATransactionThatIsNotOpenAreRefused) {
  auto open = [&] {
    auto opened = Call("OpenTransaction");
    EXPECT_EQ(opened->Name(), "OK") << opened->SysErrorText();
    return static_cast<std::int32_t>(opened->AsCardinal("Database", "TRHandle"));
  };
  const std::int32_t rolled_back = open();
  ASSERT_EQ(Call("CloseTransaction",
                 {{"Database", "TRHandle", rolled_back}, {"Database", "TRAction", "rollback"}})
                ->Name(),
            "OK");
  const std::int32_t dropped = open();
  std::vector<Header> reconnect = {{"Database", "Driver", "SQLite"},
                                   {"Database", "Resource", DbFile("main.db")}};
  auto renewed = Call("Reconnect", reconnect);
  ASSERT_EQ(renewed->Name(), "OK") << renewed->SysErrorText();

  struct Case {
    const char* why;
    std::int32_t handle;
  };
  const Case cases[] = {
      {"rolled back", rolled_back}, {"dropped by Reconnect", dropped}, {"never opened", 999}};
  int id = 500;
  for (const Case& c : cases) {
    ++id;
    const std::string insert = "insert into t values(" + std::to_string(id) + ", 'x')";
    const std::vector<Header> in_tr = {{"Database", "TRHandle", c.handle}};
    auto executed = Sql(*client_, handle_, insert, in_tr);
    EXPECT_EQ(executed->Name(), "Error") << c.why;
    EXPECT_EQ(executed->SysErrorText(), "Transaction Handle Not Found") << c.why;

    std::vector<Header> prepare = in_tr;
    prepare.push_back({"Database", "SQL", insert});
    auto prepared = Call("PrepareSQL", prepare);
    EXPECT_EQ(prepared->SysErrorText(), "Transaction Handle Not Found") << c.why;
    EXPECT_EQ(prepared->FindHeader("Database", "CmdHandle"), nullptr) << c.why;

    auto script = Call("ExecScript", in_tr, CompressScript(insert + "^\r\n"));
    EXPECT_EQ(script->SysErrorText(), "Transaction Handle Not Found") << c.why;

    EXPECT_EQ(Scalar("select count(*) from t where id = " + std::to_string(id)), "0") << c.why;
  }
  // 0 still means the default transaction.
  ASSERT_EQ(Sql(*client_, handle_, "insert into t values(600, 'y')",
                {{"Database", "TRHandle", std::int32_t{0}}})
                ->Name(),
            "OK");
  EXPECT_EQ(Scalar("select count(*) from t where id = 600"), "1");
}

// A client that leaves while its statement runs gets the statement interrupted instead of run
// to its end for nobody, and its session stays: the next request on the session, which waits
// for the statement, is answered (the statement alone would run for many minutes).
TEST_F(SqlCommandsTest, AStatementWhoseClientLeftIsInterrupted) {
  auto leaver = NewClient();
  std::vector<Header> headers = SessionHeaders(handle_);
  headers.push_back({"Database", "SQL",
                     "with recursive c(x) as (select 1 union all select x + 1 from c "
                     "limit 100000000000) select count(*) from c"});
  leaver->Send("ExecuteSQL", headers);
  // Let the statement start before the client goes (it is interrupted either way).
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  leaver->Close();
  EXPECT_EQ(Scalar("select count(*) from t"), "2");
}

TEST_F(SqlCommandsTest, ScriptRunsEveryStatement) {
  auto reply = Call("ExecScript", {{"Database", "ScriptName", "setup"}},
                    CompressScript("create table s(x integer)^\r\ninsert into s values(1)^"
                                   "insert into s values(length('a^b'))^\r\n"));
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(Scalar("select group_concat(x) from s"), "1,3");

  // An empty script answers, but not "OK".
  auto empty = Call("ExecScript");
  EXPECT_EQ(empty->Name(), "");
  EXPECT_EQ(empty->AsString("Database", "ServerID"), server_->ServerID());

  // A buffer that is no zlib stream is an error reply; the connection stays usable.
  auto corrupt = Call("ExecScript", {}, "not zlib at all");
  EXPECT_EQ(corrupt->Name(), "Error");
  EXPECT_EQ(Scalar("select count(*) from s"), "2");

  // A failing statement ends the script with the engine's message.
  auto failing =
      Call("ExecScript", {}, CompressScript("insert into s values(9)^insert into nope values(1)"));
  EXPECT_EQ(failing->Name(), "Error");
  EXPECT_NE(failing->SysErrorText().find("sqlite: "), std::string::npos) << failing->SysErrorText();
}

// SQLite prepares one statement of a text and hands back the rest: a second statement is
// refused by name, while blanks, ";" and comments after the first are no statement.
TEST_F(SqlCommandsTest, OnlyBlanksAndCommentsMayFollowTheStatement) {
  for (const std::string tail : {";", " ; ;\r\n", "; -- done", "; /* done */ ;"}) {
    auto reply = Sql(*client_, handle_, "insert into t values(3, 'c')" + tail);
    EXPECT_EQ(reply->Name(), "OK") << tail << ": " << reply->SysErrorText();
  }
  EXPECT_EQ(Scalar("select count(*) from t where id = 3"), "4");

  auto two = Sql(*client_, handle_, "delete from t; -- all\n  drop table t");
  EXPECT_EQ(two->Name(), "Error");
  EXPECT_EQ(two->SysErrorText(), "sqlite: more than one statement in one command - drop table t");
  auto script = Call("ExecScript", {}, CompressScript("delete from t; drop table t^"));
  EXPECT_EQ(script->Name(), "Error");
  EXPECT_EQ(Scalar("select count(*) from t"), "6");
}

// A client that gives up on a statement disconnects its session from another connection: the
// statement is cancelled rather than left to run (here: for ever) with the session's locks.
TEST_F(SqlCommandsTest, DisconnectCancelsTheStatementRunningOnTheSession) {
  std::unique_ptr<TStreamData> running;
  std::thread worker([&] {
    running = Sql(*client_, handle_,
                  "with recursive n(i) as (select 1 union all select i + 1 from n) "
                  "select count(*) from n");
  });
  // Only so that the statement has started; the outcome does not depend on the time.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto other = NewClient();
  auto bye = other->Call("Disconnect", SessionHeaders(handle_));
  EXPECT_EQ(bye->Name(), "OK") << bye->SysErrorText();
  worker.join();
  ASSERT_NE(running, nullptr);
  EXPECT_EQ(running->Name(), "Error");
  EXPECT_NE(running->SysErrorText().find("interrupt"), std::string::npos)
      << running->SysErrorText();
  handle_ = 0;
}

TEST_F(SqlCommandsTest, FailingStatementIsLoggedOnOneLine) {
  auto reply = Sql(*client_, handle_, "select\r\n   %bogus\r\nfrom nowhere");
  EXPECT_EQ(reply->Name(), "Error");
  EXPECT_EQ(reply->SysErrorText().rfind("sqlite: ", 0), 0u) << reply->SysErrorText();
  const std::string log = home_->LogText();
  EXPECT_NE(log.find("127.0.0.1: Error ExecuteSQL[select bogus from nowhere]"), std::string::npos)
      << log;
  // The session is still usable.
  EXPECT_EQ(Scalar("select count(*) from t"), "2");
}

TEST_F(SqlCommandsTest, ApiOnSqliteDoesNothingButNeedsAName) {
  auto reply = Call("ExecuteAPI", {{"API", "Name", "loImport"}, {"API", "OID", std::int32_t{0}}});
  EXPECT_EQ(reply->Name(), "OK");
  EXPECT_TRUE(HeaderNames(*reply, "API").empty());
  EXPECT_EQ(reply->FindHeader("System", "Error"), nullptr);

  auto unnamed = Call("ExecuteAPI");
  EXPECT_EQ(unnamed->Name(), "OK");
  EXPECT_EQ(unnamed->SysErrorText(), "Invalid Name");
}

// The result block's deflater comes from "CompressionLevel": left out, igzip; set, zlib at that
// level. The block is exactly the one the block compressor makes at that setting, and whatever
// the setting it inflates to the same rows. The second byte of the zlib header tells the level
// class (igzip always writes the fastest class). (A value outside -1..9 stops the server: the
// configuration checks test that.)
class ResultBlockLevelTest : public SessionServerTest {};

TEST_F(ResultBlockLevelTest, ConfiguredLevelCompressesTheSameBlock) {
  struct Case {
    const char* Config;
    int Level;
    unsigned char HeaderByte;
  };
  const Case cases[] = {{"", kResultBlockDefaultLevel, 0x01},
                        {"CompressionLevel=1\r\n", 1, 0x01},
                        {"CompressionLevel=9\r\n", 9, 0xDA},
                        {"CompressionLevel=-1\r\n", Z_DEFAULT_COMPRESSION, 0x9C}};
  std::vector<std::string> blocks;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Config);
    StartServer(std::string("Port=0\r\n") + c.Config);
    auto client = NewClient();
    const std::uint32_t handle = ConnectSQLite(*client, DbFile("level.db"));
    auto reply = Sql(*client, handle,
                     "with recursive n(i) as (select 1 union all select i + 1 from n "
                     "where i < 500) select i, 'row ' || i from n");
    ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    const std::string_view raw = reply->Buffer().View();
    ASSERT_GE(raw.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(raw[0]), 0x78);
    EXPECT_EQ(static_cast<unsigned char>(raw[1]), c.HeaderByte);
    const std::string text = Inflate(*reply);
    TqmdZCompressor compressor(c.Level);
    compressor.Write(text);
    const std::vector<std::uint8_t> expected = compressor.Finish();
    EXPECT_TRUE(raw ==
                std::string_view(reinterpret_cast<const char*>(expected.data()), expected.size()));
    const auto rows = DecodeRows(text);
    ASSERT_EQ(rows.size(), 500u);
    EXPECT_EQ(rows[499], (std::vector<std::string>{"500", "row 500"}));
    blocks.emplace_back(raw);
  }
  // igzip's block is not zlib's at level 1, though both carry the same header.
  EXPECT_NE(blocks[0], blocks[1]);
}

// A result whose compressed block passes MaxResultSize ends in an error reply instead of a block
// held whole, and the session goes on: smaller results still come, and so do results of the same
// statement once fewer rows are asked for.
class ResultLimitTest : public SessionServerTest {
 protected:
  void SetUp() override {
    SessionServerTest::SetUp();
    StartServer("Port=0\r\nMaxResultSize=20000\r\n");
    client_ = NewClient();
    handle_ = ConnectSQLite(*client_, DbFile("limit.db"));
  }
  void TearDown() override {
    SessionServerTest::TearDown();
    SetMaxResultSize(kDefaultMaxResultSize);
  }
  std::unique_ptr<Client> client_;
  std::uint32_t handle_ = 0;
};

TEST_F(ResultLimitTest, AResultPastTheBoundIsAnErrorAndTheSessionGoesOn) {
  // Random bytes hardly compress: rows of 1,000 bytes pass 20,000 after about 20 rows.
  const auto rows = [](int count) {
    return "with recursive c(x) as (select 1 union all select x + 1 from c limit " +
           std::to_string(count) + ") select x, hex(randomblob(500)) from c";
  };
  struct Case {
    int rows;
    bool fits;
  };
  for (const Case& c : {Case{10, true}, Case{100, false}, Case{100000, false}, Case{5, true}}) {
    auto reply = Sql(*client_, handle_, rows(c.rows));
    if (c.fits) {
      ASSERT_EQ(reply->Name(), "OK") << c.rows << ": " << reply->SysErrorText();
      EXPECT_EQ(DecodeRows(Inflate(*reply)).size(), static_cast<std::size_t>(c.rows));
    } else {
      EXPECT_EQ(reply->Name(), "Error") << c.rows;
      EXPECT_EQ(reply->SysErrorText(),
                "Result too large: the compressed result passed MaxResultSize (20000 bytes)")
          << c.rows;
      EXPECT_TRUE(reply->Buffer().View().empty()) << c.rows;
    }
  }
}

}  // namespace
}  // namespace qm::testing
