#include "protocol/result_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "support/buffer.h"
#include "support/igzip_stream.h"

namespace qm {
namespace {

std::string Inflated(const std::vector<std::uint8_t>& block) {
  return ZDecompress(std::string_view(reinterpret_cast<const char*>(block.data()), block.size()));
}

// Incompressible bytes, so the output spans several of the compressor's pieces.
std::string Noise(std::size_t size) {
  std::string data;
  std::uint32_t x = 987654321;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    data += static_cast<char>(x >> 24);
  }
  return data;
}

TEST(ResultBlockTest, ByteValuesBecomeTheirIso88591Text) {
  struct Case {
    std::string Bytes;
    std::string Text;
  };
  const Case cases[] = {
      {std::string("\x00\xFF\x41", 3), std::string("\x00\xC3\xBF\x41", 4)},
      {"", ""},
      {"plain", "plain"},
      {"\x7F\x80", "\x7F\xC2\x80"},
      {"\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ResultTextOfBytes(c.Bytes), c.Text);
    EXPECT_EQ(ResultBytesOfText(c.Text), c.Bytes);
  }
  // Every byte value: one character each, and back to the same byte.
  std::string every_byte;
  for (int i = 0; i < 256; ++i)
    every_byte += static_cast<char>(i);
  const std::string text = ResultTextOfBytes(every_byte);
  EXPECT_EQ(text.size(), 128u + 2u * 128u);
  EXPECT_EQ(ResultBytesOfText(text), every_byte);
  // A character without a byte reads as "?".
  EXPECT_EQ(ResultBytesOfText("\xE2\x82\xAC"), "?");
}

TEST(ResultBlockTest, WriterPutsMarkersBetweenValuesAndBytesAsText) {
  TqmdZCompressor compressor;
  TResultBlockWriter writer(compressor, TqmdResultEncoding::UTF8);
  writer.Value("1");
  writer.Separator();
  writer.Bytes(std::string("\x00\xFF", 2));
  writer.Separator();
  writer.Null();
  writer.Terminator();
  const std::string block = Inflated(compressor.Finish());
  EXPECT_EQ(block, std::string("1\xEE\x80\x81\x00\xC3\xBF\xEE\x80\x81NULL;\xEE\x80\x82", 18));
  EXPECT_EQ(DecodeResultBlock(block, 3),
            (std::vector<TqmRow>{{"1", std::string("\x00\xC3\xBF", 3), std::nullopt}}));
}

// The block fed in pieces of every size from a byte up, against the whole block: values and
// markers split across pieces, values larger than a piece and than the store's text chunks.
TEST(ResultBlockTest, DecoderReadsValuesSplitAcrossPieces) {
  const std::string F(kResultFieldSeparator);
  const std::string R(kResultRowTerminator);
  std::string block;
  std::vector<TqmRow> expected;
  const std::size_t sizes[] = {0, 2, 3, 64 * 1024 + 1, 700 * 1024, 1, 2 * 1024 * 1024, 9};
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    // Lead bytes of the markers inside the value, one of them at the value's end.
    std::string value = Noise(sizes[i]);
    for (char& c : value) {
      if (c == '\xEE')
        c = 'x';
    }
    if (!value.empty())
      value.back() = '\xEE';
    block += std::to_string(i) + F + value + F + (i % 2 == 0 ? "NULL;" : "") + R;
    expected.push_back({std::to_string(i), value, i % 2 == 0 ? TqmValue() : TqmValue("")});
  }
  EXPECT_EQ(DecodeResultBlock(block, 3), expected);
  for (std::size_t piece : {1u, 2u, 3u, 4u, 4099u, 65536u, 1000003u}) {
    SCOPED_TRACE(piece);
    TResultBlockDecoder decoder(3);
    for (std::size_t at = 0; at < block.size(); at += piece)
      decoder.Feed(std::string_view(block).substr(at, piece));
    EXPECT_EQ(decoder.Finish(), expected);
  }
}

// Byte columns are turned back into bytes as they are decoded, whole or in pieces; nulls stay
// null, other columns stay text, and indexes past the columns are ignored.
TEST(ResultBlockTest, DecoderTurnsByteColumnsBackIntoBytes) {
  const std::string F(kResultFieldSeparator);
  const std::string R(kResultRowTerminator);
  const std::string bytes("\x00\xFF\x41\xE9", 4);
  const std::string text = ResultTextOfBytes(bytes);
  const std::string block =
      text + F + text + F + "\xE2\x82\xAC" + R + "NULL;" + F + "" + F + "NULL;" + R;
  const std::vector<std::size_t> byte_columns = {0, 2, 9};
  const std::vector<TqmRow> expected = {{bytes, text, "?"}, {std::nullopt, "", std::nullopt}};
  EXPECT_EQ(DecodeResultBlock(block, 3, byte_columns), expected);
  for (std::size_t at = 0; at <= block.size(); ++at) {
    SCOPED_TRACE(at);
    TResultBlockDecoder decoder(3, byte_columns);
    decoder.Feed(std::string_view(block).substr(0, at));
    decoder.Feed(std::string_view(block).substr(at));
    EXPECT_EQ(decoder.Finish(), expected);
  }
}

TEST(ResultBlockTest, CompressorSpansPiecesAtEveryLevel) {
  const std::string data = Noise(700 * 1024) + std::string(300 * 1024, 'x');
  for (int level : {kResultBlockDefaultLevel, 0, 1, 9}) {
    SCOPED_TRACE(level);
    TqmdZCompressor compressor(level);
    for (std::size_t at = 0; at < data.size(); at += 4099)
      compressor.Write(std::string_view(data).substr(at, 4099));
    const std::vector<std::uint8_t> block = compressor.Finish();
    EXPECT_EQ(block.size(), compressor.CompressedSize());
    EXPECT_EQ(Inflated(block), data);
  }
}

// Past its first stages the compressor deflates on a thread of its own, fed in stages while
// the caller writes: whatever the sizes of the writes, the stream must be the same and inflate
// to the input; with zlib it must be the one a single zlib pass makes of the same input.
TEST(ResultBlockTest, BackgroundDeflateGivesTheSameStreamAsOnePass) {
  std::string rows;
  for (int i = 0; rows.size() < 3 * 1024 * 1024; ++i)
    rows += std::to_string(i) + "\xEE\x80\x81row " + std::to_string(i) + "\xEE\x80\x82";
  const std::string data = rows + Noise(200 * 1024) + std::string(100 * 1024, 'y');
  struct Case {
    int Level;
    std::string OnePass;  // empty: none to compare with
  };
  const Case cases[] = {{kResultBlockDefaultLevel, ""}, {Z_DEFAULT_COMPRESSION, ZCompress(data)}};
  for (const Case& c : cases) {
    std::string first;
    for (std::size_t write : {std::size_t{7}, std::size_t{4099}, std::size_t{70000}}) {
      SCOPED_TRACE(testing::Message() << "level " << c.Level << ", writes of " << write);
      TqmdZCompressor compressor(c.Level);
      for (std::size_t at = 0; at < data.size(); at += write)
        compressor.Write(std::string_view(data).substr(at, write));
      const std::vector<std::uint8_t> block = compressor.Finish();
      const std::string stream(block.begin(), block.end());
      EXPECT_TRUE(Inflated(block) == data);
      if (first.empty())
        first = stream;
      EXPECT_TRUE(stream == first);
      if (!c.OnePass.empty()) {
        EXPECT_TRUE(stream == c.OnePass);
      }
    }
  }
}

// A block as the server makes it by default reads the same with plain zlib's one-call inflater
// and with igzip's streaming one, from no rows to a block larger than every stage and piece;
// and a block exactly at the size limit passes while one byte less refuses it.
TEST(ResultBlockTest, DefaultBlocksRoundTripThroughZlibAndIgzip) {
  std::string rows;
  for (int i = 0; rows.size() < 2 * 1024 * 1024; ++i)
    rows += std::to_string(i) + "\xEE\x80\x81row " + std::to_string(i) + "\xEE\x80\x82";
  const std::string inputs[] = {"", "1", rows, rows + Noise(300 * 1024)};
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input.size());
    TqmdZCompressor compressor;
    compressor.Write(input);
    const std::vector<std::uint8_t> block = compressor.Finish();

    std::string plain(input.size() + 1, '\0');
    uLongf size = static_cast<uLongf>(plain.size());
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(plain.data()), &size, block.data(),
                         static_cast<uLong>(block.size())),
              Z_OK);
    plain.resize(size);
    EXPECT_TRUE(plain == input);

    std::string streamed;
    IgzipInflateEach(std::string_view(reinterpret_cast<const char*>(block.data()), block.size()),
                     input.size(), [&streamed](std::string_view piece) { streamed += piece; });
    EXPECT_TRUE(streamed == input);

    TqmdZCompressor at_limit;
    at_limit.SetLimit(block.size());
    at_limit.Write(input);
    EXPECT_EQ(at_limit.Finish().size(), block.size());
    if (block.size() > 1) {
      TqmdZCompressor past_limit;
      past_limit.SetLimit(block.size() - 1);
      EXPECT_THROW(
          {
            past_limit.Write(input);
            past_limit.Finish();
          },
          EResultTooLarge);
    }
  }
}

// Given up while its thread still has stages to deflate (a query failing part-way): the
// compressor ends at once, and the next one on the thread starts clean.
TEST(ResultBlockTest, CompressorGivenUpWithItsThreadBusyEnds) {
  for (int round = 0; round < 20; ++round) {
    TqmdZCompressor abandoned;
    abandoned.Write(Noise(600 * 1024 + round * 4096));
  }
  TqmdZCompressor next;
  next.Write("next");
  EXPECT_EQ(Inflated(next.Finish()), "next");
}

// A small block the thread finished before comes back without a second zlib pass: it must be
// the block of this input at this level, never the one kept from before.
TEST(ResultBlockTest, RepeatedSmallBlocksKeepTheirInputAndLevel) {
  const std::string row = std::string(150, 'r') + "\xEE\x80\x82";
  struct Case {
    std::string Input;
    int Level;
  };
  const Case cases[] = {{row, 9}, {row, 9}, {row, 0}, {"1\xEE\x80\x82", 0}, {row, 9}, {"", 9}};
  std::size_t stored_size = 0;
  std::size_t deflated_size = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Input.size());
    TqmdZCompressor compressor(c.Level);
    compressor.Write(c.Input);
    const std::vector<std::uint8_t> block = compressor.Finish();
    EXPECT_EQ(Inflated(block), c.Input);
    EXPECT_EQ(block.size(), compressor.CompressedSize());
    if (c.Input == row)
      (c.Level == 0 ? stored_size : deflated_size) = block.size();
  }
  // Level 0 stores the row as it is; level 9 packs its run of one letter.
  EXPECT_GT(stored_size, row.size());
  EXPECT_LT(deflated_size, 40u);
}

// Compressors share the thread's zlib streams: two at once get two streams, and one given up
// half-way leaves nothing behind for the next.
TEST(ResultBlockTest, CompressorsOnOneThreadDoNotShareState) {
  {
    TqmdZCompressor abandoned;
    abandoned.Write(Noise(100000));
  }
  TqmdZCompressor first;
  TqmdZCompressor second;
  first.Write("first ");
  second.Write("second ");
  first.Write("block");
  second.Write("block");
  EXPECT_EQ(Inflated(second.Finish()), "second block");
  EXPECT_EQ(Inflated(first.Finish()), "first block");
  EXPECT_THROW(first.Finish(), EprmException);
  TqmdZCompressor again;
  again.Write("again");
  EXPECT_EQ(Inflated(again.Finish()), "again");
}

}  // namespace
}  // namespace qm
