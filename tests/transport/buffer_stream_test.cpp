#include "transport/buffer_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "support/exception.h"
#include "support/utf16.h"
#include "transport/loopback_fixture.h"

namespace qm {
namespace {

using testing::LoopbackPair;

// A device that replays a script: each entry is what one DoRead delivers ("" = a quiet read
// time-out). When the script is used up the device is gone.
class ScriptedStream : public TmnConnectionStream {
 public:
  explicit ScriptedStream(std::vector<std::string> script, std::string eol = "\n")
      : TmnConnectionStream(std::move(eol)), script_(script.begin(), script.end()) {}

  bool Connected() override { return !script_.empty(); }
  TmnConnectionError WaitToRead(std::int64_t) override { return TmnConnectionError::cerSuccess; }
  TmnConnectionError WaitToWrite(std::int64_t) override { return TmnConnectionError::cerSuccess; }

  int device_reads = 0;
  std::string written;

 protected:
  std::int64_t DoRead(void* buffer, std::int64_t count) override {
    ++device_reads;
    if (script_.empty())
      return 0;
    std::string& next = script_.front();
    if (next.empty()) {
      script_.pop_front();
      return -1;
    }
    const auto n = std::min<std::size_t>(next.size(), static_cast<std::size_t>(count));
    std::memcpy(buffer, next.data(), n);
    next.erase(0, n);
    if (next.empty())
      script_.pop_front();
    return static_cast<std::int64_t>(n);
  }
  std::int64_t DoWrite(const void* buffer, std::int64_t count) override {
    written.append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
    return count;
  }

 private:
  std::deque<std::string> script_;
};

TEST(BufferStreamTest, QuietDeviceEndsReadAfterTimeoutTries) {
  struct Case {
    int tries;
    std::int64_t expected;
  };
  for (const Case& c : {Case{0, 3}, Case{1, 3}, Case{2, 6}, Case{5, 9}}) {
    // Two quiet periods, then more data, then the script keeps the device "connected".
    ScriptedStream stream({"abc", "", "def", "", "ghi", "", "", "", "", "", "", ""});
    stream.SetTimeoutTries(c.tries);
    char buffer[16] = {};
    EXPECT_EQ(stream.Read(buffer, 9), c.expected) << "tries " << c.tries;
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(c.expected)),
              std::string("abcdefghi").substr(0, static_cast<std::size_t>(c.expected)));
  }
}

TEST(BufferStreamTest, ReadingPastTheDeviceEndClosesTheReadSide) {
  ScriptedStream stream({"xy"});
  char buffer[8];
  EXPECT_EQ(stream.Read(buffer, 8), 2);
  EXPECT_FALSE(stream.Connected());
  EXPECT_TRUE(stream.CanRead());  // it brought bytes
  EXPECT_EQ(stream.Read(buffer, 8), 0);
  EXPECT_FALSE(stream.CanRead());
  EXPECT_TRUE(stream.CanWrite());
}

TEST(BufferStreamTest, LineReaderCostsOneDeviceReadPerBuffer) {
  ScriptedStream stream({std::string(100, 'a') + "\n" + std::string(100, 'b') + "\n", "z"});
  std::string line;
  ASSERT_TRUE(stream.ReadUTF8Line(line));
  ASSERT_TRUE(stream.ReadUTF8Line(line));
  EXPECT_EQ(line, std::string(100, 'b'));
  EXPECT_EQ(stream.device_reads, 1);
}

TEST(BufferStreamTest, ReadBufferUntilFindsSelfOverlappingMatches) {
  struct Case {
    std::string input, match, before;
  };
  for (const Case& c : {Case{"aaabrest", "aab", "a"}, Case{"ababac", "abac", "ab"},
                        Case{"xx\r\n\r\nyy", "\r\n\r\n", "xx"}}) {
    ScriptedStream stream({c.input});
    std::string out;
    bool matched = false;
    ASSERT_TRUE(stream.ReadBufferUntil(c.match.data(), c.match.size(), true, out, matched));
    EXPECT_TRUE(matched) << c.input;
    EXPECT_EQ(out, c.before) << c.input;
  }
}

TEST(BufferStreamTest, EmptyMatchRaises) {
  ScriptedStream stream({"abc"});
  std::string out;
  bool matched = false;
  EXPECT_THROW(stream.ReadBufferUntil("", 0, true, out, matched), EmnStreamException);
  EXPECT_THROW(stream.ReadUntil("", true, out, matched), EmnStreamException);
}

TEST(BufferStreamTest, LimitStopsGatheringAndClosesTheReadSide) {
  ScriptedStream stream({std::string(5000, 'x') + "\n"});
  std::string line;
  EXPECT_FALSE(stream.ReadUTF8Line(line, true, 64));
  EXPECT_EQ(line.size(), 64u);
  EXPECT_FALSE(stream.CanRead());
  // A line that fits, match included, is read in full.
  ScriptedStream fits({"0123456789\n"});
  EXPECT_TRUE(fits.ReadUTF8Line(line, true, 11));
  EXPECT_EQ(line, "0123456789");
}

TEST(BufferStreamTest, ReadUntilCallbackHandsOverPiecesAndFindsStraddlingMatch) {
  struct Case {
    std::size_t filler;
    int min_pieces;
  };
  // 1024 puts the match across the first hand-over point.
  for (const Case& c : {Case{10, 1}, Case{1024, 1}, Case{3000, 2}}) {
    ScriptedStream stream({std::string(c.filler, 'x') + "ENDrest"});
    std::string gathered;
    int pieces = 0;
    bool matched = false;
    ASSERT_TRUE(stream.ReadUntilCallback(
        "END", 3, true,
        [&](const std::string& piece) {
          gathered += piece;
          ++pieces;
        },
        matched));
    EXPECT_TRUE(matched) << c.filler;
    EXPECT_EQ(gathered, std::string(c.filler, 'x'));
    EXPECT_GE(pieces, c.min_pieces);
    EXPECT_EQ(stream.ReadBytes(4), "rest");
  }
}

TEST(BufferStreamTest, ReadBufferSizeCannotChangeOnceUsed) {
  ScriptedStream stream({"abc"});
  stream.SetReadBufferSize(16);
  char c;
  stream.Read(&c, 1);
  try {
    stream.SetReadBufferSize(32);
    FAIL() << "no exception";
  } catch (const EmnStreamException& e) {
    EXPECT_EQ(e.Message(), "Change ReadBufferSize before using stream");
  }
}

TEST(BufferStreamTest, LineWritersUseTheirWireForms) {
  ScriptedStream stream(std::vector<std::string>{}, "\r");
  stream.WriteLine("é");
  EXPECT_EQ(stream.written, std::string("\xE9\x00\r\x00", 4));
  stream.written.clear();
  stream.WriteUTF8Line("é");
  EXPECT_EQ(stream.written, "\xC3\xA9\r");
  stream.written.clear();
  stream.WriteLineAnsiString("é");
  EXPECT_EQ(stream.written, "\xE9\r");
  stream.written.clear();
  stream.WriteStrings({"a", "b", ""});
  EXPECT_EQ(stream.written, std::string("a\x00\r\x00"
                                        "b\x00\r\x00",
                                        8));
  stream.written.clear();
  stream.WriteCommand("GET", "x y");
  EXPECT_EQ(stream.written, Utf8ToUtf16Le("GET x y\r"));
}

TEST(ConnectionStreamTest, SeekOnlyRelativeToCurrent) {
  ScriptedStream stream(std::vector<std::string>{});
  EXPECT_EQ(stream.Seek(5, TSeekOrigin::soCurrent), 0);
  EXPECT_THROW(stream.Seek(0, TSeekOrigin::soBeginning), EmnStreamException);
}

// ---- over real loopback sockets ----

TEST(SocketLineTest, CarriageReturnLineEndsKeepOrDropTheEnd) {
  for (bool exclude : {true, false}) {
    LoopbackPair pair;
    pair.server->SetEndOfLine("\r");
    pair.client->WriteRawByte("a\rb\r");
    std::string first, second;
    ASSERT_TRUE(pair.server->ReadUTF8Line(first, exclude));
    ASSERT_TRUE(pair.server->ReadUTF8Line(second, exclude));
    EXPECT_EQ(first, exclude ? "a" : "a\r");
    EXPECT_EQ(second, exclude ? "b" : "b\r");
  }
}

TEST(SocketLineTest, Utf16LinesRoundTrip) {
  LoopbackPair pair;
  pair.client->WriteLine("grüße €");
  pair.client->WriteLine("");
  pair.client->WriteCommand("OPEN", "db one");
  EXPECT_EQ(pair.server->ReadLine(), "grüße €");
  std::string empty;
  EXPECT_TRUE(pair.server->ReadLine(empty));
  EXPECT_EQ(empty, "");
  std::string command, params;
  ASSERT_TRUE(pair.server->ReadCommand(command, params));
  EXPECT_EQ(command, "OPEN");
  EXPECT_EQ(params, "db one");
}

TEST(SocketLineTest, LineCutShortByPeerClosingIsStillALine) {
  LoopbackPair pair;
  pair.client->WriteRawByte("abc");
  pair.client->Disconnect();
  std::string line;
  EXPECT_TRUE(pair.server->ReadUTF8Line(line));
  EXPECT_EQ(line, "abc");
  EXPECT_FALSE(pair.server->ReadUTF8Line(line));
  EXPECT_EQ(line, "");
  EXPECT_FALSE(pair.server->Connected());
}

TEST(SocketLineTest, PeerClosingBeforeAnyByteGivesNoLine) {
  LoopbackPair pair;
  pair.client->Disconnect();
  std::string line;
  EXPECT_FALSE(pair.server->ReadUTF8Line(line));
}

TEST(SocketLineTest, ReadBufferUntilRestartsOneByteFurther) {
  LoopbackPair pair;
  pair.client->WriteRawByte("aaabtail");
  std::string out;
  bool matched = false;
  ASSERT_TRUE(pair.server->ReadBufferUntil("aab", 3, false, out, matched));
  EXPECT_TRUE(matched);
  EXPECT_EQ(out, "aaab");
  EXPECT_EQ(pair.server->ReadBytes(4), "tail");
}

TEST(SocketLineTest, ReadOfPiecesArrivingApartReturnsAll) {
  LoopbackPair pair(3000);
  std::string sent;
  for (int i = 0; i < 5000; ++i)
    sent.push_back(static_cast<char>('A' + i % 26));
  std::thread writer([&] {
    for (std::size_t at = 0; at < sent.size(); at += 1000) {
      pair.client->WriteRawByte(sent.substr(at, 1000));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::string received(5000, '\0');
  const std::int64_t n = pair.server->Read(received.data(), 5000);
  writer.join();
  EXPECT_EQ(n, 5000);
  EXPECT_EQ(received, sent);
}

TEST(SocketLineTest, OverlongLineDisconnectsTheReader) {
  LoopbackPair pair;
  pair.client->WriteRawByte(std::string(4096, 'x'));
  std::string line;
  EXPECT_FALSE(pair.server->ReadUTF8Line(line, true, 1024));
  EXPECT_FALSE(pair.server->Connected());
  // The peer sees the connection end.
  EXPECT_FALSE(pair.client->ReadUTF8Line(line));
}

TEST(SocketLineTest, ChunkedCopiesMoveEverythingUntilTheEnd) {
  LoopbackPair pair;
  std::string sent(3000, 'q');
  sent[1500] = 'Z';
  TMemoryStream source(sent);
  std::int64_t accepted = 0;
  EXPECT_EQ(pair.client->WriteStream(source, -1, accepted), 3000);
  EXPECT_EQ(accepted, 3000);
  pair.client->Disconnect();
  TMemoryStream target;
  EXPECT_EQ(pair.server->ReadStream(target, -1, accepted), 3000);
  EXPECT_EQ(target.DataString(), sent);
}

}  // namespace
}  // namespace qm
