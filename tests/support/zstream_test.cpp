#include "support/zstream.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/buffer.h"

namespace qm {
namespace {

// The pooled streams are reset between uses: a failed inflate or a deflate in
// another framing leaves nothing behind for the next message.
TEST(ZStreamTest, CachedStreamsStartCleanAfterErrorsAndOtherFramings) {
  const std::string text(5000, 'a');
  const std::string zlib_form = ZCompress(text);
  const std::string gzip_form = ZCompress(text, true);
  EXPECT_EQ(static_cast<unsigned char>(gzip_form[0]), 0x1F);
  EXPECT_EQ(static_cast<unsigned char>(zlib_form[0]), 0x78);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::string corrupt = zlib_form;
    corrupt[corrupt.size() / 2] ^= 0x55;
    corrupt[2] ^= 0x55;
    EXPECT_THROW(ZDecompress(corrupt), EZDecompressionError);
    EXPECT_THROW(ZDecompress(zlib_form.substr(0, zlib_form.size() / 2)), EZDecompressionError);
    EXPECT_EQ(ZDecompress(zlib_form), text);
    EXPECT_EQ(ZCompress(text), zlib_form);
    EXPECT_EQ(ZCompress(text, true), gzip_form);
  }
}

TEST(ZStreamTest, LeasesHeldTogetherAreDistinctStreams) {
  TZStreamLease first = TZStreamLease::Deflater();
  TZStreamLease second = TZStreamLease::Deflater();
  EXPECT_NE(&first.Stream(), &second.Stream());
  EXPECT_NE(first.Scratch(), second.Scratch());
  TZStreamLease level1 = TZStreamLease::Deflater(1);
  TZStreamLease inflater = TZStreamLease::Inflater();
  EXPECT_NE(&level1.Stream(), &first.Stream());
  EXPECT_NE(&inflater.Stream(), &second.Stream());
}

// Streams are kept for the process, not per thread: one a thread gave back serves the next
// lease on another thread, so threads that compressed once hold no stream of their own.
TEST(ZStreamTest, AStreamGivenBackOnOneThreadServesAnother) {
  const z_stream* given_back = nullptr;
  std::thread([&] {
    TZStreamLease lease = TZStreamLease::Deflater(3);
    given_back = &lease.Stream();
  }).join();
  const z_stream* taken = nullptr;
  std::thread([&] {
    TZStreamLease lease = TZStreamLease::Deflater(3);
    taken = &lease.Stream();
  }).join();
  EXPECT_EQ(taken, given_back);
}

}  // namespace
}  // namespace qm
