#include "transport/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/exception.h"
#include "transport/loopback_fixture.h"

namespace qm {
namespace {

using testing::WaitUntil;

std::atomic<int> gLiveConnections{0};

// Answers each line with "echo:" and the line; "boom" raises, which must not end the connection.
class EchoConnection : public TmnServerConnection {
 public:
  EchoConnection(TmnConnections* owner, std::unique_ptr<TmnConnectionStream> stream)
      : TmnServerConnection(owner, std::move(stream)) {
    ++gLiveConnections;
  }
  ~EchoConnection() override {
    Terminate();
    WaitFor();
    --gLiveConnections;
  }

 protected:
  void Process() override {
    std::string line;
    if (!Stream()->ReadUTF8Line(line, true, 1024))
      return;
    if (line == "boom")
      throw EmnException("boom raised");
    if (line == "flood") {
      // Far more than the socket buffers hold: the write blocks unless the client reads.
      const std::string block(1 << 20, 'f');
      for (int i = 0; i < 64 && Connected(); ++i)
        Stream()->WriteRawByte(block);
      return;
    }
    Stream()->WriteUTF8Line("echo:" + line);
  }
  void HandleException(const Exception& e) override {
    Stream()->WriteUTF8Line("error:" + e.Message());
  }
};

class EchoListener : public TmnListener {
 public:
  EchoListener() {
    SetTimeout(100);
    SetSendTimeout(300);
  }

 protected:
  std::unique_ptr<TmnServerConnection> DoCreateConnection(
      std::unique_ptr<TmnConnectionStream> stream) override {
    return std::make_unique<EchoConnection>(this, std::move(stream));
  }
};

class EchoServer : public TmnEventServer {
 public:
  EchoServer() {
    SetPort("0");
    SetBind("127.0.0.1");
    OnLog = [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(log_lock);
      log.push_back(text);
    };
  }
  ~EchoServer() override { Stop(); }

  bool Logged(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(log_lock);
    for (const auto& line : log)
      if (line.rfind(prefix, 0) == 0)
        return true;
    return false;
  }

  std::atomic<int> idles{0};
  std::atomic<int> changes{0};
  std::mutex log_lock;
  std::vector<std::string> log;

 protected:
  std::unique_ptr<TmnListener> CreateListener() override {
    return std::make_unique<EchoListener>();
  }
  void DoIdle() override { ++idles; }
  void DoChanged(TmnListener* listener) override {
    TmnEventServer::DoChanged(listener);
    ++changes;
  }
};

std::unique_ptr<TmnClientSocket> Connect(const std::string& port) {
  auto client = std::make_unique<TmnClientSocket>("127.0.0.1", port);
  client->SetReadTimeout(3000);
  client->SetConnectTimeout(3000);
  client->Connect();
  return client;
}

std::string Ask(TmnClientSocket& client, const std::string& line) {
  client.WriteUTF8Line(line);
  std::string answer;
  client.ReadUTF8Line(answer);
  return answer;
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Start(true);
    ASSERT_TRUE(server.Connected());
    port = server.UsedPort();
  }
  void TearDown() override {
    server.Stop();
    EXPECT_EQ(gLiveConnections, 0);
  }

  EchoServer server;
  std::string port;
};

TEST_F(ServerTest, PortZeroBindsAnEphemeralPortReportedByUsedPort) {
  EXPECT_EQ(server.Port(), "0");
  EXPECT_NE(port, "0");
  EXPECT_GT(std::stoi(port), 0);
  auto client = Connect(port);
  EXPECT_EQ(Ask(*client, "hi"), "echo:hi");
}

TEST_F(ServerTest, ServesSeveralClientsAtOnce) {
  // An idle client holds its own thread; the others are served meanwhile.
  auto idle = Connect(port);
  std::vector<std::unique_ptr<TmnClientSocket>> clients;
  for (int i = 0; i < 4; ++i)
    clients.push_back(Connect(port));
  for (int round = 0; round < 3; ++round)
    for (int i = 3; i >= 0; --i) {
      const std::string text = std::to_string(i) + "/" + std::to_string(round);
      EXPECT_EQ(Ask(*clients[i], text), "echo:" + text);
    }
  EXPECT_TRUE(WaitUntil([&] { return server.Count() == 5; }));
}

TEST_F(ServerTest, ExceptionInProcessKeepsTheConnection) {
  auto client = Connect(port);
  EXPECT_EQ(Ask(*client, "boom"), "error:boom raised");
  EXPECT_EQ(Ask(*client, "after"), "echo:after");
}

TEST_F(ServerTest, StopEndsAndFreesIdleConnectionThreads) {
  std::vector<std::unique_ptr<TmnClientSocket>> clients;
  for (int i = 0; i < 3; ++i)
    clients.push_back(Connect(port));
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 3; }));
  ASSERT_EQ(gLiveConnections, 3);
  server.Stop();
  EXPECT_EQ(gLiveConnections, 0);
  EXPECT_EQ(server.Count(), 0);
  EXPECT_FALSE(server.Active());
  EXPECT_TRUE(server.Logged("Server stopped at port: " + port));
  // Every client sees its connection closed.
  for (auto& client : clients) {
    std::string line;
    EXPECT_FALSE(client->ReadUTF8Line(line));
  }
  // It starts again.
  server.Start(true);
  EXPECT_TRUE(server.Connected());
  auto client = Connect(server.UsedPort());
  EXPECT_EQ(Ask(*client, "back"), "echo:back");
}

TEST_F(ServerTest, ClientThatLeavesEndsItsThread) {
  {
    auto client = Connect(port);
    ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  }
  EXPECT_TRUE(WaitUntil([&] { return server.Count() == 0; }));
  // The listener frees finished connection threads while it runs.
  EXPECT_TRUE(WaitUntil([&] { return gLiveConnections == 0; }));
}

TEST_F(ServerTest, OverlongLineEndsOnlyThatConnection) {
  auto flooder = Connect(port);
  auto other = Connect(port);
  flooder->WriteRawByte(std::string(8000, 'x'));
  std::string line;
  EXPECT_FALSE(flooder->ReadUTF8Line(line));
  EXPECT_EQ(Ask(*other, "fine"), "echo:fine");
}

TEST_F(ServerTest, ClientThatStopsReadingLosesItsConnection) {
  auto stalled = Connect(port);
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  stalled->WriteUTF8Line("flood");
  // The blocked send times out and ends the connection thread; nothing waits for the client.
  EXPECT_TRUE(WaitUntil([&] { return server.Count() == 0; }, 10000));
  auto other = Connect(port);
  EXPECT_EQ(Ask(*other, "still here"), "echo:still here");
}

TEST_F(ServerTest, SettersRefuseChangesWhileActive) {
  try {
    server.SetPort("1234");
    FAIL() << "no exception";
  } catch (const EmnException& e) {
    EXPECT_EQ(e.Message(), "Can not change Port value when active");
  }
  EXPECT_THROW(server.SetBind("0.0.0.0"), EmnException);
  EXPECT_THROW(server.SetName("other"), EmnException);
  server.SetName(server.Name());  // the same name is no change
}

TEST_F(ServerTest, StartingARunningServerDoesNothing) {
  TmnListener* listener = server.Listener();
  server.Start(true);
  EXPECT_EQ(server.Listener(), listener);
}

TEST_F(ServerTest, QueuedHooksRunOnTheMainQueue) {
  server.SetIdleInterval(0);
  auto client = Connect(port);
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  // The hooks wait in the queue until the main thread runs it.
  ASSERT_TRUE(WaitUntil([&] {
    TMainQueue::Instance().RunPending();
    return server.idles > 0 && server.changes >= 2 && server.Logged("Server  started at port: ");
  }));
}

TEST(ServerBindTest, PortInUseLogsBindFailAndStartReturns) {
  EchoServer first;
  first.Start(true);
  ASSERT_TRUE(first.Connected());
  EchoServer second;
  second.SetPort(first.UsedPort());
  second.Start(true);  // must not wait forever
  EXPECT_FALSE(second.Connected());
  EXPECT_TRUE(second.Active());
  second.Stop();
  EXPECT_TRUE(second.Logged("Bind fail [98] on port " + first.UsedPort() + " address 127.0.0.1"));
}

TEST(MainQueueTest, RunPendingFromAnotherThreadWaitsForTheLoop) {
  TMainQueue& queue = TMainQueue::Instance();
  std::thread main([&] { queue.Run(); });
  std::atomic<int> ran{0};
  auto guard = std::make_shared<TMainQueueGuard>();
  for (int i = 0; i < 10; ++i)
    queue.Queue([&] { ++ran; }, guard);
  queue.Queue([] { throw EmnException("a failing call"); });
  queue.RunPending();
  EXPECT_EQ(ran, 10);
  guard->Revoke();
  queue.Queue([&] { ++ran; }, guard);
  queue.RunPending();
  EXPECT_EQ(ran, 10);
  queue.Terminate();
  main.join();
}

}  // namespace
}  // namespace qm
