// Firebird sessions through the server: connecting, the result block and its "Fields", scripts,
// opened transactions, errors that leave the session usable, and "Reconnect" after the server
// ended the session's attachment.

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
  static void SetUpTestSuite() {
    std::string missing;
    if (fbtest::ReadServerSettings(settings_, missing))
      database_ = std::make_unique<fbtest::TestDatabase>(settings_, "session");
  }
  static void TearDownTestSuite() { database_.reset(); }

  void SetUp() override {
    SessionServerTest::SetUp();
    std::string missing;
    if (!fbtest::ReadServerSettings(settings_, missing))
      GTEST_FAIL() << fbtest::MissingServerMessage(missing);
    ASSERT_NE(database_, nullptr);
    StartServer("Port=0\r\nFBHost=" + settings_.host + "\r\n");
    client_ = NewClient();
    auto reply = client_->Call("Connect", ConnectHeaders(settings_.password));
    ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    handle_ = reply->AsCardinal("Database", "Handle");
  }

  static std::vector<Header> ConnectHeaders(const std::string& password) {
    return {{"Database", "Driver", "Firebird"},
            {"Database", "Resource", database_->Path()},
            {"Database", "Port", settings_.port},
            {"Database", "UserName", settings_.user},
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

  static inline fbtest::ServerSettings settings_;
  static inline std::unique_ptr<fbtest::TestDatabase> database_;
  std::unique_ptr<Client> client_;
  std::uint32_t handle_ = 0;
};

using TFieldList = std::vector<std::pair<std::string, TDataHeaderType>>;

TFieldList FieldsOf(const TStreamData& reply) {
  TFieldList fields;
  auto headers = reply.EnumHeaders("Fields");
  for (int i = 0; i < headers->Count(); ++i)
    fields.emplace_back(headers->Item(i)->Name(), headers->Item(i)->DataType());
  return fields;
}

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
      {"42", "12.5", "0.25", "it's", "True", "2024-02-29", "2024-02-29 01:02:03", "text blob",
       "ABCD"},
      {"7", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;"}};
  EXPECT_EQ(DecodeRows(Inflate(*reply)), rows);

  // An empty result still lists its columns.
  auto none = Run("select i, v from st where i < 0");
  ASSERT_EQ(none->Name(), "OK");
  EXPECT_EQ(FieldsOf(*none), (TFieldList{{"I", dhtInteger}, {"V", dhtString}}));
  EXPECT_TRUE(none->Buffer().Empty());
}

TEST_F(FirebirdSessionTest, ScriptsTransactionsAndTheAPICommand) {
  ASSERT_EQ(Run("create table tr (v integer)")->Name(), "OK");
  auto script = Call("ExecScript", {{"Database", "ScriptName", "fill"}},
                     CompressScript("insert into tr values (1)^insert into tr values (2)^"));
  ASSERT_EQ(script->Name(), "OK") << script->SysErrorText();
  EXPECT_EQ(Rows("select count(*) from tr"), (std::vector<std::vector<std::string>>{{"2"}}));

  auto open = [&] {
    auto reply = Call("OpenTransaction");
    EXPECT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    return reply->AsInteger("Database", "TRHandle");
  };
  const std::int32_t first = open();
  const std::int32_t second = open();
  ASSERT_EQ(Run("insert into tr values (10)", {{"Database", "TRHandle", first}})->Name(), "OK");
  EXPECT_EQ(Rows("select count(*) from tr", {{"Database", "TRHandle", second}}),
            (std::vector<std::vector<std::string>>{{"2"}}));
  EXPECT_EQ(Rows("select count(*) from tr", {{"Database", "TRHandle", first}}),
            (std::vector<std::vector<std::string>>{{"3"}}));
  ASSERT_EQ(Call("CloseTransaction",
                 {{"Database", "TRHandle", first}, {"Database", "TRAction", "Commit"}})
                ->Name(),
            "OK");
  ASSERT_EQ(Call("CloseTransaction",
                 {{"Database", "TRHandle", second}, {"Database", "TRAction", "Rollback"}})
                ->Name(),
            "OK");
  EXPECT_EQ(Rows("select count(*) from tr"), (std::vector<std::vector<std::string>>{{"3"}}));

  auto api = Call("ExecuteAPI", {{"API", "Name", "loNotifications"}});
  EXPECT_EQ(api->Name(), "OK") << api->SysErrorText();
}

TEST_F(FirebirdSessionTest, ErrorsCarryTheCodeLineAndLeaveTheSessionUsable) {
  auto bad = Run("selec 1 from rdb$database");
  EXPECT_EQ(bad->Name(), "Error");
  EXPECT_NE(bad->SysErrorText().find("sqlcode: -104, fberrorcode: 335544569"), std::string::npos)
      << bad->SysErrorText();
  EXPECT_EQ(Rows("select 'ok' from rdb$database"), (std::vector<std::vector<std::string>>{{"ok"}}));

  auto refused = client_->Call("Connect", ConnectHeaders("not-the-password"));
  EXPECT_EQ(refused->Name(), "Error");
  EXPECT_NE(refused->SysErrorText().find("sqlcode: "), std::string::npos)
      << refused->SysErrorText();
}

TEST_F(FirebirdSessionTest, LostConnectionIsReportedAndReconnectBringsTheSessionBack) {
  const auto id = Rows("select current_connection from rdb$database");
  ASSERT_EQ(id.size(), 1u);
  auto killer = fbtest::NewConnection(settings_, database_->Path());
  killer->Connect();
  killer->CreateTransaction()->Execute("delete from mon$attachments where mon$attachment_id = " +
                                       id[0][0]);

  auto lost = Run("select 1 from rdb$database");
  EXPECT_EQ(lost->Name(), "Error");
  EXPECT_NE(lost->SysErrorText().find("connection shutdown"), std::string::npos)
      << lost->SysErrorText();

  std::vector<Header> headers = ConnectHeaders(settings_.password);
  auto again = Call("Reconnect", headers);
  ASSERT_EQ(again->Name(), "OK") << again->SysErrorText();
  EXPECT_EQ(again->AsCardinal("Database", "Handle"), handle_);
  EXPECT_EQ(Rows("select 3 from rdb$database"), (std::vector<std::vector<std::string>>{{"3"}}));
}

}  // namespace
}  // namespace qm::testing
