#include "transport/server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/exception.h"
#include "transport/loopback_fixture.h"

namespace qm {
namespace {

using testing::Ask;
using testing::WaitUntil;

std::atomic<int> gLiveConnections{0};
// While set, the next connection set-up calls it (and it raises), as when no thread or memory
// can be had for a connection.
std::function<void()> gFailNextSetup;
std::mutex gFailLock;

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
    bool ended = false;
    if (!Stream()->ReadUntil(Stream()->EndOfLine(), true, line, ended, 1024))
      return;
    if (ended)
      Admit();  // a whole line: past its opening
    if (line == "boom")
      throw EmnException("boom raised");
    if (line == "flood") {
      // Far more than the socket buffers hold: the write blocks unless the client reads.
      const std::string block(1 << 20, 'f');
      for (int i = 0; i < 64 && Connected(); ++i)
        Stream()->WriteRawByte(block);
      return;
    }
    if (line == "reply") {
      // One reply in many writes: together they get one send time-out.
      TWriteWindow window(*Stream());
      const std::string block(64 << 10, 'r');
      for (int i = 0; i < 1024 && Connected(); ++i)
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
    std::function<void()> fail;
    {
      std::lock_guard<std::mutex> lock(gFailLock);
      fail = std::exchange(gFailNextSetup, nullptr);
    }
    if (fail)
      fail();
    return std::make_unique<EchoConnection>(this, std::move(stream));
  }

 public:
  // Shuts the listening socket down under the listener, as a failing socket would.
  void BreakSocket() {
    TLockGuard lock(FLock);
    if (FSocket)
      FSocket->Abort();
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
    OnListenerLost = [this](TmnServer&) { ++lost; };
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
  std::atomic<int> lost{0};
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
  return testing::ConnectClient(port);
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

TEST_F(ServerTest, ClientThatReadsSlowlyIsCutOffAfterOneSendTimeout) {
  // Each piece of the reply moves, but the reply as a whole may take one send time-out
  // (300 ms here): a client that keeps reading a little cannot hold the thread for minutes.
  auto slow = Connect(port);
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  slow->WriteUTF8Line("reply");
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> received{0};
  std::thread reader([&] {
    char chunk[4096];
    while (!stop) {
      const std::int64_t got = slow->Read(chunk, sizeof chunk);
      if (got > 0)
        received += got;
      else if (!slow->Connected())
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  // The server ends the connection while the client is still reading what it was sent.
  EXPECT_TRUE(WaitUntil([&] { return server.Count() == 0; }, 15000));
  EXPECT_GT(received, 0);
  stop = true;
  reader.join();
}

TEST_F(ServerTest, ListenerSurvivesAnyFailureWhileSettingUpAConnection) {
  const std::vector<std::pair<const char*, std::function<void()>>> failures = {
      {"no memory", [] { throw std::bad_alloc(); }},
      {"no thread",
       [] {
         throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
       }},
      {"plain runtime error", [] { throw std::runtime_error("set-up failed"); }},
      {"own exception", [] { throw EmnException("set-up failed"); }},
      {"not even an exception", [] { throw 42; }},
  };
  for (const auto& [name, fail] : failures) {
    SCOPED_TRACE(name);
    {
      std::lock_guard<std::mutex> lock(gFailLock);
      gFailNextSetup = fail;
    }
    auto refused = Connect(port);
    std::string line;
    refused->WriteUTF8Line("anyone?");
    EXPECT_FALSE(refused->ReadUTF8Line(line));  // that one connection is closed
    ASSERT_TRUE(server.Connected());
    auto next = Connect(port);
    EXPECT_EQ(Ask(*next, "next"), "echo:next");
  }
  EXPECT_EQ(server.lost, 0);
}

TEST_F(ServerTest, ListenerThatEndsWithoutAStopTellsTheServer) {
  auto* listener = dynamic_cast<EchoListener*>(server.Listener());
  ASSERT_NE(listener, nullptr);
  listener->BreakSocket();
  EXPECT_TRUE(WaitUntil([&] { return server.lost == 1; }));
  EXPECT_FALSE(server.Connected());
  server.Stop();
  // A stop is not a loss.
  server.Start(true);
  server.Stop();
  EXPECT_EQ(server.lost, 1);
}

TEST(ServerMaxConnectionsTest, OneConnectionTooManyIsToldTheServerIsBusy) {
  EchoServer server;
  server.SetMaxConnections(2);
  server.Start(true);
  ASSERT_TRUE(server.Connected());
  const std::string port = server.UsedPort();
  auto first = Connect(port);
  auto second = Connect(port);
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 2; }));
  auto third = Connect(port);
  std::string answer;
  third->ReadUTF8Line(answer);
  EXPECT_EQ(answer, "Server busy: too many connections");
  EXPECT_FALSE(third->ReadUTF8Line(answer));
  EXPECT_EQ(Ask(*first, "first"), "echo:first");
  // A place that frees up is given to the next client.
  second.reset();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  auto fourth = Connect(port);
  EXPECT_EQ(Ask(*fourth, "fourth"), "echo:fourth");
  server.Stop();
}

// A client of the server bound to its own loopback address (127.0.0.0/8 is all this machine).
std::unique_ptr<TmnClientSocket> ConnectFrom(const std::string& port, const std::string& from) {
  return testing::ConnectClient(port, {}, "127.0.0.1",
                                [&](TmnClientSocket& client) { client.SetBindAddress(from); });
}

// Reads what waits on the client's socket (waiting at most WaitMs for the first of it); true
// when the server has closed the connection.
bool ClosedByServer(TmnClientSocket& client, int WaitMs = 3000) {
  const int fd = client.Socket()->Handle();
  pollfd wait{fd, POLLIN, 0};
  poll(&wait, 1, WaitMs);
  char buffer[256];
  ssize_t n = 0;
  while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
  }
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

TEST(ServerOpeningTest, AConnectionMustOpenWithinTheDeadlineHoweverItsBytesTrickle) {
  EchoServer server;
  server.SetOpeningTimeout(1000);
  server.Start(true);
  const std::string port = server.UsedPort();
  auto trickling = Connect(port);
  auto talking = Connect(port);
  EXPECT_EQ(Ask(*talking, "hello"), "echo:hello");
  // One byte every 200 ms: every read gets something (the server echoes what came when its
  // read times out), the line never ends.
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  for (int i = 0; i < 20 && !closed; ++i) {
    std::int64_t one = 1;
    trickling->Socket()->Send("x", one);
    closed = ClosedByServer(*trickling, 200);
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_TRUE(WaitUntil([&] {
    TMainQueue::Instance().RunPending();  // log lines come through the main queue
    return server.Logged("Connection from 127.0.0.1 closed: not opened within 1 s");
  })) << ::testing::PrintToString(server.log);
  // A connection that has spoken may stay idle past the deadline.
  EXPECT_EQ(Ask(*talking, "still"), "echo:still");
  server.Stop();
}

TEST(ServerOpeningTest, SilentSocketsDoNotShutOutClientsThatTalk) {
  EchoServer server;
  server.SetMaxOpeningPerAddress(3);
  server.SetMaxOpening(5);
  server.Start(true);
  const std::string port = server.UsedPort();
  std::vector<std::unique_ptr<TmnClientSocket>> silent;
  for (int i = 0; i < 3; ++i)
    silent.push_back(Connect(port));
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 3; }));
  // One more from the same address is refused; another address is served.
  auto fourth = Connect(port);
  std::string answer;
  fourth->ReadUTF8Line(answer);
  EXPECT_EQ(answer, "Server busy: too many connections");
  auto other = ConnectFrom(port, "127.0.0.2");
  EXPECT_EQ(Ask(*other, "served"), "echo:served");
  // Silent sockets from more addresses fill the bound in all: the oldest opening one makes room.
  silent.push_back(ConnectFrom(port, "127.0.0.3"));
  silent.push_back(ConnectFrom(port, "127.0.0.4"));
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 6; }));
  auto late = ConnectFrom(port, "127.0.0.5");
  EXPECT_EQ(Ask(*late, "late"), "echo:late");
  EXPECT_TRUE(ClosedByServer(*silent.front()));
  EXPECT_EQ(Ask(*other, "again"), "echo:again");
  server.Stop();
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
