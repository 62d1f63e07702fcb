#include "transport/sockets.h"

#include <gtest/gtest.h>

#include <string>

#include "support/exception.h"
#include "transport/loopback_fixture.h"
#include "transport/socket_stream.h"

namespace qm {
namespace {

using testing::LoopbackPair;

TEST(SplitAddressTest, HostAndPortForms) {
  struct Case {
    std::string text, host, port;
  };
  for (const Case& c :
       {Case{"db.example:979", "db.example", "979"}, Case{"db.example", "db.example", ""},
        Case{"[fe80::1]:979", "fe80::1", "979"}, Case{"[::1]", "::1", ""},
        Case{"[::1]x", "::1", ""}, Case{"fe80::1:2", "fe80::1:2", ""}, Case{"", "", ""}}) {
    std::string host = "junk", port = "junk";
    SplitAddress(c.text, host, port);
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
}

TEST(AddressFamilyTest, ColonMeansIPv6) {
  EXPECT_EQ(AddressFamily("::1"), sfIPv6);
  EXPECT_EQ(AddressFamily("[::]"), sfIPv6);
  EXPECT_EQ(AddressFamily("127.0.0.1"), sfIPv4);
  EXPECT_EQ(AddressFamily(""), sfIPv4);
}

TEST(ClientSocketTest, FullAddressBracketsIPv6) {
  struct Case {
    std::string address, port, full;
  };
  for (const Case& c : {Case{"::1", "979", "[::1]:979"}, Case{"[::1]", "979", "[::1]:979"},
                        Case{"host", "979", "host:979"}, Case{"::1", "", "[::1]"}}) {
    TmnClientSocket client(c.address, c.port);
    EXPECT_EQ(client.FullAddress(), c.full);
  }
  TmnClientSocket client("[fe80::2]:1234");
  EXPECT_EQ(client.Address(), "fe80::2");
  EXPECT_EQ(client.Port(), "1234");
  client.SetFullAddress("otherhost");  // no port in the text: the port stays
  EXPECT_EQ(client.FullAddress(), "otherhost:1234");
  EXPECT_EQ(TmnClientSocket::CreateBy("h", "979")->FullAddress(), "h:979");
  EXPECT_EQ(TmnClientSocket::CreateBy("h:80", "979")->FullAddress(), "h:80");
}

TEST(WallSocketTest, BindPortZeroWritesTheChosenPortBack) {
  for (const std::string address : {"127.0.0.1", "::1"}) {
    std::string port = "0";
    std::unique_ptr<TmnCustomSocket> listener;
    int error = 0;
    WallSocket().Bind({}, -1, port, address, listener, error);
    ASSERT_TRUE(listener) << address << " error " << error;
    EXPECT_NE(port, "0");
    EXPECT_EQ(std::to_string(listener->GetLocalPort()), port);
    ASSERT_EQ(listener->Listen(), erSuccess);
    // A client reaches it through the written-back port.
    TmnClientSocket client(address, port);
    client.SetConnectTimeout(2000);
    client.Connect();
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(client.Socket()->HostAddress(), address);
  }
}

TEST(WallSocketTest, ResolveIP) {
  EXPECT_EQ(WallSocket().ResolveIP("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(WallSocket().ResolveIP("[0:0::1]"), "::1");
  EXPECT_EQ(WallSocket().ResolveIP("localhost"), "127.0.0.1");
  EXPECT_EQ(WallSocket().ResolveIP("no-such-host.invalid"), "");
}

TEST(SocketTest, ReceiveTimeoutReportsMinusOneAndStaysOpen) {
  LoopbackPair pair(100);
  TmnCustomSocket& socket = *pair.server->Socket();
  char buffer[8];
  std::int64_t count = sizeof buffer;
  EXPECT_EQ(socket.Receive(buffer, count), erTimeout);
  EXPECT_EQ(count, -1);
  EXPECT_TRUE(socket.Connected());
  // The stream reads nothing and stays connected too.
  EXPECT_EQ(pair.server->Read(buffer, 8), 0);
  EXPECT_TRUE(pair.server->Connected());
  EXPECT_TRUE(pair.server->CanRead());

  pair.client->Disconnect();
  count = sizeof buffer;
  EXPECT_EQ(socket.Receive(buffer, count), erClosed);
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(socket.Active());
  count = sizeof buffer;
  EXPECT_EQ(socket.Receive(buffer, count), erClosed);
}

TEST(SocketTest, AbortFromAnotherThreadWakesABlockedRead) {
  LoopbackPair pair(5000);
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pair.server->Abort();
  });
  std::string line;
  EXPECT_FALSE(pair.server->ReadUTF8Line(line));
  aborter.join();
  EXPECT_FALSE(pair.server->Connected());
}

TEST(SocketTest, InactiveSocketRaisesOnListen) {
  LoopbackPair pair;
  pair.listener->Close();
  try {
    pair.listener->Listen();
    FAIL() << "no exception";
  } catch (const EmnException& e) {
    EXPECT_EQ(e.Message(), "Socket is inactive");
  }
}

TEST(ClientSocketTest, ConnectRulesAndReconnect) {
  LoopbackPair pair;
  try {
    pair.client->Connect();
    FAIL() << "no exception";
  } catch (const EmnStreamException& e) {
    EXPECT_EQ(e.Message(), "Already connected");
  }
  EXPECT_THROW(pair.client->SetPort("1"), EmnException);
  EXPECT_THROW(pair.client->SetAddress("10.0.0.1"), EmnException);
  pair.client->SetPort(pair.port);  // the same value is no change

  pair.client->Disconnect();
  try {
    pair.client->Connect();
    FAIL() << "no exception";
  } catch (const EmnStreamException& e) {
    EXPECT_EQ(e.Message(), "Socket must be nil");
  }
  // After FreeSocket the same stream connects again and reads afresh.
  pair.client->FreeSocket();
  pair.client->Connect();
  ASSERT_EQ(pair.listener->Select(2000, slRead), erSuccess);
  TmnSocketStream second(pair.listener->Accept({}, 2000));
  second.WriteUTF8Line("again");
  std::string line;
  EXPECT_TRUE(pair.client->ReadUTF8Line(line));
  EXPECT_EQ(line, "again");
}

TEST(ClientSocketTest, RefusedConnectRaisesWithTheErrorCode) {
  // Take a port, then free it: nothing listens there.
  std::string port;
  {
    LoopbackPair pair;
    port = pair.port;
  }
  TmnClientSocket client("127.0.0.1", port);
  client.SetConnectTimeout(2000);
  try {
    client.Connect();
    FAIL() << "no exception";
  } catch (const EmnSocketException& e) {
    EXPECT_EQ(e.Message().rfind("Connect failed [#", 0), 0u) << e.Message();
  }
  EXPECT_FALSE(client.Connected());
}

}  // namespace
}  // namespace qm
