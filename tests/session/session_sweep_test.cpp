// Dead sessions are swept on a timer, without any client sending "Disconnect".

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "session/session_fixture.h"
#include "session/session_registry.h"
#include "support/date_time.h"

namespace qm::testing {
namespace {

class SessionSweepTest : public SessionServerTest {
 protected:
  void SetUp() override {
    SessionServerTest::SetUp();
    StartServer("Port=0\r\n", [](TqmDBServer& server) {
      server.SetSweepInterval(std::chrono::milliseconds(100));
    });
  }

  bool Registered(std::uint32_t handle) {
    TqmdConnections& sessions = TqmdConnections::Instance();
    TLockGuard lock(sessions.Lock());
    return sessions.Find(handle) != nullptr;
  }

  void Age(std::uint32_t handle, int seconds) {
    TqmdConnections& sessions = TqmdConnections::Instance();
    TLockGuard lock(sessions.Lock());
    sessions.Find(handle)->SetLastAccess(Now() - seconds / 86400.0);
  }
};

// A session idle past the dead age goes within a sweep interval, logged as a "Disconnect"
// sweep logs it, its opened transaction rolled back; a session idle exactly that long stays.
TEST_F(SessionSweepTest, IdleSessionIsClosedWithoutAnyDisconnect) {
  const std::string file = DbFile("swept.db");
  auto client = NewClient();
  const std::uint32_t dying = ConnectSQLite(*client, file);
  const std::uint32_t living = ConnectSQLite(*client, DbFile("kept.db"));
  ASSERT_EQ(Sql(*client, dying, "create table t (id integer)")->Name(), "OK");
  std::vector<Header> session = SessionHeaders(dying);
  auto opened = client->Call("OpenTransaction", session);
  ASSERT_EQ(opened->Name(), "OK") << opened->SysErrorText();
  const auto tr = static_cast<std::int32_t>(opened->AsCardinal("Database", "TRHandle"));
  ASSERT_EQ(Sql(*client, dying, "insert into t values (7)", {{"Database", "TRHandle", tr}})->Name(),
            "OK");

  Age(dying, static_cast<int>(TqmdConnection::DeadAge) + 1);
  Age(living, static_cast<int>(TqmdConnection::DeadAge) - 5);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Registered(dying) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(Registered(dying));
  EXPECT_TRUE(Registered(living));

  FlushLog();
  const std::string log = home_->LogText();
  const std::size_t dead = log.find(": Delete Dead [" + file + "]");
  ASSERT_NE(dead, std::string::npos) << log;
  EXPECT_NE(log.find(": Disconnect [" + file + "]", dead), std::string::npos) << log;

  // The row of the transaction left open is gone with it.
  const std::uint32_t again = ConnectSQLite(*client, file);
  auto count = Sql(*client, again, "select count(*) from t");
  EXPECT_EQ(DecodeRows(Inflate(*count)), (std::vector<std::vector<std::string>>{{"0"}}));
}

}  // namespace
}  // namespace qm::testing
