// The behaviours every engine shares at the session level, through the server's requests:
// written once and run over SQLite, PostgreSQL and Firebird sessions.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "conformance/engine_contexts.h"
#include "session/session_fixture.h"

namespace qm::conformance {
namespace {

using qm::testing::Client;
using qm::testing::Header;
using qm::testing::TFieldList;
using Rows = std::vector<std::vector<std::string>>;

class SessionConformance : public qm::testing::SessionServerTest,
                           public ::testing::WithParamInterface<EngineContext> {
 protected:
  void SetUp() override {
    SessionServerTest::SetUp();
    const EngineContext& engine = GetParam();
    SessionSetup setup;
    try {
      setup = engine.session(home_->Folder());
    } catch (const std::exception& e) {
      GTEST_FAIL() << engine.name << " cannot be reached: " << e.what();
    }
    StartServer("Port=0\r\n" + setup.config);
    client_ = NewClient();
    std::vector<Header> connect;
    for (const auto& [name, value] : setup.connect)
      connect.push_back({"Database", name, value});
    auto reply = client_->Call("Connect", connect);
    ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    handle_ = reply->AsCardinal("Database", "Handle");
    table_ = UniqueTableName();
    ASSERT_EQ(Run("create table " + table_ + " (id integer, name varchar(20))")->Name(), "OK");
  }
  void TearDown() override {
    if (client_ != nullptr && handle_ != 0)
      Run("drop table " + table_);
    client_.reset();
    SessionServerTest::TearDown();
  }

  std::unique_ptr<TStreamData> Call(const std::string& name, std::vector<Header> extra = {},
                                    const std::string& buffer = std::string()) {
    std::vector<Header> headers = SessionHeaders(handle_);
    headers.insert(headers.end(), extra.begin(), extra.end());
    return client_->Call(name, headers, buffer);
  }
  std::unique_ptr<TStreamData> Run(const std::string& sql, std::vector<Header> extra = {}) {
    return Sql(*client_, handle_, sql, std::move(extra));
  }
  Rows Select(const std::string& sql, std::vector<Header> extra = {}) {
    auto reply = Run(sql, std::move(extra));
    EXPECT_EQ(reply->Name(), "OK") << sql << ": " << reply->SysErrorText();
    return qm::testing::DecodeRows(qm::testing::Inflate(*reply));
  }
  Rows Count(std::vector<Header> extra = {}) {
    return Select("select count(*) from " + table_, std::move(extra));
  }
  std::string Column(const std::string& name) const { return GetParam().column_name(name); }

  std::unique_ptr<Client> client_;
  std::uint32_t handle_ = 0;
  std::string table_;
};

TEST_P(SessionConformance, EmptyResultStillListsItsFields) {
  ASSERT_EQ(Run("insert into " + table_ + " values (1, 'a')")->Name(), "OK");
  auto one = Run("select id, name from " + table_ + " where id = 1");
  ASSERT_EQ(one->Name(), "OK") << one->SysErrorText();
  auto none = Run("select id, name from " + table_ + " where id = 9");
  ASSERT_EQ(none->Name(), "OK") << none->SysErrorText();

  const TFieldList expected = {{Column("id"), dhtInteger}, {Column("name"), dhtString}};
  EXPECT_EQ(qm::testing::FieldsOf(*one), expected);
  EXPECT_EQ(qm::testing::FieldsOf(*none), expected);
  EXPECT_FALSE(one->Buffer().Empty());
  // Still no rows to send.
  EXPECT_TRUE(none->Buffer().Empty());
  EXPECT_EQ(none->FindHeader("System", "BufferCompressed"), nullptr);
}

TEST_P(SessionConformance, ScriptsAndOpenedTransactions) {
  auto script = Call("ExecScript", {{"Database", "ScriptName", "fill"}},
                     qm::testing::CompressScript("insert into " + table_ + " (id) values (1)^" +
                                                 "insert into " + table_ + " (id) values (2)^"));
  ASSERT_EQ(script->Name(), "OK") << script->SysErrorText();
  EXPECT_EQ(Count(), (Rows{{"2"}}));

  auto open = [&] {
    auto reply = Call("OpenTransaction");
    EXPECT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    return reply->AsInteger("Database", "TRHandle");
  };
  auto close = [&](std::int32_t transaction, const std::string& action) {
    auto reply = Call("CloseTransaction",
                      {{"Database", "TRHandle", transaction}, {"Database", "TRAction", action}});
    EXPECT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  };
  const std::int32_t first = open();
  ASSERT_EQ(
      Run("insert into " + table_ + " (id) values (10)", {{"Database", "TRHandle", first}})->Name(),
      "OK");
  EXPECT_EQ(Count({{"Database", "TRHandle", first}}), (Rows{{"3"}}));
  if (GetParam().separate_transactions) {
    const std::int32_t second = open();
    EXPECT_EQ(Count({{"Database", "TRHandle", second}}), (Rows{{"2"}}));
    close(second, "Rollback");
  }
  close(first, "Rollback");
  EXPECT_EQ(Count(), (Rows{{"2"}}));

  const std::int32_t again = open();
  ASSERT_EQ(
      Run("insert into " + table_ + " (id) values (11)", {{"Database", "TRHandle", again}})->Name(),
      "OK");
  close(again, "Commit");
  EXPECT_EQ(Count(), (Rows{{"3"}}));
}

TEST_P(SessionConformance, ErrorsLeaveTheSessionUsable) {
  const std::string from = GetParam().from_nothing;
  for (const std::string& sql : {"selec 1" + from, "select nothing_here from " + table_}) {
    auto bad = Run(sql);
    EXPECT_EQ(bad->Name(), "Error") << sql;
    EXPECT_FALSE(bad->SysErrorText().empty()) << sql;
  }
  EXPECT_EQ(Select("select 'ok'" + from), (Rows{{"ok"}}));
}

// Values are not escaped in the result block: a text equal to the null marker or holding one of
// the two separator characters would come back as another row. Such a result is refused with an
// error naming the column and row, and the session goes on; near misses travel as they are.
TEST_P(SessionConformance, ValuesTheBlockCannotCarryAreRefused) {
  struct Case {
    std::string value;
    bool carried;
  };
  const std::vector<Case> cases = {
      {"NULL;", false},
      {"a\xEE\x80\x81"
       "b",
       false},
      {"\xEE\x80\x82", false},
      {"NULL", true},
      {"NULL;x", true},
      {"\xEE\x80\x80 \xC3\xA9", true},
  };
  ASSERT_EQ(Run("insert into " + table_ + " values (1, 'first')")->Name(), "OK");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ASSERT_EQ(Run("delete from " + table_ + " where id = 2")->Name(), "OK");
    ASSERT_EQ(Run("insert into " + table_ + " values (2, '" + c.value + "')")->Name(), "OK");
    auto reply = Run("select id, name from " + table_ + " order by id");
    if (c.carried) {
      ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
      EXPECT_EQ(qm::testing::DecodeRows(qm::testing::Inflate(*reply)),
                (Rows{{"1", "first"}, {"2", c.value}}));
    } else {
      EXPECT_EQ(reply->Name(), "Error");
      EXPECT_EQ(reply->SysErrorText(), "value cannot be carried in a result block: column \"" +
                                           Column("name") + "\", row 2");
      EXPECT_TRUE(reply->Buffer().Empty());
    }
    EXPECT_EQ(Select("select id from " + table_ + " where id = 1"), (Rows{{"1"}}));
  }
}

// One request runs one statement: a second one after it is an error, and nothing of the text
// runs (the first statement is not run and the rest silently dropped).
TEST_P(SessionConformance, TextAfterTheFirstStatementIsRefused) {
  auto reply =
      Run("insert into " + table_ + " values (1, 'a'); insert into " + table_ + " values (2, 'b')");
  EXPECT_EQ(reply->Name(), "Error");
  EXPECT_FALSE(reply->SysErrorText().empty());
  auto prepared = Call(
      "PrepareSQL", {{"Database", "SQL", "select id from " + table_ + "; delete from " + table_}});
  EXPECT_EQ(prepared->Name(), "Error");
  EXPECT_EQ(Count(), (Rows{{"0"}}));
}

INSTANTIATE_TEST_SUITE_P(SQLite, SessionConformance, ::testing::Values(SQLiteContext()));
INSTANTIATE_TEST_SUITE_P(PostgreSQL, SessionConformance, ::testing::Values(PostgreSQLContext()));
INSTANTIATE_TEST_SUITE_P(Firebird, SessionConformance, ::testing::Values(FirebirdContext()));

}  // namespace
}  // namespace qm::conformance
