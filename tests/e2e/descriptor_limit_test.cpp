// qmsrv with few descriptors: it says what limits it runs under, and once every descriptor is
// in use each further client is answered at once (served, "Server busy" or an error reply)
// instead of being left waiting, and clients are served again when descriptors come free.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/db_client.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

TEST(DescriptorLimitTest, ClientsPastTheLastDescriptorAreAnsweredAtOnce) {
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port));
  // Soft and hard limit 64: nothing to raise, and about 30 SQLite sessions use it up.
  ChildProcess process("/usr/bin/prlimit", {"--nofile=64", QM_QMSRV_PATH}, server.Env(),
                       server.Dir().File("qmsrv.out"), server.Dir().File("qmsrv.err"));
  for (int i = 0; i < 200 && !PortAnswers(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(PortAnswers(port)) << server.Err();

  std::vector<std::unique_ptr<TqmDBClient>> held;
  int served = 0, busy = 0, error_reply = 0, no_reply = 0;
  for (int i = 0; i < 80; ++i) {
    auto client = std::make_unique<TqmDBClient>("127.0.0.1", std::to_string(port), 10000);
    try {
      client->Open();
      client->Connect(
          {"SQLite", server.Dir().File("fd" + std::to_string(i) + ".db"), "", "", "", "fd"});
      client->ExecuteSQL("select 1");
      held.push_back(std::move(client));
      ++served;
    } catch (const EqmServerError& e) {
      ++(e.Message().starts_with("Server busy") ? busy : error_reply);
    } catch (const std::exception& e) {
      ++no_reply;
      ADD_FAILURE() << "client " << i << ": " << e.what();
    }
  }
  EXPECT_GT(served, 10);
  EXPECT_GT(busy, 0) << error_reply << " error replies";
  EXPECT_EQ(no_reply, 0);
  EXPECT_TRUE(process.Running());

  for (auto& client : held)
    client->Disconnect();
  held.clear();
  // Served again once the sessions are gone (their descriptors close as their threads end).
  bool again = false;
  for (int i = 0; i < 50 && !again; ++i) {
    try {
      TqmDBClient client("127.0.0.1", std::to_string(port), 10000);
      client.Open();
      client.Connect({"SQLite", server.Dir().File("fd0.db"), "", "", "", "fd"});
      const TqmResultSet rows = client.ExecuteSQL("select 7");
      again = rows.Rows.size() == 1 && rows.Rows[0][0] == "7";
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  EXPECT_TRUE(again);
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(std::chrono::seconds(20)), 0);
  EXPECT_TRUE(Contains(server.LogText(), "Descriptor limit: soft 64, hard 64")) << server.LogText();
}

// A soft limit below the hard one (systemd gives services 1,024 of 524,288) is raised at start.
TEST(DescriptorLimitTest, TheSoftLimitIsRaisedToTheHardOneAndBothAreLogged) {
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port));
  ChildProcess process("/usr/bin/prlimit", {"--nofile=64:300", QM_QMSRV_PATH}, server.Env(),
                       server.Dir().File("qmsrv.out"), server.Dir().File("qmsrv.err"));
  for (int i = 0; i < 200 && !PortAnswers(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(PortAnswers(port)) << server.Err();
  const std::string limits = ReadFile("/proc/" + std::to_string(process.Pid()) + "/limits");
  EXPECT_TRUE(Contains(limits, "Max open files            300                  300")) << limits;
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(std::chrono::seconds(20)), 0);
  EXPECT_TRUE(
      Contains(server.LogText(), "Descriptor limit: soft 64, hard 300; soft limit raised to 300"))
      << server.LogText();
}

}  // namespace
}  // namespace qm::e2e
