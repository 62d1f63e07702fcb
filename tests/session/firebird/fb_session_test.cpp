// Firebird sessions through the server: connecting, values of every type in the result block
// and its "Fields" (dates, times and bytes in their own text forms), transaction statements on
// the default transaction, long script statements, transaction parameters, the engine's error
// texts, and "Reconnect" after the server ended the session's attachment.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/firebird_server.h"
#include "session/session_fixture.h"

namespace qm::testing {
namespace {

class FirebirdSessionTest : public SessionServerTest {
 protected:
  static void SetUpTestSuite() { server_.Open("session"); }
  static void TearDownTestSuite() { server_.Close(); }

  void SetUp() override {
    SessionServerTest::SetUp();
    if (!server_.Problem().empty())
      GTEST_FAIL() << server_.Problem();
    StartServer("Port=0\r\nFBHost=" + server_.Settings().host + "\r\n");
    client_ = NewClient();
    auto reply = client_->Call("Connect", ConnectHeaders(server_.Settings().password));
    ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    handle_ = reply->AsCardinal("Database", "Handle");
  }

  static std::vector<Header> ConnectHeaders(const std::string& password) {
    return {{"Database", "Driver", "Firebird"},
            {"Database", "Resource", server_.Path()},
            {"Database", "Port", server_.Settings().port},
            {"Database", "UserName", server_.Settings().user},
            {"Database", "Password", password}};
  }

  std::unique_ptr<TStreamData> Call(const std::string& name, std::vector<Header> extra = {},
                                    const std::string& buffer = std::string()) {
    std::vector<Header> headers = SessionHeaders(handle_);
    for (Header& header : extra)
      headers.push_back(std::move(header));
    return client_->Call(name, headers, buffer);
  }
  std::unique_ptr<TStreamData> Run(const std::string& sql, std::vector<Header> extra = {}) {
    return Sql(*client_, handle_, sql, std::move(extra));
  }
  std::vector<std::vector<std::string>> Rows(const std::string& sql,
                                             std::vector<Header> extra = {}) {
    auto reply = Run(sql, std::move(extra));
    EXPECT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    return DecodeRows(Inflate(*reply));
  }

  static inline fbtest::SuiteDatabase server_;
  std::unique_ptr<Client> client_;
  std::uint32_t handle_ = 0;
};

TEST_F(FirebirdSessionTest, ValuesOfEveryTypeTravelInTheBlockWithTheirFieldTypes) {
  ASSERT_EQ(Run("create table st (i integer, n numeric(9,2), d double precision, v varchar(9), "
                "b boolean, dt date, ts timestamp, t blob sub_type text, o char(2) character "
                "set octets)")
                ->Name(),
            "OK");
  auto inserted = Run(
      "insert into st values (?i, ?n, ?d, ?v, ?b, ?dt, ?ts, ?t, ?o)",
      {{"Params", "i", std::int32_t{42}},
       {"Params", "n", "12.5"},
       {"Params", "d", 0.25},
       {"Params", "v", "it's"},
       {"Params", "b", true},
       {"Params", "dt", Variant::FromDateTime(EncodeDate(2024, 2, 29))},
       {"Params", "ts", Variant::FromDateTime(EncodeDate(2024, 2, 29) + EncodeTime(1, 2, 3, 0))},
       {"Params", "t", "text blob"},
       {"Params", "o", TBytes{0xAB, 0xCD}}});
  ASSERT_EQ(inserted->Name(), "OK") << inserted->SysErrorText();
  ASSERT_EQ(Run("insert into st (i) values (7)")->Name(), "OK");

  auto reply = Run("select * from st order by i desc");
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  // Unquoted names come back as the server stores them: in upper case.
  const TFieldList expected = {{"I", dhtInteger},   {"N", dhtCurrency}, {"D", dhtDouble},
                               {"V", dhtString},    {"B", dhtBoolean},  {"DT", dhtDateTime},
                               {"TS", dhtDateTime}, {"T", dhtString},   {"O", dhtString}};
  EXPECT_EQ(FieldsOf(*reply), expected);
  const std::vector<std::vector<std::string>> rows = {
      // OCTETS read as hexadecimal text.
      {"42", "12.5", "0.25", "it's", "True", "2024-02-29", "2024-02-29 01:02:03", "text blob",
       "ABCD"},
      {"7", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;"}};
  EXPECT_EQ(DecodeRows(Inflate(*reply)), rows);
}

TEST_F(FirebirdSessionTest, DatesAndTimesReadInTheirOwnFormsWithTruncatedFractions) {
  struct Case {
    const char* expression;
    const char* text;
  } cases[] = {
      {"timestamp '2024-02-29 00:00:00'", "2024-02-29 00:00:00"},
      {"timestamp '2024-02-29 13:45:30.25'", "2024-02-29 13:45:30.250"},
      // A fraction is cut to the millisecond, never rounded into the next day.
      {"timestamp '2024-02-29 23:59:59.9999'", "2024-02-29 23:59:59.999"},
      {"timestamp '1850-06-01 06:30:00'", "1850-06-01 06:30:00"},
      {"time '00:00:00'", "00:00:00"},
      {"time '12:00:01.5'", "12:00:01.500"},
      {"time '23:59:59.9999'", "23:59:59.999"},
      {"date '2024-02-29'", "2024-02-29"},
      {"date '1899-12-30'", "1899-12-30"},
  };
  std::string sql = "select ";
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    if (expected.size() > 0)
      sql += ", ";
    sql += c.expression;
    expected.push_back(c.text);
  }
  sql += " from rdb$database";
  const auto rows = Rows(sql);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], expected);
}

TEST_F(FirebirdSessionTest, BytesReadAsHexadecimalAndBinaryBlobsAsText) {
  ASSERT_EQ(Run("create table bytes_read (i integer, o varchar(4) character set octets, "
                "b blob sub_type 0)")
                ->Name(),
            "OK");
  const TBytes utf8 = {'h', 0xC3, 0xA9, '!'};
  const TBytes not_utf8 = {0xFF, 'a'};
  for (const auto& [i, bytes] : {std::pair{1, utf8}, std::pair{2, not_utf8}}) {
    auto inserted = Run("insert into bytes_read values (?i, ?o, ?b)",
                        {{"Params", "i", std::int32_t{i}},
                         {"Params", "o", TBytes{0x00, 0x1F, 0xAB}},
                         {"Params", "b", bytes}});
    ASSERT_EQ(inserted->Name(), "OK") << inserted->SysErrorText();
  }
  // A byte that is not UTF-8 becomes U+FFFD.
  EXPECT_EQ(Rows("select o, b from bytes_read order by i"),
            (std::vector<std::vector<std::string>>{{"001FAB", "h\xC3\xA9!"},
                                                   {"001FAB",
                                                    "\xEF\xBF\xBD"
                                                    "a"}}));
}

TEST_F(FirebirdSessionTest, TransactionStatementsDriveTheDefaultTransaction) {
  ASSERT_EQ(Run("create table tx_default (i integer)")->Name(), "OK");
  auto count = [this] { return Rows("select count(*), coalesce(sum(i), 0) from tx_default"); };
  using RowsOf = std::vector<std::vector<std::string>>;

  // Started by the statement, the transaction holds what follows until its ROLLBACK.
  auto started = Run("SET TRANSACTION");
  ASSERT_EQ(started->Name(), "OK") << started->SysErrorText();
  ASSERT_EQ(Run("insert into tx_default values (1)")->Name(), "OK");
  EXPECT_EQ(count(), (RowsOf{{"1", "1"}}));
  ASSERT_EQ(Run("ROLLBACK")->Name(), "OK");
  EXPECT_EQ(count(), (RowsOf{{"0", "0"}}));

  // ... or its COMMIT.
  ASSERT_EQ(Run("set transaction read write wait")->Name(), "OK");
  ASSERT_EQ(Run("insert into tx_default values (2)")->Name(), "OK");
  ASSERT_EQ(Run("COMMIT")->Name(), "OK");
  ASSERT_EQ(Run("ROLLBACK")->Name(), "OK");  // nothing left to undo
  EXPECT_EQ(count(), (RowsOf{{"1", "2"}}));

  // Outside a started transaction each statement is still committed on its own.
  ASSERT_EQ(Run("insert into tx_default values (3)")->Name(), "OK");
  ASSERT_EQ(Run("ROLLBACK")->Name(), "OK");
  EXPECT_EQ(count(), (RowsOf{{"2", "5"}}));

  // The same in a script.
  auto script = Call("ExecScript", {},
                     CompressScript("SET TRANSACTION^insert into tx_default values (4)^"
                                    "ROLLBACK^set transaction^insert into tx_default values (5)^"
                                    "commit^"));
  ASSERT_EQ(script->Name(), "OK") << script->SysErrorText();
  EXPECT_EQ(count(), (RowsOf{{"3", "10"}}));
}

TEST_F(FirebirdSessionTest, LongStatementsRunWholeOrNotAtAll) {
  ASSERT_EQ(Run("create table long_text (i integer, s varchar(10))")->Name(), "OK");
  ASSERT_EQ(Run("insert into long_text values (1, 'a')")->Name(), "OK");
  ASSERT_EQ(Run("insert into long_text values (2, 'a')")->Name(), "OK");
  // Cut to 64 KiB (or to its length modulo 64 KiB) the update would lose its condition.
  for (std::size_t blanks : {70000u, 131072u + 1000u}) {
    SCOPED_TRACE(blanks);
    const std::string update =
        "update long_text set s = 'b'" + std::string(blanks, ' ') + "where i = 2";
    auto script = Call("ExecScript", {}, CompressScript(update + "^"));
    ASSERT_EQ(script->Name(), "OK") << script->SysErrorText();
    EXPECT_EQ(Rows("select i, s from long_text order by i"),
              (std::vector<std::vector<std::string>>{{"1", "a"}, {"2", "b"}}));
    ASSERT_EQ(Run("update long_text set s = 'a'")->Name(), "OK");
  }
  // A text that would end early at a zero character is refused, in a request and in a script.
  const std::string cut = std::string("update long_text set s = 'c'") + '\0' + " where i = 2";
  auto script = Call("ExecScript", {}, CompressScript(cut + "^"));
  EXPECT_EQ(script->Name(), "Error");
  EXPECT_NE(script->SysErrorText().find("zero byte"), std::string::npos) << script->SysErrorText();
  EXPECT_EQ(Run(cut)->Name(), "Error");
  EXPECT_EQ(Rows("select count(*) from long_text where s = 'c'"),
            (std::vector<std::vector<std::string>>{{"0"}}));
}

TEST_F(FirebirdSessionTest, UnknownTransactionParametersAreNamedByTheirNamePart) {
  struct Case {
    const char* params;
    const char* message;
  } cases[] = {
      {"read_committed\r\nfoo=bar", "TPB Constant (foo) is unknown"},
      {"nowait\r\nbogus", "TPB Constant () is unknown"},
  };
  for (const Case& c : cases) {
    auto opened = Call("OpenTransaction", {{"Database", "Params", c.params}});
    EXPECT_EQ(opened->Name(), "Error") << c.params;
    EXPECT_EQ(opened->SysErrorText(), c.message);
  }
}

TEST_F(FirebirdSessionTest, TheAPICommandAnswersOK) {
  auto api = Call("ExecuteAPI", {{"API", "Name", "loNotifications"}});
  EXPECT_EQ(api->Name(), "OK") << api->SysErrorText();
}

TEST_F(FirebirdSessionTest, ErrorsCarryTheCodeLine) {
  auto bad = Run("selec 1 from rdb$database");
  EXPECT_EQ(bad->Name(), "Error");
  EXPECT_NE(bad->SysErrorText().find("sqlcode: -104, fberrorcode: 335544569"), std::string::npos)
      << bad->SysErrorText();

  auto refused = client_->Call("Connect", ConnectHeaders("not-the-password"));
  EXPECT_EQ(refused->Name(), "Error");
  EXPECT_NE(refused->SysErrorText().find("sqlcode: "), std::string::npos)
      << refused->SysErrorText();
}

TEST_F(FirebirdSessionTest, LostConnectionIsReportedAndReconnectBringsTheSessionBack) {
  const auto id = Rows("select current_connection from rdb$database");
  ASSERT_EQ(id.size(), 1u);
  auto killer = server_.NewConnection();
  killer->Connect();
  killer->CreateTransaction()->Execute("delete from mon$attachments where mon$attachment_id = " +
                                       id[0][0]);

  auto lost = Run("select 1 from rdb$database");
  EXPECT_EQ(lost->Name(), "Error");
  EXPECT_NE(lost->SysErrorText().find("connection shutdown"), std::string::npos)
      << lost->SysErrorText();

  std::vector<Header> headers = ConnectHeaders(server_.Settings().password);
  auto again = Call("Reconnect", headers);
  ASSERT_EQ(again->Name(), "OK") << again->SysErrorText();
  EXPECT_EQ(again->AsCardinal("Database", "Handle"), handle_);
  EXPECT_EQ(Rows("select 3 from rdb$database"), (std::vector<std::vector<std::string>>{{"3"}}));
}

}  // namespace
}  // namespace qm::testing
