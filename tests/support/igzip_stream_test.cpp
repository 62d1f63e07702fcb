#include "support/igzip_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/buffer.h"

namespace qm {
namespace {

// Rows of short text, then incompressible bytes: output larger than the inflater's buffer.
std::string Sample(std::size_t size) {
  std::string data;
  for (int i = 0; data.size() < size / 2; ++i)
    data += std::to_string(i) + "\xEE\x80\x81row " + std::to_string(i) + "\xEE\x80\x82";
  std::uint32_t x = 12345;
  while (data.size() < size) {
    x = x * 1103515245u + 12345u;
    data += static_cast<char>(x >> 24);
  }
  return data;
}

std::string ZlibAt(const std::string& data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                      reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                      level),
            Z_OK);
  out.resize(size);
  return out;
}

std::string IgzipAt(const std::string& data, int level) {
  TIgzipStreamLease lease = TIgzipStreamLease::Deflater(level);
  isal_zstream& stream = lease.Deflate();
  std::string out;
  stream.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<std::uint32_t>(data.size());
  stream.end_of_stream = 1;
  while (stream.internal_state.state != ZSTATE_END) {
    std::uint8_t* room = lease.Scratch();
    stream.next_out = room;
    stream.avail_out = static_cast<std::uint32_t>(TIgzipStreamLease::kScratchSize);
    EXPECT_EQ(isal_deflate(&stream), COMP_OK);
    out.append(reinterpret_cast<const char*>(room),
               TIgzipStreamLease::kScratchSize - stream.avail_out);
  }
  return out;
}

// What an inflater made of an input: the bytes it handed out and how it ended.
struct TOutcome {
  std::string Bytes;
  std::string Error;  // "" when it ended well
  bool OverLimit = false;

  bool operator==(const TOutcome&) const = default;
};

template <typename InflateEach>
TOutcome Outcome(InflateEach inflate, std::string_view data, std::uint64_t max_bytes) {
  TOutcome outcome;
  try {
    inflate(data, max_bytes, [&outcome](std::string_view piece) { outcome.Bytes += piece; });
  } catch (const EZDecompressionLimitError& e) {
    outcome.Error = e.what();
    outcome.OverLimit = true;
  } catch (const EZDecompressionError& e) {
    outcome.Error = e.what();
  }
  return outcome;
}

TOutcome WithZlib(std::string_view data, std::uint64_t max_bytes = UINT64_MAX) {
  return Outcome(ZDecompressEach, data, max_bytes);
}

TOutcome WithIgzip(std::string_view data, std::uint64_t max_bytes = UINT64_MAX) {
  return Outcome(IgzipInflateEach, data, max_bytes);
}

TEST(IgzipStreamTest, InflaterReadsZlibStreamsOfEveryLevel) {
  const std::string inputs[] = {"", "x", Sample(300 * 1024)};
  for (const std::string& input : inputs) {
    for (int level = -1; level <= 9; ++level) {
      SCOPED_TRACE(testing::Message() << input.size() << " bytes at zlib level " << level);
      const TOutcome outcome = WithIgzip(ZlibAt(input, level));
      EXPECT_EQ(outcome.Error, "");
      EXPECT_TRUE(outcome.Bytes == input);
    }
  }
}

// Every level twice: the second lease gets the pooled stream back, reset.
TEST(IgzipStreamTest, DeflaterWritesStreamsZlibReadsAtEveryLevel) {
  const std::string inputs[] = {"", "x", Sample(300 * 1024)};
  for (int round = 0; round < 2; ++round) {
    for (int level = TIgzipStreamLease::kMinLevel; level <= TIgzipStreamLease::kMaxLevel; ++level) {
      for (const std::string& input : inputs) {
        SCOPED_TRACE(testing::Message() << input.size() << " bytes at igzip level " << level);
        const std::string stream = IgzipAt(input, level);
        std::string inflated(input.size() + 1, '\0');
        uLongf size = static_cast<uLongf>(inflated.size());
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(inflated.data()), &size,
                             reinterpret_cast<const Bytef*>(stream.data()),
                             static_cast<uLong>(stream.size())),
                  Z_OK);
        inflated.resize(size);
        EXPECT_TRUE(inflated == input);
      }
    }
  }
  EXPECT_THROW(TIgzipStreamLease::Deflater(TIgzipStreamLease::kMaxLevel + 1), EprmException);
  EXPECT_THROW(TIgzipStreamLease::Deflater(-1), EprmException);
}

// Whatever is wrong with the input, igzip's inflater hands out what zlib's does and raises the
// same error.
TEST(IgzipStreamTest, BadInputEndsAsWithZlib) {
  const std::string input = Sample(200 * 1024);
  const std::string good = ZlibAt(input, Z_DEFAULT_COMPRESSION);
  auto flipped = [&good](std::size_t at) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x55);
    return bad;
  };
  struct Case {
    const char* Name;
    std::string Data;
  };
  const Case cases[] = {
      {"empty", ""},
      {"header only", good.substr(0, 2)},
      {"one byte", good.substr(0, 1)},
      {"cut in the middle", good.substr(0, good.size() / 2)},
      {"cut before the checksum", good.substr(0, good.size() - 4)},
      {"cut inside the checksum", good.substr(0, good.size() - 1)},
      {"wrong checksum", flipped(good.size() - 1)},
      {"header check fails", flipped(1)},
      {"not deflate", std::string("\x79\x9c", 2) + good.substr(2)},
      {"window too large", std::string("\x88\x98", 2) + good.substr(2)},
      {"asks for a dictionary", std::string("\x78\xbb\x00\x00\x00\x01", 6) + good.substr(2)},
      {"corrupt data", flipped(good.size() / 3)},
      {"not a stream", "this is not a zlib stream at all"},
      {"bytes after the end", good + "trailing"},
      // igzip finds the block header bad; zlib runs out of input first.
      {"corrupt and cut short", std::string("\x78\x9c\x05\x00\x00\x00\x08\x01", 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const TOutcome zlib = WithZlib(c.Data);
    const TOutcome igzip = WithIgzip(c.Data);
    EXPECT_EQ(igzip.Error, zlib.Error);
    EXPECT_EQ(igzip.OverLimit, zlib.OverLimit);
    // The bytes before a fault may be handed out in other pieces, never other bytes.
    const std::size_t common = std::min(igzip.Bytes.size(), zlib.Bytes.size());
    EXPECT_TRUE(igzip.Bytes.substr(0, common) == zlib.Bytes.substr(0, common));
    if (zlib.Error.empty()) {
      EXPECT_TRUE(igzip.Bytes == zlib.Bytes);
    }
  }
}

// The limit holds at the byte: output of exactly max_bytes passes, one byte more raises before
// anything beyond the limit is handed out.
TEST(IgzipStreamTest, LimitStopsInflatingAtTheByte) {
  const std::string input = Sample(150 * 1024);
  const std::string stream = ZlibAt(input, 6);
  struct Case {
    std::uint64_t MaxBytes;
    bool OverLimit;
  };
  const Case cases[] = {{input.size(), false}, {input.size() - 1, true}, {0, true}, {1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.MaxBytes);
    const TOutcome igzip = WithIgzip(stream, c.MaxBytes);
    EXPECT_EQ(igzip.OverLimit, c.OverLimit);
    EXPECT_LE(igzip.Bytes.size(), c.MaxBytes);
    EXPECT_EQ(igzip.Error, WithZlib(stream, c.MaxBytes).Error);
  }
}

}  // namespace
}  // namespace qm
