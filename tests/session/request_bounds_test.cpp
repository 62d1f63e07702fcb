// What one client can make a session cost: many parameters, and a reply that is never read.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "protocol/stream_data_writer.h"
#include "session/session_fixture.h"

namespace qm::testing {
namespace {

class RequestBoundsTest : public SessionServerTest {
 protected:
  void SetUp() override {
    SessionServerTest::SetUp();
    // A short send time-out, so that a client that never reads is cut off quickly.
    StartServer("Port=0\r\n", [](TqmDBServer& server) { server.SetSendTimeout(500); });
    client_ = NewClient();
    handle_ = ConnectSQLite(*client_, DbFile("main.db"));
  }

  std::unique_ptr<Client> client_;
  std::uint32_t handle_ = 0;
};

TEST_F(RequestBoundsTest, ManyUnusedParametersEachGetOneNoticeInOrder) {
  // Every parameter the statement does not use gets a ("Notices", name) header; finding each
  // must not scan all the earlier ones (50,000 of them took about 15 s of CPU that way).
  const int count = 50000;
  std::vector<Header> params;
  params.reserve(count + 1);
  for (int i = 0; i < count; ++i)
    params.push_back({"Params", "p" + std::to_string(i), static_cast<std::int32_t>(i)});
  params.push_back({"Params", "P0", 1});  // the same name again: the first one counts
  auto reply = Sql(*client_, handle_, "select 1", params);
  ASSERT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  auto notices = reply->EnumHeaders("Notices");
  ASSERT_EQ(notices->Count(), count);
  for (int i : {0, 1, count / 2, count - 1}) {
    EXPECT_EQ(notices->Item(i)->Name(), "p" + std::to_string(i));
    EXPECT_EQ(notices->Item(i)->AsString(), "Not Found");
  }
}

TEST_F(RequestBoundsTest, ClientThatNeverReadsIsCutOffAndItsSessionStays) {
  ASSERT_EQ(Sql(*client_, handle_, "create table big(v TEXT)")->Name(), "OK");
  // Random text compresses poorly: a reply of several times what the socket buffers hold.
  ASSERT_EQ(Sql(*client_, handle_,
                "insert into big with recursive c(x) as (select 1 union all select x + 1 from c "
                "limit 60000) select hex(randomblob(200)) from c")
                ->Name(),
            "OK");
  const int before = server_->Count();

  TpdcClientSocketStream stalled("127.0.0.1", port_);
  stalled.Connect();
  {
    TStreamDataWriter request(stalled);
    request.SetName("ExecuteSQL");
    request.RegisterHeader("Database", "ServerID", server_->ServerID());
    request.RegisterHeader("Database", "Handle", static_cast<std::int32_t>(handle_));
    request.RegisterHeader("Database", "SQL", "select v from big");
    // Sent as a request, never read: WriteData would wait for the reply.
    stalled.WriteRawByte("Protocol=VSK;Command=Data;Password=;\r");
    request.WriteResponse();
  }
  ASSERT_TRUE(stalled.Connected());
  // The server gives up on the reply and ends that connection by itself.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool started = false;
  while (std::chrono::steady_clock::now() < until) {
    const int count = server_->Count();
    started = started || count > before;
    if (started && count == before)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(started);
  EXPECT_EQ(server_->Count(), before);

  // The session is still there for a client that comes back.
  auto back = NewClient();
  std::vector<Header> headers = SessionHeaders(handle_);
  headers.push_back({"Database", "Driver", "SQLite"});
  headers.push_back({"Database", "Resource", DbFile("main.db")});
  auto reconnect = back->Call("Reconnect", headers);
  ASSERT_EQ(reconnect->Name(), "OK") << reconnect->SysErrorText();
  EXPECT_EQ(reconnect->AsCardinal("Database", "Handle"), handle_);
  auto count = Sql(*back, handle_, "select count(*) from big");
  ASSERT_EQ(count->Name(), "OK") << count->SysErrorText();
  EXPECT_EQ(DecodeRows(Inflate(*count)), (std::vector<std::vector<std::string>>{{"60000"}}));
}

}  // namespace
}  // namespace qm::testing
