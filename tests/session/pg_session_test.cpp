#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/postgres_server.h"
#include "session/result_encoder.h"
#include "session/session_fixture.h"
#include "support/buffer.h"
#include "support/utf16.h"

namespace qm::testing {
namespace {

// Sessions on the PostgreSQL test server (scripts/test-servers.sh, QM_TEST_PG_* variables).
class PgSessionTest : public SessionServerTest {
 protected:
  void SetUp() override {
    SessionServerTest::SetUp();
    std::string missing;
    if (!pgtest::ReadServerSettings(settings_, missing))
      GTEST_FAIL() << pgtest::MissingServerMessage(missing);
    StartServer("Port=0\r\nPGHost=" + settings_.host + "\r\n");
    client_ = NewClient();
    auto reply = client_->Call("Connect", ConnectHeaders(settings_.password));
    ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    handle_ = reply->AsCardinal("Database", "Handle");
  }

  // The "Connect" (and "Reconnect") values of the test database with `password`.
  std::vector<Header> ConnectHeaders(const std::string& password) {
    return {{"Database", "Driver", "PostgreSQL"}, {"Database", "Resource", settings_.database},
            {"Database", "Port", settings_.port}, {"Database", "UserName", settings_.user},
            {"Database", "Password", password},   {"Database", "AppName", "tester"}};
  }

  // "Reconnect" of this test's session with the current server identity.
  std::unique_ptr<TStreamData> Reconnect() {
    std::vector<Header> headers = SessionHeaders(handle_);
    for (Header& header : ConnectHeaders(settings_.password))
      headers.push_back(std::move(header));
    return client_->Call("Reconnect", headers);
  }

  // Ends the PostgreSQL backend `backend` (a pid) from a second session of the same client, as
  // a server that drops a connection would, and waits (up to 10 s) until it is gone.
  void EndBackendFromAnotherSession(const std::string& backend) {
    auto other = client_->Call("Connect", ConnectHeaders(settings_.password));
    ASSERT_EQ(other->Name(), "OK") << other->SysErrorText();
    auto killed = Sql(*client_, other->AsCardinal("Database", "Handle"),
                      "select pg_terminate_backend(" + backend + ", 10000)");
    ASSERT_EQ(DecodeRows(Inflate(*killed)), (std::vector<std::vector<std::string>>{{"t"}}));
  }

  std::string StatusText() {
    auto reply = client_->Call("Status", {});
    EXPECT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    return Utf16LeToUtf8(std::string(reply->Buffer().View()));
  }

  std::int32_t OpenTransaction() {
    auto opened = Call("OpenTransaction");
    EXPECT_EQ(opened->Name(), "OK") << opened->SysErrorText();
    return static_cast<std::int32_t>(opened->AsCardinal("Database", "TRHandle"));
  }
  std::unique_ptr<TStreamData> CloseTransaction(std::int32_t tr, const std::string& action) {
    return Call("CloseTransaction",
                {{"Database", "TRHandle", tr}, {"Database", "TRAction", action}});
  }

  std::unique_ptr<TStreamData> Call(const std::string& name, std::vector<Header> extra = {},
                                    const std::string& buffer = std::string()) {
    std::vector<Header> headers = SessionHeaders(handle_);
    headers.insert(headers.end(), extra.begin(), extra.end());
    return client_->Call(name, headers, buffer);
  }
  std::string Scalar(const std::string& sql) {
    auto reply = Sql(*client_, handle_, sql);
    EXPECT_EQ(reply->Name(), "OK") << sql << ": " << reply->SysErrorText();
    auto rows = DecodeRows(Inflate(*reply));
    return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "<no single value>";
  }

  pgtest::ServerSettings settings_;
  std::unique_ptr<Client> client_;
  std::uint32_t handle_ = 0;
};

TEST_F(PgSessionTest, SessionCarriesClientAddress) {
  EXPECT_EQ(Scalar("select current_setting('application_name')"), "tester [127.0.0.1]");
  EXPECT_EQ(Scalar("select current_setting('globals.RemoteIP')"), "127.0.0.1");
}

TEST_F(PgSessionTest, SelectGivesTheExactBlockFromTheServersText) {
  ASSERT_EQ(Sql(*client_, handle_, "create temp table t(id integer, name text)")->Name(), "OK");
  ASSERT_EQ(Sql(*client_, handle_, "insert into t values(1, 'a'), (2, null)")->Name(), "OK");
  auto reply = Sql(*client_, handle_, "select id, name from t order by id");
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(Inflate(*reply),
            "\x31\xEE\x80\x81\x61\xEE\x80\x82\x32\xEE\x80\x81\x4E\x55\x4C\x4C\x3B\xEE\x80\x82");
  EXPECT_EQ(reply->FindHeader("Fields", "id")->DataType(), dhtInteger);
  EXPECT_EQ(reply->FindHeader("Fields", "name")->DataType(), dhtString);
  // Booleans travel as the server writes them.
  EXPECT_EQ(Scalar("select true"), "t");
}

// "ExecuteSQL" runs its statement unnamed in one round trip, and its rows go into the block as
// they arrive. Whatever way a statement ends (rows, no rows, a syntax error, an
// error part-way through the rows) the session keeps no statement behind, and an error
// part-way answers the error alone: no half block.
TEST_F(PgSessionTest, ExecuteSQLLeavesNoStatementAndFailsPartWayWithoutABlock) {
  struct Case {
    const char* Sql;
    const char* Error;  // empty: succeeds
    std::size_t Rows;
  };
  const Case cases[] = {
      {"select g, 'v' || g from generate_series(1, 30000) g", "", 30000},
      {"select 1 where false", "", 0},
      {"create temp table streamed(id integer)", "", 0},
      {"selec 1", "syntax error", 0},
      {"select g, 10 / (g - 20000) from generate_series(1, 30000) g", "division by zero", 0},
      // Far enough for the block to be deflating on its own thread when the error comes.
      {"select g, 10 / (g - 150000) from generate_series(1, 160000) g", "division by zero", 0},
      {"select 10 / (g - 1) from generate_series(1, 3) g", "division by zero", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Sql);
    auto reply = Sql(*client_, handle_, c.Sql);
    if (*c.Error == '\0') {
      ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
      EXPECT_EQ(DecodeRows(Inflate(*reply)).size(), c.Rows);
    } else {
      EXPECT_EQ(reply->Name(), "Error");
      EXPECT_NE(reply->SysErrorText().find(c.Error), std::string::npos) << reply->SysErrorText();
      EXPECT_TRUE(reply->Buffer().View().empty());
      EXPECT_EQ(reply->FindHeader("System", "BufferCompressed"), nullptr);
    }
    // No named statement is left on the server (the one asking is unnamed too).
    auto statements =
        DecodeRows(Inflate(*Sql(*client_, handle_, "select name from pg_prepared_statements")));
    EXPECT_TRUE(statements.empty()) << statements[0][0];
  }
  // Inside an explicit transaction the failure aborts it, as a single statement would.
  const std::int32_t tr = OpenTransaction();
  auto failed = Sql(*client_, handle_, "select 1 / 0", {{"Database", "TRHandle", tr}});
  EXPECT_EQ(failed->Name(), "Error");
  EXPECT_EQ(CloseTransaction(tr, "rollback")->Name(), "OK");
  EXPECT_EQ(Scalar("select 41 + 1"), "42");
}

// The streamed block (ExecuteSQL) and the block of a complete result (ExecPrepared) are the
// same bytes.
TEST_F(PgSessionTest, StreamedAndCompleteResultsGiveTheSameBlock) {
  const std::string sql =
      "select g, case when g % 7 = 0 then null else 'r' || g end, g % 2 = 0 "
      "from generate_series(1, 20000) g";
  auto streamed = Sql(*client_, handle_, sql);
  ASSERT_EQ(streamed->Name(), "OK") << streamed->SysErrorText();
  auto prepared = Call("PrepareSQL", {{"Database", "SQL", sql}});
  ASSERT_EQ(prepared->Name(), "OK") << prepared->SysErrorText();
  const auto command = static_cast<std::int32_t>(prepared->AsCardinal("Database", "CmdHandle"));
  auto complete = Call("ExecPrepared", {{"Database", "CmdHandle", command}});
  ASSERT_EQ(complete->Name(), "OK") << complete->SysErrorText();
  const std::string block = Inflate(*streamed);
  EXPECT_EQ(block, Inflate(*complete));
  const auto rows = DecodeRows(block);
  ASSERT_EQ(rows.size(), 20000u);
  EXPECT_EQ(rows[6], (std::vector<std::string>{"7", "NULL;", "f"}));
  EXPECT_EQ(rows[19999], (std::vector<std::string>{"20000", "r20000", "t"}));
}

TEST_F(PgSessionTest, CommitAnswersItsNotices) {
  auto opened = Call("OpenTransaction");
  ASSERT_EQ(opened->Name(), "OK") << opened->SysErrorText();
  const auto tr = static_cast<std::int32_t>(opened->AsCardinal("Database", "TRHandle"));
  auto notice = Sql(*client_, handle_, "do $$ begin raise notice 'hello there'; end $$",
                    {{"Database", "TRHandle", tr}});
  ASSERT_EQ(notice->Name(), "OK") << notice->SysErrorText();
  auto closed =
      Call("CloseTransaction", {{"Database", "TRHandle", tr}, {"Database", "TRAction", "Commit"}});
  ASSERT_EQ(closed->Name(), "OK") << closed->SysErrorText();
  EXPECT_NE(closed->AsString("Database", "Notices").find("hello there"), std::string::npos)
      << closed->AsString("Database", "Notices");
}

TEST_F(PgSessionTest, LargeObjectsTravelCompressed) {
  const std::string content = "large object bytes \x01\x02\xff";
  auto imported = Call("ExecuteAPI", {{"API", "Name", "loimport"}, {"API", "OID", std::int32_t{0}}},
                       ZCompress(content));
  ASSERT_EQ(imported->Name(), "OK") << imported->SysErrorText();
  const std::int32_t oid = imported->AsInteger("API", "OID");
  ASSERT_GT(oid, 0);

  auto exported = Call("ExecuteAPI", {{"API", "Name", "loExport"}, {"API", "OID", oid}});
  EXPECT_EQ(exported->AsInteger("API", "OID"), oid);
  EXPECT_TRUE(exported->AsBoolean("System", "BufferCompressed"));
  EXPECT_EQ(Inflate(*exported), content);

  auto copied = Call("ExecuteAPI", {{"API", "Name", "loCopy"}, {"API", "OID", oid}});
  const std::int32_t copy = copied->AsInteger("API", "OID");
  EXPECT_NE(copy, oid);
  EXPECT_GT(copy, 0);

  for (std::int32_t id : {oid, copy})
    EXPECT_EQ(Call("ExecuteAPI", {{"API", "Name", "loUnlink"}, {"API", "OID", id}})->Name(), "OK");
  auto missing = Call("ExecuteAPI", {{"API", "Name", "loExport"}, {"API", "OID", oid}});
  EXPECT_EQ(missing->Name(), "OK");
  EXPECT_EQ(missing->AsInteger("API", "OID"), oid);
  EXPECT_EQ(Inflate(*missing), "");

  auto unknown = Call("ExecuteAPI", {{"API", "Name", "loFoo"}});
  EXPECT_EQ(unknown->Name(), "OK");
  EXPECT_EQ(unknown->SysErrorText(), "Invalid API [loFoo]");
}

TEST_F(PgSessionTest, NotificationsAreHandedOutOnce) {
  ASSERT_EQ(Sql(*client_, handle_, "listen qmchan")->Name(), "OK");
  ASSERT_EQ(Sql(*client_, handle_, "notify qmchan, 'pay'")->Name(), "OK");
  auto first = Call("ExecuteAPI", {{"API", "Name", "loNotifications"}});
  ASSERT_EQ(first->Name(), "OK") << first->SysErrorText();
  EXPECT_EQ(first->AsInteger("API", "Count"), 1);
  EXPECT_EQ(Utf16LeToUtf8(Inflate(*first)), "qmchan=pay\r\n");
  auto second = Call("ExecuteAPI", {{"API", "Name", "loNotifications"}});
  EXPECT_EQ(second->AsInteger("API", "Count"), 0);
  EXPECT_EQ(Inflate(*second), "");
}

TEST_F(PgSessionTest, WrongPasswordIsRefusedAndRegistersNothing) {
  const std::string user = settings_.user;
  auto check_refusal = [&](const TStreamData& reply) {
    EXPECT_EQ(reply.Name(), "Error");
    const std::string text = reply.SysErrorText();
    const std::string prefix = "Postgre connection failed\r";
    EXPECT_EQ(text.substr(0, prefix.size()), prefix) << text;
    // The library's own reason follows.
    EXPECT_NE(text.find("password authentication failed for user \"" + user + "\""),
              std::string::npos)
        << text;
  };
  check_refusal(*client_->Call("Connect", ConnectHeaders("not-the-password")));
  EXPECT_EQ(StatusText().rfind("{\"count\":1,", 0), 0u) << StatusText();

  // A session that "Reconnect" would bring back under its handle stays gone as well.
  ASSERT_EQ(Call("Disconnect")->Name(), "OK");
  std::vector<Header> headers = SessionHeaders(handle_);
  for (Header& header : ConnectHeaders("not-the-password"))
    headers.push_back(std::move(header));
  check_refusal(*client_->Call("Reconnect", headers));
  EXPECT_EQ(StatusText(), "{\"items\":[]}");
}

TEST_F(PgSessionTest, ColumnTypesGiveFieldHeaderTypesAndValuesTravelAsServerText) {
  struct Column {
    const char* Name;
    const char* Type;
    const char* Literal;
    const char* Text;  // as the server writes it
    TDataHeaderType HeaderType;
  };
  const Column columns[] = {
      {"c_int2", "int2", "-7", "-7", dhtInteger},
      {"c_int4", "int4", "70000", "70000", dhtInteger},
      {"c_int8", "int8", "9000000000", "9000000000", dhtInteger},
      {"c_numeric", "numeric(8,2)", "12.5", "12.50", dhtCurrency},
      {"c_float8", "float8", "1.25", "1.25", dhtCurrency},
      {"c_text", "text", "'tëxt'", "tëxt", dhtString},
      {"c_varchar", "varchar(10)", "''", "", dhtString},
      {"c_true", "bool", "true", "t", dhtBoolean},
      {"c_false", "bool", "false", "f", dhtBoolean},
      {"c_date", "date", "'2024-03-01'", "2024-03-01", dhtDateTime},
      {"c_timestamp", "timestamp", "'2024-03-01 10:20:30.123'", "2024-03-01 10:20:30.123",
       dhtDateTime},
      // The session asks for the escape form of byte strings.
      {"c_bytea", "bytea", "'\\x61ff00'", "a\\377\\000", dhtString},
  };
  std::string create = "create temp table typed(";
  std::string insert = "insert into typed values(";
  std::string nulls = "insert into typed values(";
  std::vector<std::string> expected;
  for (const Column& column : columns) {
    const bool first = &column == &columns[0];
    create += std::string(first ? "" : ", ") + column.Name + " " + column.Type;
    insert += std::string(first ? "" : ", ") + column.Literal;
    nulls += std::string(first ? "" : ", ") + "null";
    expected.push_back(column.Text);
  }
  ASSERT_EQ(Sql(*client_, handle_, create + ")")->Name(), "OK");
  ASSERT_EQ(Sql(*client_, handle_, insert + ")")->Name(), "OK");
  ASSERT_EQ(Sql(*client_, handle_, nulls + ")")->Name(), "OK");

  auto reply = Sql(*client_, handle_, "select * from typed order by c_int2 nulls last");
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  std::unique_ptr<TStreamDataHeaders> fields = reply->EnumHeaders("Fields");
  ASSERT_EQ(fields->Count(), static_cast<int>(std::size(columns)));
  for (int i = 0; i < fields->Count(); ++i) {
    const Column& column = columns[i];
    SCOPED_TRACE(column.Type);
    EXPECT_EQ(fields->Item(i)->Name(), column.Name);
    EXPECT_EQ(fields->Item(i)->DataType(), column.HeaderType);
  }
  const auto rows = DecodeRows(Inflate(*reply));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], expected);
  EXPECT_EQ(rows[1], std::vector<std::string>(std::size(columns), "NULL;"));
}

// A client that leaves while its statement runs gets the statement cancelled on the server
// (not run to its end for nobody); the session stays and answers its next request.
TEST_F(PgSessionTest, AStatementWhoseClientLeftIsCancelled) {
  auto other = client_->Call("Connect", ConnectHeaders(settings_.password));
  ASSERT_EQ(other->Name(), "OK") << other->SysErrorText();
  const std::uint32_t watcher = other->AsCardinal("Database", "Handle");
  const std::string backend = Scalar("select pg_backend_pid()");
  // Whether the session's backend is sleeping, polled for up to 20 s until it is `wanted`.
  auto sleeping_becomes = [&](bool wanted) {
    for (int i = 0; i < 200; ++i) {
      auto reply = Sql(*client_, watcher,
                       "select count(*) from pg_stat_activity where pid = " + backend +
                           " and state = 'active' and query like 'select pg_sleep%'");
      if (DecodeRows(Inflate(*reply)) ==
          std::vector<std::vector<std::string>>{{wanted ? "1" : "0"}})
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };

  auto leaver = NewClient();
  std::vector<Header> headers = SessionHeaders(handle_);
  headers.push_back({"Database", "SQL", "select pg_sleep(600)"});
  leaver->Send("ExecuteSQL", headers);
  ASSERT_TRUE(sleeping_becomes(true));
  leaver->Close();
  EXPECT_TRUE(sleeping_becomes(false));
  EXPECT_EQ(Scalar("select pg_backend_pid()"), backend);
}

// A result that passes MaxResultSize while its rows still come from the server, one by one,
// ends in an error reply; the rest of the rows are dropped and the session answers next.
TEST_F(PgSessionTest, AResultPastMaxResultSizeIsAnErrorAndTheSessionGoesOn) {
  SetMaxResultSize(100000);
  struct Restore {
    ~Restore() { SetMaxResultSize(kDefaultMaxResultSize); }
  } restore;
  auto reply =
      Sql(*client_, handle_,
          "select g, md5(g::text) || md5((g * 7)::text) from generate_series(1, 200000) g");
  EXPECT_EQ(reply->Name(), "Error");
  EXPECT_EQ(reply->SysErrorText(),
            "Result too large: the compressed result passed MaxResultSize (100000 bytes)");
  EXPECT_EQ(Scalar("select 42"), "42");
}

TEST_F(PgSessionTest, ReconnectOfALiveSessionDropsOnlyItsOpenedTransactions) {
  ASSERT_EQ(Sql(*client_, handle_, "create temp table r(id integer)")->Name(), "OK");
  const std::string backend = Scalar("select pg_backend_pid()");
  auto prepared = Call("PrepareSQL", {{"Database", "SQL", "select count(*) from r"}});
  ASSERT_EQ(prepared->Name(), "OK") << prepared->SysErrorText();
  const auto cmd = static_cast<std::int32_t>(prepared->AsCardinal("Database", "CmdHandle"));
  auto count = [&] {
    auto reply = Call("ExecPrepared", {{"Database", "CmdHandle", cmd}});
    EXPECT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    auto rows = DecodeRows(Inflate(*reply));
    return rows.size() == 1 ? rows[0][0] : "<no row>";
  };

  const std::int32_t tr = OpenTransaction();
  ASSERT_EQ(
      Sql(*client_, handle_, "insert into r values(1)", {{"Database", "TRHandle", tr}})->Name(),
      "OK");
  EXPECT_EQ(count(), "1");
  EXPECT_NE(StatusText().find("\"Transactions\":1"), std::string::npos) << StatusText();

  auto reply = Reconnect();
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(reply->AsCardinal("Database", "Handle"), handle_);
  // Same connection (its temp table and prepared command are still there), insert rolled back.
  EXPECT_EQ(Scalar("select pg_backend_pid()"), backend);
  EXPECT_EQ(count(), "0");
  EXPECT_EQ(CloseTransaction(tr, "commit")->SysErrorText(), "Transaction Handle Not Found");
  const std::string status = StatusText();
  EXPECT_EQ(status.find("\"Transactions\""), std::string::npos) << status;
  EXPECT_NE(status.find("\"Commands\":1"), std::string::npos) << status;
}

TEST_F(PgSessionTest, ReconnectBringsADisconnectedSessionBackUnderItsHandle) {
  const std::string backend = Scalar("select pg_backend_pid()");
  ASSERT_EQ(Call("Disconnect")->Name(), "OK");
  EXPECT_EQ(Sql(*client_, handle_, "select 1")->SysErrorText(), "#Handle Not Found");

  auto reply = Reconnect();
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(reply->AsCardinal("Database", "Handle"), handle_);
  EXPECT_NE(Scalar("select pg_backend_pid()"), backend);
  EXPECT_EQ(Scalar("select current_setting('application_name')"), "tester [127.0.0.1]");
  EXPECT_EQ(Scalar("select current_setting('globals.RemoteIP')"), "127.0.0.1");
}

// A session whose database connection the server ended fails its statements until the client
// calls "Reconnect", which makes it anew under the same handle.
TEST_F(PgSessionTest, ReconnectRenewsASessionWhoseConnectionWasLost) {
  const std::string backend = Scalar("select pg_backend_pid()");
  ASSERT_NO_FATAL_FAILURE(EndBackendFromAnotherSession(backend));

  auto lost = Sql(*client_, handle_, "select 1");
  EXPECT_EQ(lost->Name(), "Error");
  EXPECT_EQ(lost->SysErrorText().rfind("Postgre command: ", 0), 0u) << lost->SysErrorText();

  auto reply = Reconnect();
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(reply->AsCardinal("Database", "Handle"), handle_);
  const std::string renewed = Scalar("select pg_backend_pid()");
  EXPECT_NE(renewed, backend);
  EXPECT_NE(renewed, "<no single value>");
  EXPECT_EQ(Scalar("select current_setting('globals.RemoteIP')"), "127.0.0.1");
}

// The server ends the session's backend while no request is under way: the client library
// still remembers the connection as fine, so "Reconnect" has to ask the server to find out.
TEST_F(PgSessionTest, ReconnectFindsOutThatTheServerEndedTheSession) {
  const std::string backend = Scalar("select pg_backend_pid()");
  ASSERT_NO_FATAL_FAILURE(EndBackendFromAnotherSession(backend));

  auto reply = Reconnect();
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(reply->AsCardinal("Database", "Handle"), handle_);
  const std::string renewed = Scalar("select pg_backend_pid()");
  EXPECT_NE(renewed, backend);
  EXPECT_NE(renewed, "<no single value>");
  EXPECT_EQ(Scalar("select current_setting('application_name')"), "tester [127.0.0.1]");
}

TEST_F(PgSessionTest, StatementErrorsLeaveTheSessionUsable) {
  auto missing = Sql(*client_, handle_, "select * from qm_missing_table");
  EXPECT_EQ(missing->Name(), "Error");
  const std::string prefix =
      "Postgre command: ERROR:  relation \"qm_missing_table\" does not exist\n";
  EXPECT_EQ(missing->SysErrorText().substr(0, prefix.size()), prefix) << missing->SysErrorText();
  EXPECT_EQ(Scalar("select 1"), "1");

  // A statement that does not prepare registers nothing.
  auto bad = Call("PrepareSQL", {{"Database", "SQL", "selec 1"}});
  EXPECT_EQ(bad->Name(), "Error");
  EXPECT_EQ(bad->SysErrorText().rfind("Postgre command: ERROR:  syntax error", 0), 0u)
      << bad->SysErrorText();
  EXPECT_EQ(StatusText().find("\"Commands\""), std::string::npos) << StatusText();

  // A prepared statement that fails once runs again with other values.
  auto prepared = Call("PrepareSQL", {{"Database", "SQL", "select 10 / ?d::integer"}});
  ASSERT_EQ(prepared->Name(), "OK") << prepared->SysErrorText();
  const auto cmd = static_cast<std::int32_t>(prepared->AsCardinal("Database", "CmdHandle"));
  auto zero =
      Call("ExecPrepared", {{"Database", "CmdHandle", cmd}, {"Params", "d", std::int32_t{0}}});
  EXPECT_EQ(zero->SysErrorText().rfind("Postgre command: ERROR:  division by zero", 0), 0u)
      << zero->SysErrorText();
  auto two =
      Call("ExecPrepared", {{"Database", "CmdHandle", cmd}, {"Params", "d", std::int32_t{2}}});
  ASSERT_EQ(two->Name(), "OK") << two->SysErrorText();
  EXPECT_EQ(DecodeRows(Inflate(*two)), (std::vector<std::vector<std::string>>{{"5"}}));
}

// The server refuses every statement of a transaction after an error in it; closing the
// transaction (or "Reconnect") ends that. A commit cannot save it: the reply says so instead of
// answering "OK" for work that was rolled back.
TEST_F(PgSessionTest, AbortedTransactionFailsItsCommitAndRollsBack) {
  ASSERT_EQ(Sql(*client_, handle_, "create temp table a(id integer primary key)")->Name(), "OK");
  const std::int32_t tr = OpenTransaction();
  const std::vector<Header> in_tr = {{"Database", "TRHandle", tr}};
  ASSERT_EQ(Sql(*client_, handle_, "insert into a values(1)", in_tr)->Name(), "OK");
  auto duplicate = Sql(*client_, handle_, "insert into a values(1)", in_tr);
  EXPECT_EQ(duplicate->SysErrorText().rfind("Postgre command: ERROR:  duplicate key value", 0), 0u)
      << duplicate->SysErrorText();
  auto refused = Sql(*client_, handle_, "select 1", in_tr);
  EXPECT_EQ(refused->Name(), "Error");
  EXPECT_NE(refused->SysErrorText().find("current transaction is aborted"), std::string::npos)
      << refused->SysErrorText();

  auto commit = CloseTransaction(tr, "commit");
  EXPECT_EQ(commit->Name(), "Error");
  EXPECT_EQ(commit->SysErrorText().rfind("Postgre command: ", 0), 0u) << commit->SysErrorText();
  // The failed commit leaves the handle registered; the rollback ends it.
  auto rollback = CloseTransaction(tr, "rollback");
  ASSERT_EQ(rollback->Name(), "OK") << rollback->SysErrorText();
  EXPECT_EQ(Scalar("select count(*) from a"), "0");

  // The next transaction is a real one again: rolled back work is gone, committed work stays.
  const std::int32_t undone = OpenTransaction();
  ASSERT_EQ(
      Sql(*client_, handle_, "insert into a values(2)", {{"Database", "TRHandle", undone}})->Name(),
      "OK");
  ASSERT_EQ(CloseTransaction(undone, "rollback")->Name(), "OK");
  const std::int32_t kept = OpenTransaction();
  ASSERT_EQ(
      Sql(*client_, handle_, "insert into a values(3)", {{"Database", "TRHandle", kept}})->Name(),
      "OK");
  ASSERT_EQ(CloseTransaction(kept, "COMMIT")->Name(), "OK");
  EXPECT_EQ(Scalar("select string_agg(id::text, ',') from a"), "3");

  // "Reconnect" also clears an aborted transaction.
  const std::int32_t again = OpenTransaction();
  EXPECT_EQ(
      Sql(*client_, handle_, "insert into a values(3)", {{"Database", "TRHandle", again}})->Name(),
      "Error");
  ASSERT_EQ(Reconnect()->Name(), "OK");
  EXPECT_EQ(Scalar("select count(*) from a"), "1");
}

}  // namespace
}  // namespace qm::testing
