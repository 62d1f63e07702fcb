#include "transport/wrapper_stream.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/exception.h"
#include "transport/stream.h"
#include "transport/stream_proxy.h"

namespace qm {
namespace {

TEST(WrapperStreamTest, EmptyStreamEndsAtFirstLine) {
  TMemoryStream memory;
  TmnWrapperStream wrapper(&memory);
  std::string line;
  EXPECT_FALSE(wrapper.ReadLine(line));
  EXPECT_TRUE(wrapper.EndOfStream());
  EXPECT_FALSE(wrapper.Connected());
}

TEST(WrapperStreamTest, LinesAreUtf16WithSingleLineFeed) {
  TMemoryStream memory;
  {
    TmnWrapperStream writer(&memory);
    writer.WriteLine("ab");
    writer.WriteLine("c");
  }
  EXPECT_EQ(memory.DataString(), std::string("a\0b\0\n\0c\0\n\0", 10));

  memory.SetPosition(0);
  TmnWrapperStream reader(&memory);
  std::string line;
  ASSERT_TRUE(reader.ReadLine(line, true));
  EXPECT_EQ(line, "ab");
  ASSERT_TRUE(reader.ReadLine(line, true));
  EXPECT_EQ(line, "c");
  EXPECT_FALSE(reader.ReadLine(line, true));
}

TEST(WrapperStreamTest, NullStreamIsRefused) {
  try {
    TmnWrapperStream wrapper(static_cast<TStream*>(nullptr));
    FAIL() << "no exception";
  } catch (const EmnStreamException& e) {
    EXPECT_EQ(e.Message(), "Stream = nil");
  }
}

// Tracks its own life and close calls in counters that outlive it.
struct ProxyCounters {
  int destroyed = 0;
  int close_read = 0;
  int close_write = 0;
};

class CountingProxy : public TmnStreamOverProxy {
 public:
  explicit CountingProxy(ProxyCounters& counters) : counters_(counters) {}
  ~CountingProxy() override { ++counters_.destroyed; }

 protected:
  void ProxyCloseRead() override { ++counters_.close_read; }
  void ProxyCloseWrite() override { ++counters_.close_write; }

 private:
  ProxyCounters& counters_;
};

// Upper-cases what is written, to show the chain's order and that a disabled link passes data.
class UpperProxy : public TmnStreamOverProxy {
 protected:
  bool ProxyWrite(const void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                  std::int64_t& RealCount) override {
    std::string data(static_cast<const char*>(Buffer), static_cast<std::size_t>(Count));
    for (char& c : data) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return Over()->Write(data.data(), Count, ResultCount, RealCount);
  }
};

TEST(StreamProxyTest, PlainOverProxyChangesNothing) {
  TMemoryStream memory;
  ProxyCounters counters;
  {
    TmnWrapperStream stream(&memory);
    stream.AddProxy(std::make_unique<CountingProxy>(counters));
    stream.WriteUTF8Line("hello");
  }
  EXPECT_EQ(memory.DataString(), "hello\n");

  memory.SetPosition(0);
  TmnWrapperStream reader(&memory);
  reader.AddProxy(std::make_unique<CountingProxy>(counters));
  std::string line;
  ASSERT_TRUE(reader.ReadUTF8Line(line));
  EXPECT_EQ(line, "hello");
}

TEST(StreamProxyTest, DisabledLinkPassesDataAndClosesOnce) {
  TMemoryStream memory;
  TmnWrapperStream stream(&memory);
  auto upper = std::make_unique<UpperProxy>();
  UpperProxy* link = upper.get();
  stream.AddProxy(std::move(upper));
  stream.WriteRawByte("ab");
  TmnStreamProxy::Disable(link);
  stream.WriteRawByte("cd");
  TmnStreamProxy::Enable(link);
  stream.WriteRawByte("ef");
  EXPECT_EQ(memory.DataString(), "ABcdEF");

  ProxyCounters counters;
  CountingProxy counting(counters);
  counting.SetEnabled(false);
  counting.SetEnabled(false);
  EXPECT_EQ(counters.close_read, 1);
  EXPECT_EQ(counters.close_write, 1);
}

TEST(StreamProxyTest, NullProxyEnableRaisesDisableDoesNothing) {
  EXPECT_THROW(TmnStreamProxy::Enable(nullptr), EmnStreamException);
  EXPECT_NO_THROW(TmnStreamProxy::Disable(nullptr));
}

TEST(StreamProxyTest, StreamFreesWholeChain) {
  ProxyCounters counters;
  {
    TMemoryStream memory;
    TmnWrapperStream stream(&memory);
    stream.AddProxy(std::make_unique<CountingProxy>(counters));
    stream.AddProxy(std::make_unique<CountingProxy>(counters));
  }
  EXPECT_EQ(counters.destroyed, 2);
  // Closing the stream closed both links once each.
  EXPECT_EQ(counters.close_read, 2);
  EXPECT_EQ(counters.close_write, 2);
}

}  // namespace
}  // namespace qm
