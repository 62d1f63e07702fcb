// SQLite sessions through the server: what a client learns about a result's columns.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "session/session_fixture.h"

namespace qm::testing {
namespace {

using TFieldList = std::vector<std::pair<std::string, TDataHeaderType>>;

// The reply's "Fields" headers: names and data types, in order.
TFieldList FieldsOf(const TStreamData& reply) {
  TFieldList fields;
  auto headers = reply.EnumHeaders("Fields");
  for (int i = 0; i < headers->Count(); ++i)
    fields.emplace_back(headers->Item(i)->Name(), headers->Item(i)->DataType());
  return fields;
}

class SQLiteSessionTest : public SessionServerTest {
 protected:
  void SetUp() override {
    SessionServerTest::SetUp();
    StartServer();
    client_ = NewClient();
    handle_ = ConnectSQLite(*client_, DbFile("main.db"));
    ASSERT_EQ(Sql(*client_, handle_, "create table t(id INTEGER, name TEXT)")->Name(), "OK");
    ASSERT_EQ(Sql(*client_, handle_, "insert into t values(1, 'a')")->Name(), "OK");
  }

  std::unique_ptr<Client> client_;
  std::uint32_t handle_ = 0;
};

TEST_F(SQLiteSessionTest, EmptyResultListsTheFieldsOfAOneRowResult) {
  auto one = Sql(*client_, handle_, "select id, name from t where id = 1");
  ASSERT_EQ(one->Name(), "OK") << one->SysErrorText();
  auto none = Sql(*client_, handle_, "select id, name from t where id = 9");
  ASSERT_EQ(none->Name(), "OK") << none->SysErrorText();

  const TFieldList expected = {{"id", dhtInteger}, {"name", dhtString}};
  EXPECT_EQ(FieldsOf(*one), expected);
  EXPECT_EQ(FieldsOf(*none), expected);
  // Still no rows to send.
  EXPECT_TRUE(none->Buffer().Empty());
  EXPECT_EQ(none->FindHeader("System", "BufferCompressed"), nullptr);
}

TEST_F(SQLiteSessionTest, PreparedCommandListsTheFieldsOfEachRun) {
  // "seven" has no declared type: a row makes it an integer, no row a string.
  auto prepared = client_->Call("PrepareSQL", [&] {
    std::vector<Header> headers = SessionHeaders(handle_);
    headers.push_back({"Database", "SQL", "select id, 7 as seven from t where id = ?id"});
    return headers;
  }());
  ASSERT_EQ(prepared->Name(), "OK") << prepared->SysErrorText();
  const auto cmd = static_cast<std::int64_t>(prepared->AsCardinal("Database", "CmdHandle"));

  const std::vector<std::pair<std::int32_t, TFieldList>> runs = {
      {9, {{"id", dhtInteger}, {"seven", dhtString}}},
      {1, {{"id", dhtInteger}, {"seven", dhtInteger}}},
      {9, {{"id", dhtInteger}, {"seven", dhtString}}},
  };
  for (const auto& [id, expected] : runs) {
    std::vector<Header> headers = SessionHeaders(handle_);
    headers.push_back({"Database", "CmdHandle", cmd});
    headers.push_back({"Params", "id", id});
    auto reply = client_->Call("ExecPrepared", headers);
    ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    EXPECT_EQ(FieldsOf(*reply), expected) << id;
    EXPECT_EQ(reply->Buffer().Empty(), id == 9) << id;
  }
}

}  // namespace
}  // namespace qm::testing
