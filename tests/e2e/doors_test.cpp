// Who may hold the server's doors: connections that never finish opening (silent, or trickling
// a TLS handshake), and an address that guesses passwords, against clients that talk properly
// from another address (127.0.0.2: all of 127.0.0.0/8 is this machine).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/tls_certificates.h"
#include "e2e/e2e_fixture.h"
#include "support/file_descriptor.h"

namespace qm::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kOther = "127.0.0.2";

std::size_t CountOf(const std::string& Text, const std::string& Part) {
  std::size_t count = 0;
  for (std::size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1))
    ++count;
  return count;
}

// Waits at most Limit for the server to close Socket; true when it did (end of stream or reset).
bool ClosedWithin(int Socket, milliseconds Limit) {
  timeval timeout{};
  timeout.tv_sec = static_cast<long>(Limit.count() / 1000);
  timeout.tv_usec = static_cast<long>(Limit.count() % 1000) * 1000;
  setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char buffer[256];
  for (;;) {
    const ssize_t n = recv(Socket, buffer, sizeof buffer, 0);
    if (n > 0)
      continue;  // "Server busy" and the like, then the end
    return n == 0 || errno == ECONNRESET;
  }
}

void StopServer(ServerProcess& Server) {
  Server.Process().Signal(SIGTERM);
  EXPECT_EQ(Server.Process().Wait(std::chrono::seconds(20)), 0) << Server.Err();
}

TEST(OpeningConnectionsTest, SilentSocketsHoldNoDoorAndAreClosedAfterTheDeadline) {
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port) + "MaxConnections=100\n");
  ASSERT_TRUE(server.Start(port)) << server.Err();

  // Far more silent sockets than connection slots, all from one address.
  std::vector<TFileDescriptor> silent;
  for (int i = 0; i < 300; ++i)
    silent.emplace_back(ConnectFrom(port, "127.0.0.1"));
  const auto opened = Clock::now();
  // Most were told at once that the server is busy for that address; a client from another
  // address is served, and so is one that comes later.
  bool closed = true;
  EXPECT_EQ(Exchange(port, "Command=C;\r", closed, milliseconds(3000), kOther), "O");
  EXPECT_FALSE(closed);
  const ProcessResult r =
      RunClient(port, {"--driver", "SQLite", "--resource", server.Dir().File("d.db"), "-e",
                       "select 7 as seven", "--format", "csv"});
  // qmcli comes from 127.0.0.1 too: it may be told the server is busy, never made to wait.
  EXPECT_TRUE(r.ExitCode == 0 || r.Err.find("Server busy") != std::string::npos) << r.Err;

  // The silent ones the server kept are closed once they had 10 s to open.
  for (const TFileDescriptor& socket : silent) {
    const auto left =
        milliseconds(12500) - std::chrono::duration_cast<milliseconds>(Clock::now() - opened);
    EXPECT_TRUE(ClosedWithin(socket.Get(), std::max(left, milliseconds(100))));
  }
  EXPECT_GE(Clock::now() - opened, milliseconds(9500));
  EXPECT_EQ(Exchange(port, "Command=C;\r", closed, milliseconds(3000)), "O");
  StopServer(server);
  const std::string log = server.LogText();
  // One line per address a minute for each kind, not one per socket.
  EXPECT_EQ(CountOf(log, "connections from 127.0.0.1 still opening"), 1u) << log;
}

TEST(OpeningConnectionsTest, ATlsHandshakeThatTricklesIsClosedAtTheDeadline) {
  const qm::testing::TlsCertificates certificates;
  const int port = FreePort();
  ServerProcess server("Port=" + std::to_string(port) +
                       "\nCertificateFile=" + certificates.ServerCertificate() +
                       "\nPrivateKeyFile=" + certificates.ServerKey() + "\n");
  ASSERT_TRUE(server.Start(port)) << server.Err();
  // The start of a ClientHello record, one byte every 2 s: each read of the handshake gets
  // something well within its own time-out.
  const std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  const TFileDescriptor socket(ConnectFrom(port, "127.0.0.1"));
  const auto start = Clock::now();
  bool closed = false;
  for (char byte : hello) {
    if (send(socket.Get(), &byte, 1, MSG_NOSIGNAL) != 1 ||
        ClosedWithin(socket.Get(), milliseconds(2000))) {
      closed = true;
      break;
    }
  }
  const auto took = Clock::now() - start;
  EXPECT_TRUE(closed);
  EXPECT_GE(took, milliseconds(9500));
  EXPECT_LT(took, milliseconds(12500));
  StopServer(server);
  EXPECT_NE(server.LogText().find("not opened within 10 s"), std::string::npos);
}

TEST(PasswordGuessingTest, AnAddressThatKeepsGuessingIsBlockedWhileOthersAreServed) {
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port) + "Password=right\n");
  ASSERT_TRUE(server.Start(port)) << server.Err();
  const std::string wrong = "Command=C;Password=wrong\r";
  const std::string right = "Command=C;Password=right\r";
  // The answer from the address From, and whether it came at once (no pause for a compared
  // password).
  const auto ask = [&](const std::string& Bytes, const std::string& From, bool& AtOnce) {
    bool closed = false;
    const auto start = Clock::now();
    const std::string answer = Exchange(port, Bytes, closed, milliseconds(1500), From);
    AtOnce = Clock::now() - start < milliseconds(500);
    return answer;
  };

  // Ten guesses at once from one address: five are compared (answered after the pause), the
  // others refused at once without a comparison.
  std::atomic<int> compared{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> guessers;
  for (int i = 0; i < 10; ++i)
    guessers.emplace_back([&] {
      bool at_once = false;
      if (ask(wrong, "127.0.0.1", at_once) == "Invalid Headers")
        ++(at_once ? refused : compared);
    });
  for (std::thread& guesser : guessers)
    guesser.join();
  EXPECT_EQ(compared, 5);
  EXPECT_EQ(refused, 5);

  // Blocked: even the right password is refused at once; another address is served.
  bool at_once = false;
  EXPECT_EQ(ask(right, "127.0.0.1", at_once), "Invalid Headers");
  EXPECT_TRUE(at_once);
  EXPECT_EQ(ask(right, kOther, at_once), "O");

  // After the first block (2 s) one more guess is compared; a wrong one doubles the block.
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_EQ(ask(wrong, "127.0.0.1", at_once), "Invalid Headers");
  EXPECT_FALSE(at_once);
  const auto second_block = Clock::now() - milliseconds(1000);  // it began before the pause
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_EQ(ask(right, "127.0.0.1", at_once), "Invalid Headers");  // 2.5 s in: still blocked
  EXPECT_TRUE(at_once);
  std::this_thread::sleep_until(second_block + milliseconds(4300));
  EXPECT_EQ(ask(right, "127.0.0.1", at_once), "O");

  StopServer(server);
  const std::string log = server.LogText();
  // Seven wrong passwords and several refusals: one line about the address in that minute.
  EXPECT_EQ(CountOf(log, "127.0.0.1: Invalid Password"), 1u) << log;
  EXPECT_EQ(CountOf(log, "127.0.0.1"), 1u) << log;
  EXPECT_EQ(CountOf(log, kOther), 0u) << log;
}

}  // namespace
}  // namespace qm::e2e
