#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "session/db_command.h"
#include "session/session_fixture.h"
#include "session/session_registry.h"

namespace qm::testing {
namespace {

nlohmann::ordered_json StatusJson(const TStreamData& reply) {
  return nlohmann::ordered_json::parse(reply.Buffer().AsString());
}

class SessionCommandsTest : public SessionServerTest {
 protected:
  std::unique_ptr<TStreamData> Status(Client& client) { return client.Call("Status", {}); }
};

TEST_F(SessionCommandsTest, StatusListsSessionsInHandleOrder) {
  StartServer();
  auto client = NewClient();
  auto empty = Status(*client);
  EXPECT_EQ(empty->Name(), "OK");
  EXPECT_EQ(empty->Buffer().AsString(), R"({"items":[]})");
  EXPECT_EQ(empty->FindHeader("System", "BufferCompressed"), nullptr);

  const std::uint32_t first = ConnectSQLite(*client, DbFile("one.db"));
  const std::uint32_t second = ConnectSQLite(*client, DbFile("two.db"));
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  std::vector<Header> prepare = SessionHeaders(first);
  prepare.push_back({"Database", "SQL", "select 1"});
  ASSERT_EQ(client->Call("PrepareSQL", prepare)->Name(), "OK");
  ASSERT_EQ(client->Call("OpenTransaction", SessionHeaders(first))->Name(), "OK");

  const nlohmann::ordered_json status = StatusJson(*Status(*client));
  EXPECT_EQ(status["count"], 2);
  ASSERT_EQ(status["items"].size(), 2u);
  const auto& a = status["items"][0];
  EXPECT_EQ(a["Handle"], 1);
  EXPECT_EQ(a["RemoteIP"], "127.0.0.1");
  EXPECT_TRUE(a["LastAccess"].is_number_integer());
  EXPECT_EQ(a["Commands"], 1);
  EXPECT_EQ(a["Transactions"], 1);
  EXPECT_EQ(a["Resource"], DbFile("one.db"));
  const auto& b = status["items"][1];
  EXPECT_EQ(b["Handle"], 2);
  EXPECT_FALSE(b.contains("Commands"));
  EXPECT_FALSE(b.contains("Transactions"));
  // Member order is fixed.
  std::vector<std::string> keys;
  for (auto it = a.begin(); it != a.end(); ++it)
    keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"Handle", "RemoteIP", "LastAccess", "Commands",
                                            "Transactions", "Resource"}));
}

TEST_F(SessionCommandsTest, ErrorsCarryTheirMessages) {
  StartServer();
  auto client = NewClient();
  const std::uint32_t handle = ConnectSQLite(*client, DbFile("e.db"));
  const std::string id = server_->ServerID();
  struct Case {
    std::string command;
    std::vector<Header> headers;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"ExecuteSQL",
       {{"Database", "ServerID", id}, {"Database", "Handle", 99}, {"Database", "SQL", "select 1"}},
       "#Handle Not Found"},
      {"Disconnect",
       {{"Database", "ServerID", id}, {"Database", "Handle", 99}},
       "#Handle Not Found"},
      {"ExecPrepared",
       {{"Database", "ServerID", id},
        {"Database", "Handle", static_cast<std::int32_t>(handle)},
        {"Database", "CmdHandle", 5}},
       "Command Not Found"},
      {"CloseTransaction",
       {{"Database", "ServerID", id},
        {"Database", "Handle", static_cast<std::int32_t>(handle)},
        {"Database", "TRHandle", 5}},
       "Transaction Handle Not Found"},
      {"Connect",
       {{"Database", "Driver", "sqlite"}, {"Database", "Resource", DbFile("x.db")}},
       "Driver Create Connection = nil"},
      {"Connect", {}, "Driver Create Connection = nil"},
      {"Reconnect", {{"Database", "Driver", "Nope"}}, "Driver Create Connection = nil"},
      {"ExecuteSQL",
       {{"Database", "ServerID", "old"}, {"Database", "Handle", static_cast<std::int32_t>(handle)}},
       "Invalid Server ID"},
      {"NoSuchCommand", {}, "Invalid Command :)"},
  };
  for (const Case& c : cases) {
    auto reply = client->Call(c.command, c.headers);
    EXPECT_EQ(reply->Name(), "Error") << c.command;
    EXPECT_EQ(reply->SysErrorText(), c.message) << c.command;
  }
  // A refused identity leaves the session in place.
  auto stale = client->Call(
      "Disconnect",
      {{"Database", "ServerID", "old"}, {"Database", "Handle", static_cast<std::int32_t>(handle)}});
  EXPECT_EQ(stale->SysErrorText(), "Invalid Server ID");
  EXPECT_EQ(Sql(*client, handle, "select 1")->Name(), "OK");
}

TEST_F(SessionCommandsTest, RestartRefusesOldIdentityAndCountsFromOne) {
  StartServer();
  auto client = NewClient();
  EXPECT_EQ(ConnectSQLite(*client, DbFile("r.db")), 1u);
  const std::uint32_t old_handle = ConnectSQLite(*client, DbFile("r.db"));
  const std::string old_id = server_->ServerID();

  RestartServer();
  auto fresh = NewClient();
  for (const char* command : {"ExecuteSQL", "Disconnect", "OpenTransaction"}) {
    auto reply =
        fresh->Call(command, {{"Database", "ServerID", old_id},
                              {"Database", "Handle", static_cast<std::int32_t>(old_handle)},
                              {"Database", "SQL", "select 1"}});
    EXPECT_EQ(reply->SysErrorText(), "Invalid Server ID") << command;
  }
  // The registry was emptied at the start.
  EXPECT_EQ(Status(*fresh)->Buffer().AsString(), R"({"items":[]})");
  auto connect = fresh->Call(
      "Connect", {{"Database", "Driver", "SQLite"}, {"Database", "Resource", DbFile("r.db")}});
  EXPECT_EQ(connect->AsCardinal("Database", "Handle"), 1u);
  EXPECT_EQ(connect->AsString("Database", "ServerID"), server_->ServerID());
  EXPECT_NE(server_->ServerID(), old_id);
}

TEST_F(SessionCommandsTest, ReconnectKeepsRestoresOrRenewsTheSession) {
  StartServer();
  auto client = NewClient();
  const std::string file = DbFile("re.db");
  const std::uint32_t handle = ConnectSQLite(*client, file);
  const auto reconnect = [&](const std::string& id, std::uint32_t h) {
    return client->Call("Reconnect", {{"Database", "ServerID", id},
                                      {"Database", "Handle", static_cast<std::int32_t>(h)},
                                      {"Database", "Driver", "SQLite"},
                                      {"Database", "Resource", file}});
  };

  // Live session: same handle, the opened transactions are gone, prepared commands stay.
  std::vector<Header> prepare = SessionHeaders(handle);
  prepare.push_back({"Database", "SQL", "select 5"});
  const std::uint32_t cmd =
      client->Call("PrepareSQL", prepare)->AsCardinal("Database", "CmdHandle");
  const auto tr =
      client->Call("OpenTransaction", SessionHeaders(handle))->AsCardinal("Database", "TRHandle");
  auto kept = reconnect(server_->ServerID(), handle);
  ASSERT_EQ(kept->Name(), "OK") << kept->SysErrorText();
  EXPECT_EQ(kept->AsCardinal("Database", "Handle"), handle);
  std::vector<Header> close = SessionHeaders(handle);
  close.push_back({"Database", "TRHandle", static_cast<std::int32_t>(tr)});
  EXPECT_EQ(client->Call("CloseTransaction", close)->SysErrorText(),
            "Transaction Handle Not Found");
  std::vector<Header> exec = SessionHeaders(handle);
  exec.push_back({"Database", "CmdHandle", static_cast<std::int64_t>(cmd)});
  EXPECT_EQ(client->Call("ExecPrepared", exec)->Name(), "OK");

  // Disconnected session: comes back under the same handle.
  ASSERT_EQ(client->Call("Disconnect", SessionHeaders(handle))->Name(), "OK");
  EXPECT_EQ(Sql(*client, handle, "select 1")->SysErrorText(), "#Handle Not Found");
  auto restored = reconnect(server_->ServerID(), handle);
  ASSERT_EQ(restored->Name(), "OK") << restored->SysErrorText();
  EXPECT_EQ(restored->AsCardinal("Database", "Handle"), handle);
  EXPECT_EQ(Sql(*client, handle, "select 1")->Name(), "OK");

  // Identity of an earlier run: a new session under a new handle.
  auto renewed = reconnect("earlier", handle);
  ASSERT_EQ(renewed->Name(), "OK") << renewed->SysErrorText();
  EXPECT_NE(renewed->AsCardinal("Database", "Handle"), handle);
  EXPECT_EQ(renewed->AsString("Database", "ServerID"), server_->ServerID());
}

TEST_F(SessionCommandsTest, DisconnectSweepsOnlySessionsIdleTooLong) {
  StartServer();
  auto client = NewClient();
  const std::uint32_t old_one = ConnectSQLite(*client, DbFile("old.db"));
  const std::uint32_t young = ConnectSQLite(*client, DbFile("young.db"));
  const std::uint32_t leaving = ConnectSQLite(*client, DbFile("leaving.db"));
  {
    TqmdConnections& registry = TqmdConnections::Instance();
    TLockGuard lock(registry.Lock());
    registry.Find(old_one)->SetLastAccess(Now() - 901.0 / 86400.0);
    registry.Find(young)->SetLastAccess(Now() - 899.5 / 86400.0);
  }
  ASSERT_EQ(client->Call("Disconnect", SessionHeaders(leaving))->Name(), "OK");

  auto status = StatusJson(*Status(*client));
  ASSERT_EQ(status["items"].size(), 1u);
  EXPECT_EQ(status["items"][0]["Handle"], young);
  const std::string log = home_->LogText();
  const std::string dead = "127.0.0.1: Delete Dead [" + DbFile("old.db") + "]";
  const std::string gone = "127.0.0.1: Disconnect [" + DbFile("old.db") + "]";
  ASSERT_NE(log.find(dead), std::string::npos) << log;
  EXPECT_NE(log.find(gone, log.find(dead)), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1: Disconnect [" + DbFile("leaving.db") + "]"), std::string::npos);
  EXPECT_EQ(log.find("Delete Dead [" + DbFile("young.db")), std::string::npos);
}

// With private sessions a swept handle still comes back under its number, to its own address
// only; one ended by "Disconnect" is gone for good.
TEST_F(SessionCommandsTest, PrivateSweptHandleComesBackOnlyToItsOwner) {
  StartServer("Port=0\r\nPrivateSessions=yes\r\n");
  auto client = NewClient();
  const std::string file = DbFile("swept.db");
  const std::uint32_t swept = ConnectSQLite(*client, file);
  const std::uint32_t leaving = ConnectSQLite(*client, DbFile("leaving.db"));
  TqmdConnections& registry = TqmdConnections::Instance();
  {
    TLockGuard lock(registry.Lock());
    registry.Find(swept)->SetLastAccess(Now() - 901.0 / 86400.0);
  }
  ASSERT_EQ(client->Call("Disconnect", SessionHeaders(leaving))->Name(), "OK");
  {
    TLockGuard lock(registry.Lock());
    ASSERT_EQ(registry.Find(swept), nullptr);
    EXPECT_FALSE(registry.MayRecreate(swept, "192.0.2.7"));
    EXPECT_FALSE(registry.MayRecreate(leaving, "127.0.0.1"));
    EXPECT_TRUE(registry.MayRecreate(swept, "127.0.0.1"));
  }
  const auto reconnect = [&](std::uint32_t h) {
    return client->Call("Reconnect", {{"Database", "ServerID", server_->ServerID()},
                                      {"Database", "Handle", static_cast<std::int32_t>(h)},
                                      {"Database", "Driver", "SQLite"},
                                      {"Database", "Resource", file}});
  };
  auto back = reconnect(swept);
  ASSERT_EQ(back->Name(), "OK") << back->SysErrorText();
  EXPECT_EQ(back->AsCardinal("Database", "Handle"), swept);
  auto renewed = reconnect(leaving);
  ASSERT_EQ(renewed->Name(), "OK") << renewed->SysErrorText();
  EXPECT_NE(renewed->AsCardinal("Database", "Handle"), leaving);
}

// Holds its session until the test lets it go, then still uses it.
struct HoldGate {
  std::mutex lock;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;
};
HoldGate* g_gate = nullptr;

class HoldCommand : public TLockDBCommand {
 public:
  using TLockDBCommand::TLockDBCommand;

 protected:
  void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) override {
    {
      std::unique_lock<std::mutex> lock(g_gate->lock);
      g_gate->entered = true;
      g_gate->changed.notify_all();
      g_gate->changed.wait_for(lock, std::chrono::seconds(10), [] { return g_gate->released; });
    }
    std::unique_ptr<TmncSQLCommand> command = Session.Transaction()->CreateCommand("select 42");
    ExecuteCMD(Session.RemoteIP(), *command, Response);
  }
};

TEST_F(SessionCommandsTest, DisconnectFromAnotherClientWhileACommandRuns) {
  HoldGate gate;
  g_gate = &gate;
  StartServer("Port=0\r\n",
              [](TqmDBServer& server) { server.RegisterCommand<HoldCommand>("Hold"); });
  auto worker_client = NewClient();
  const std::uint32_t handle = ConnectSQLite(*worker_client, DbFile("busy.db"));
  const std::vector<Header> headers = SessionHeaders(handle);

  auto worker =
      std::async(std::launch::async, [&] { return worker_client->Call("Hold", headers); });
  {
    std::unique_lock<std::mutex> lock(gate.lock);
    ASSERT_TRUE(
        gate.changed.wait_for(lock, std::chrono::seconds(10), [&] { return gate.entered; }));
  }
  // The disconnect does not wait for the running command.
  auto other = NewClient();
  EXPECT_EQ(other->Call("Disconnect", headers)->Name(), "OK");
  EXPECT_EQ(Sql(*other, handle, "select 1")->SysErrorText(), "#Handle Not Found");
  {
    std::lock_guard<std::mutex> lock(gate.lock);
    gate.released = true;
  }
  gate.changed.notify_all();
  auto reply = worker.get();
  EXPECT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  EXPECT_EQ(DecodeRows(Inflate(*reply)), (std::vector<std::vector<std::string>>{{"42"}}));
  // The session was freed once the command let go of it.
  EXPECT_NE(home_->LogText().find("Disconnect [" + DbFile("busy.db") + "]"), std::string::npos);
  g_gate = nullptr;
}

TEST_F(SessionCommandsTest, ManyClientsAtOnce) {
  StartServer();
  constexpr int kClients = 8;
  constexpr int kRows = 20;
  std::vector<std::future<std::string>> results;
  for (int n = 0; n < kClients; ++n) {
    results.push_back(std::async(std::launch::async, [this, n]() -> std::string {
      auto client = NewClient();
      const std::uint32_t handle = ConnectSQLite(*client, DbFile("c" + std::to_string(n) + ".db"));
      if (Sql(*client, handle, "create table t(x integer)")->Name() != "OK")
        return "create failed";
      for (int i = 0; i < kRows; ++i) {
        auto reply = Sql(*client, handle, "insert into t values(?x)", {{"Params", "x", i}});
        if (reply->Name() != "OK")
          return reply->SysErrorText();
      }
      auto rows = DecodeRows(Inflate(*Sql(*client, handle, "select sum(x) from t")));
      client->Call("Disconnect", SessionHeaders(handle));
      return rows.empty() ? "no rows" : rows[0][0];
    }));
  }
  for (auto& result : results)
    EXPECT_EQ(result.get(), std::to_string(kRows * (kRows - 1) / 2));
}

TEST_F(SessionCommandsTest, ClientsSharingOneSessionAreSerialised) {
  StartServer();
  auto setup = NewClient();
  const std::uint32_t handle = ConnectSQLite(*setup, DbFile("shared.db"));
  ASSERT_EQ(Sql(*setup, handle, "create table t(x integer)")->Name(), "OK");
  constexpr int kClients = 4;
  constexpr int kRows = 15;
  std::vector<std::future<int>> failures;
  for (int n = 0; n < kClients; ++n) {
    failures.push_back(std::async(std::launch::async, [this, handle] {
      auto client = NewClient();
      int failed = 0;
      for (int i = 0; i < kRows; ++i)
        failed += Sql(*client, handle, "insert into t values(1)")->Name() == "OK" ? 0 : 1;
      return failed;
    }));
  }
  for (auto& f : failures)
    EXPECT_EQ(f.get(), 0);
  auto rows = DecodeRows(Inflate(*Sql(*setup, handle, "select count(*) from t")));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], std::to_string(kClients * kRows));
}

}  // namespace
}  // namespace qm::testing
