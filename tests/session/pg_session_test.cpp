#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

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
    for (const char* name : {"QM_TEST_PG_HOST", "QM_TEST_PG_PORT", "QM_TEST_PG_USER",
                             "QM_TEST_PG_PASSWORD", "QM_TEST_PG_DATABASE"}) {
      const char* value = std::getenv(name);
      if (value == nullptr || *value == '\0')
        GTEST_FAIL() << "no PostgreSQL test server (" << name
                     << " is not set; scripts/test.sh starts one)";
    }
    StartServer("Port=0\r\nPGHost=" + std::string(std::getenv("QM_TEST_PG_HOST")) + "\r\n");
    client_ = NewClient();
    auto reply =
        client_->Call("Connect", {{"Database", "Driver", "PostgreSQL"},
                                  {"Database", "Resource", std::getenv("QM_TEST_PG_DATABASE")},
                                  {"Database", "Port", std::getenv("QM_TEST_PG_PORT")},
                                  {"Database", "UserName", std::getenv("QM_TEST_PG_USER")},
                                  {"Database", "Password", std::getenv("QM_TEST_PG_PASSWORD")},
                                  {"Database", "AppName", "tester"}});
    ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
    handle_ = reply->AsCardinal("Database", "Handle");
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

}  // namespace
}  // namespace qm::testing
