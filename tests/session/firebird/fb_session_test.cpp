// Firebird sessions through the server: connecting, values of every type in the result block
// and its "Fields", the engine's error texts, and "Reconnect" after the server ended the
// session's attachment.

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
      // Bytes travel as their ISO-8859-1 text in UTF-8, as on every engine.
      {"42", "12.5", "0.25", "it's", "True", "2024-02-29", "2024-02-29 01:02:03", "text blob",
       "\xC2\xAB\xC3\x8D"},
      {"7", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;", "NULL;"}};
  EXPECT_EQ(DecodeRows(Inflate(*reply)), rows);
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
