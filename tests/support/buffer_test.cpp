#include "support/buffer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace qm {
namespace {

std::string Bytes(const TprmBuffer& buffer) {
  return std::string(buffer.View());
}

// Pseudo-random bytes that do not compress away, so inflating needs many chunks.
std::string Noise(std::size_t size, uint32_t seed = 7) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data)
    c = static_cast<char>(random() & 0xFF);
  return data;
}

// A source that hands out its data in short pieces only at the end, as a stream would.
class TChunkedSource : public IByteSource {
 public:
  explicit TChunkedSource(std::string data) : data_(std::move(data)) {}
  int64_t Read(void* buffer, int64_t count) override {
    ++reads;
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), data_.size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<int64_t>(n);
  }
  int reads = 0;

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

class TFailingSink : public IByteSink {
 public:
  int64_t Write(const void*, int64_t count) override { return count / 2; }
};

class TempFile {
 public:
  TempFile()
      : path_(std::filesystem::temp_directory_path() /
              ("qm_buffer_test_" + std::to_string(::getpid()) + "_" + std::to_string(next_++))) {}
  ~TempFile() { std::filesystem::remove(path_); }
  std::string Path() const { return path_.string(); }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  static inline int next_ = 0;
  std::filesystem::path path_;
};

TEST(BufferGrowTest, FirstAppendAllocatesWholeStepsPlusSlack) {
  struct Case {
    int64_t append;
    int64_t size;
  };
  for (const Case& c : {Case{1, 4096}, Case{2047, 4096}, Case{2048, 6144}, Case{4096, 8192}}) {
    TprmBuffer buffer;
    buffer.Write(reinterpret_cast<const uint8_t*>(Noise(c.append).data()), c.append);
    EXPECT_EQ(c.append, buffer.Count());
    EXPECT_EQ(c.size, buffer.Size()) << "append " << c.append;
  }
}

TEST(BufferGrowTest, ExactlyFullFreeSpaceStillReallocates) {
  TprmBuffer buffer;
  buffer.WriteBytes(std::string(96, 'x'));  // Size 4096, 4000 free
  ASSERT_EQ(4096, buffer.Size());
  buffer.WriteBytes(std::string(3999, 'y'));  // 3999 < 4000 free: same block
  EXPECT_EQ(4096, buffer.Size());
  buffer.WriteData('z');  // exactly 1 free for 1 byte: grows
  EXPECT_GT(buffer.Size(), 4096);
  EXPECT_EQ(4096, buffer.Count());
  EXPECT_EQ('z', buffer.View().back());
}

TEST(BufferGrowTest, GrowWithMoveEodLetsCallerFillInPlace) {
  TprmBuffer buffer;
  buffer.WriteBytes("ab");
  buffer.Grow(3, true);
  ASSERT_EQ(5, buffer.Count());
  std::memcpy(buffer.SOB() + 2, "cde", 3);
  EXPECT_EQ("abcde", Bytes(buffer));
  EXPECT_EQ(buffer.SOB() + 5, buffer.EOD());
  buffer.Grow(0, true);
  buffer.Grow(-4, true);
  EXPECT_EQ(5, buffer.Count());
}

TEST(BufferTest, EmptyAppendsChangeNothingNotEvenChanged) {
  TprmBuffer buffer;
  buffer.Write("");
  buffer.Write(nullptr, 0);
  buffer.Write(reinterpret_cast<const uint8_t*>("x"), -1);
  buffer.WriteBytes("");
  buffer.Compress(reinterpret_cast<const uint8_t*>("x"), 0);
  buffer.Compress("");
  buffer.Decompress(nullptr, 0);
  EXPECT_FALSE(buffer.Changed());
  EXPECT_EQ(nullptr, buffer.SOB());
  EXPECT_EQ(0, buffer.Size());
}

TEST(BufferTest, TextAppendsAreUtf16LeAndReadBack) {
  TprmBuffer buffer;
  buffer.Write("Aé");
  buffer.Write("b", u',');
  buffer.Write(int32_t{-12});
  buffer.WriteData(0x7F);
  buffer.WriteBytes("\x01\x02");
  buffer.Writeln("z");
  buffer.Writeln();
  const char kExpected[] = "A\0\xE9\0b\0,\0-\0001\0002\0\x7F\x01\x02z\0\r\0\n\0\r\0\n\0";
  const std::string expected(kExpected, sizeof(kExpected) - 1);
  EXPECT_EQ(expected, Bytes(buffer));
  EXPECT_TRUE(buffer.Changed());
  buffer.HitChanged();
  EXPECT_FALSE(buffer.Changed());

  TprmBuffer text;
  text.Write("héllo");
  EXPECT_EQ("héllo", text.AsString());
  EXPECT_TRUE(text.SameString("héllo"));
  EXPECT_FALSE(text.SameString("héll"));
  EXPECT_FALSE(text.SameString(""));
  text.WriteData('!');  // an odd last byte is ignored by text reads
  EXPECT_EQ(5, text.CharCount());
  EXPECT_EQ("héllo", text.AsString());
  EXPECT_TRUE(text.SameString("héllo"));
  EXPECT_FALSE(TprmBuffer().SameString("x"));
}

TEST(BufferTest, FiveBytesReadAsTwoCodeUnits) {
  TprmBuffer buffer;
  buffer.WriteBytes(std::string("a\0b\0c", 5));
  EXPECT_EQ(2, buffer.CharCount());
  EXPECT_EQ("ab", buffer.AsString());
}

TEST(BufferTest, ClearFreesClearDataKeepsBlock) {
  TprmBuffer buffer;
  buffer.WriteBytes("data");
  buffer.HitChanged();
  buffer.ClearData();
  EXPECT_EQ(0, buffer.Count());
  EXPECT_EQ(4096, buffer.Size());
  EXPECT_NE(nullptr, buffer.SOB());
  EXPECT_TRUE(buffer.Changed());
  buffer.HitChanged();
  buffer.Clear();
  EXPECT_EQ(0, buffer.Count());
  EXPECT_EQ(nullptr, buffer.SOB());
  EXPECT_FALSE(buffer.Changed());
}

TEST(BufferTest, AppendingItsOwnContentSurvivesReallocation) {
  TprmBuffer buffer;
  buffer.WriteBytes(Noise(4000));
  const std::string before = Bytes(buffer);
  buffer.Write(buffer.SOB(), buffer.Count());  // must grow while reading from itself
  EXPECT_TRUE(before + before == Bytes(buffer));
}

TEST(BufferTest, AttachAndDetachMoveTheBlockWithoutCopying) {
  std::vector<uint8_t> block{1, 2, 3};
  const uint8_t* memory = block.data();
  TprmBuffer buffer;
  buffer.WriteBytes("old");
  buffer.Attach(std::move(block));
  EXPECT_EQ(memory, buffer.SOB());
  EXPECT_EQ(3, buffer.Count());
  std::vector<uint8_t> out = buffer.Detach();
  EXPECT_EQ(memory, out.data());
  EXPECT_EQ(3u, out.size());
  EXPECT_EQ(0, buffer.Count());
  EXPECT_EQ(nullptr, buffer.SOB());
  buffer.Attach({});
  EXPECT_EQ(nullptr, buffer.SOB());
}

TEST(BufferTest, EncodingConversions) {
  TprmBuffer buffer;
  buffer.WriteBytes("Zé€");
  buffer.ConvertUtf8ToString();
  EXPECT_EQ(std::string("Z\0\xE9\0\xAC\x20", 6), Bytes(buffer));
  EXPECT_GE(buffer.Size(), 12);
  buffer.ConvertStringToAnsi();
  EXPECT_EQ("Z\xE9?", Bytes(buffer));
  EXPECT_EQ(3, buffer.Size());

  TprmBuffer empty;
  empty.ConvertUtf8ToString();
  EXPECT_EQ(nullptr, empty.SOB());
}

TEST(BufferBase64Test, EncodesWithPadding) {
  struct Case {
    std::string bytes, base64;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xFF\xFE\x00", 3), "//4A"},
  };
  for (const Case& c : cases) {
    TprmBuffer buffer;
    buffer.WriteBytes(c.bytes);
    EXPECT_EQ(c.base64, buffer.AsBase64());
    TprmBuffer decoded;
    decoded.SetAsBase64(c.base64);
    EXPECT_EQ(c.bytes, Bytes(decoded)) << c.base64;
  }
}

TEST(BufferBase64Test, DecodingIsLenient) {
  struct Case {
    std::string text, bytes;
  };
  const Case cases[] = {
      {"Zm9v\r\nYmFy", "foobar"},
      {" Z m 9 v Y g = = ", "foob"},  // blanks between every symbol, padding included
      {"Zm9v\tYmE\n=", "fooba"},
      {"Zm9v*Y!g==", "foob"},          // characters outside the alphabet are skipped
      {"Zm9\xC3\xA9vYmFy", "foobar"},  // so is a non-ASCII character
      {"Zm9vYg", "foob"},              // missing padding: no trailing zero bytes
      {"Zm9vYmE", "fooba"},
      {"Zm9vY", "foo"},  // a lone last symbol completes no byte
      {"====", ""},
      {"@@@", ""},
  };
  for (const Case& c : cases) {
    TprmBuffer buffer;
    buffer.WriteBytes("previous content");
    buffer.SetAsBase64(c.text);
    EXPECT_EQ(c.bytes, Bytes(buffer)) << c.text;
  }
  TprmBuffer cleared;
  cleared.WriteBytes("x");
  cleared.SetAsBase64("");
  EXPECT_EQ(nullptr, cleared.SOB());
}

TEST(BufferBase64Test, RoundTripsEveryByteLength) {
  for (std::size_t size = 0; size < 70; ++size) {
    TprmBuffer buffer;
    buffer.WriteBytes(Noise(size, static_cast<uint32_t>(size)));
    TprmBuffer decoded;
    decoded.SetAsBase64(buffer.AsBase64());
    EXPECT_EQ(Bytes(buffer), Bytes(decoded)) << size;
  }
}

TEST(BufferCompressTest, CompressAppendsZlibAndDecompressRestores) {
  const std::string data = Noise(300000) + std::string(300000, 'a');
  TprmBuffer compressed;
  compressed.WriteBytes("head");
  compressed.CompressBytes(data);
  ASSERT_EQ("head", Bytes(compressed).substr(0, 4));
  EXPECT_EQ(0x78, compressed.SOB()[4]);

  TprmBuffer restored;
  restored.WriteBytes("pre");
  restored.Decompress(compressed.SOB() + 4, compressed.Count() - 4);
  EXPECT_TRUE("pre" + data == Bytes(restored));
  EXPECT_TRUE(data == ZDecompress(ZCompress(data)));
}

TEST(BufferCompressTest, DecompressToReadsUtf16Text) {
  TprmBuffer buffer;
  buffer.Compress("OK");
  EXPECT_EQ("OK", buffer.DecompressTo());
  EXPECT_EQ("OK", buffer.DecompressTo());  // the content is unchanged
  EXPECT_EQ("", TprmBuffer().DecompressTo());

  std::string out;
  TStringByteSink sink(out);
  buffer.DecompressTo(sink);
  EXPECT_EQ(std::string("O\0K\0", 4), out);
}

TEST(BufferCompressTest, CompressToStreamFraming) {
  TprmBuffer buffer;
  buffer.Write("some text to compress");
  for (bool gzip : {false, true}) {
    std::string out;
    TStringByteSink sink(out);
    buffer.CompressToStream(sink, gzip);
    ASSERT_GE(out.size(), 2u);
    if (gzip) {
      EXPECT_EQ("\x1F\x8B", out.substr(0, 2));
      // The inflaters read zlib framing only.
      TprmBuffer back;
      EXPECT_THROW(back.Decompress(reinterpret_cast<const uint8_t*>(out.data()),
                                   static_cast<int64_t>(out.size())),
                   EZDecompressionError);
    } else {
      EXPECT_EQ('\x78', out[0]);
      EXPECT_EQ(ZDecompress(out), Bytes(buffer));
    }
    EXPECT_EQ(out.substr(0, 2), buffer.CompressToString(gzip).substr(0, 2));
  }
}

TEST(BufferCompressTest, CorruptInputRaisesZlibMessageAndKeepsEarlierBytes) {
  const std::string data = Noise(200000);
  std::string compressed = ZCompress(data);
  compressed.back() ^= 0x55;  // the trailing checksum: every byte inflates, then the check fails

  TprmBuffer buffer;
  try {
    buffer.Decompress(reinterpret_cast<const uint8_t*>(compressed.data()),
                      static_cast<int64_t>(compressed.size()));
    FAIL() << "expected EZDecompressionError";
  } catch (const EZDecompressionError& e) {
    EXPECT_EQ("data error", e.Message());
  }
  EXPECT_TRUE(Bytes(buffer) == data) << "kept " << buffer.Count() << " bytes";

  TprmBuffer garbage;
  garbage.WriteBytes("not zlib at all");
  try {
    garbage.DecompressTo();
    FAIL() << "expected EZDecompressionError";
  } catch (const EZDecompressionError& e) {
    EXPECT_EQ("data error", e.Message());
  }
}

TEST(BufferCompressTest, CutShortInputStopsQuietlyOrRaisesBufferError) {
  const std::string data = Noise(100000);
  const std::string compressed = ZCompress(data);
  const std::string cut = compressed.substr(0, compressed.size() / 2);

  TprmBuffer quiet;
  quiet.Decompress(reinterpret_cast<const uint8_t*>(cut.data()), static_cast<int64_t>(cut.size()));
  EXPECT_GT(quiet.Count(), 0);
  EXPECT_LT(quiet.Count(), static_cast<int64_t>(data.size()));
  EXPECT_TRUE(data.substr(0, static_cast<std::size_t>(quiet.Count())) == Bytes(quiet));

  TprmBuffer strict;
  strict.WriteBytes(cut);
  std::string out;
  TStringByteSink sink(out);
  for (auto attempt : {0, 1, 2}) {
    try {
      if (attempt == 0)
        strict.DecompressTo();
      if (attempt == 1)
        strict.DecompressTo(sink);
      if (attempt == 2)
        ZDecompress(cut);
      FAIL() << "expected EZDecompressionError, attempt " << attempt;
    } catch (const EZDecompressionError& e) {
      EXPECT_EQ("buffer error", e.Message());
    }
  }
}

TEST(BufferCompressTest, DecompressLimitedRefusesOversizedOutput) {
  const std::string data(100000, 'x');  // a small body that inflates large
  const std::string compressed = ZCompress(data);
  const auto* bytes = reinterpret_cast<const uint8_t*>(compressed.data());
  const auto count = static_cast<int64_t>(compressed.size());

  TprmBuffer exact;
  exact.DecompressLimited(bytes, count, data.size());
  EXPECT_EQ(data, Bytes(exact));

  TprmBuffer over;
  EXPECT_THROW(over.DecompressLimited(bytes, count, data.size() - 1), EZDecompressionLimitError);
  EXPECT_LE(over.Count(), static_cast<int64_t>(data.size() - 1));
  EXPECT_THROW(ZDecompress(compressed, 1000), EZDecompressionLimitError);

  TChunkedSource source(compressed);
  TprmBuffer streamed;
  EXPECT_THROW(streamed.DecompressLimited(source, 4096), EZDecompressionLimitError);
}

TEST(BufferCompressTest, DecompressFromStreamIgnoresBytesAfterTheZlibStream) {
  const std::string data = Noise(150000);
  TChunkedSource source(ZCompress(data) + "trailing bytes");
  TprmBuffer buffer;
  buffer.Decompress(source);
  EXPECT_TRUE(data == Bytes(buffer));

  TChunkedSource empty("");
  buffer.Decompress(empty);  // nothing to inflate: nothing appended
  EXPECT_TRUE(data == Bytes(buffer));
}

TEST(BufferStreamTest, SaveAndLoadThroughStreams) {
  const std::string data = Noise(20000);
  TprmBuffer buffer;
  buffer.WriteBytes(data);
  std::string saved;
  TStringByteSink sink(saved);
  buffer.SaveToStream(sink);
  EXPECT_TRUE(data == saved);

  TChunkedSource source(saved);
  TprmBuffer loaded;
  loaded.WriteBytes("x");
  loaded.LoadFromStream(source);
  EXPECT_TRUE("x" + data == Bytes(loaded));
  EXPECT_EQ(3, source.reads);  // 8192, 8192, then the short read that ends it

  TFailingSink failing;
  EXPECT_THROW(buffer.SaveToStream(failing), EprmException);
}

TEST(BufferStreamTest, FilesRoundTripAndReportFailures) {
  TempFile file;
  TprmBuffer buffer;
  buffer.Write("Grüße");
  buffer.SaveToFile(file.Path());
  TprmBuffer loaded;
  loaded.LoadFromFile(file.Path());
  EXPECT_EQ(Bytes(buffer), Bytes(loaded));

  buffer.SaveToFileUTF8(file.Path());  // truncates what was there
  EXPECT_EQ("Grüße", file.Read());

  buffer.CompressToFile(file.Path());
  TprmBuffer compressed;
  compressed.LoadFromFile(file.Path());
  EXPECT_EQ("Grüße", compressed.DecompressTo());
  compressed.DecompressToFile(file.Path());
  EXPECT_EQ(Bytes(buffer), file.Read());

  const std::string missing = file.Path() + "_missing/none";
  TprmBuffer unchanged;
  unchanged.WriteBytes("keep");
  try {
    unchanged.LoadFromFile(missing);
    FAIL() << "expected EprmFileError";
  } catch (const EprmFileError& e) {
    EXPECT_EQ(0u, e.Message().find("Cannot open file \"" + missing + "\". ")) << e.Message();
  }
  try {
    unchanged.SaveToFile(missing);
    FAIL() << "expected EprmFileError";
  } catch (const EprmFileError& e) {
    EXPECT_EQ(0u, e.Message().find("Cannot create file \"" + missing + "\". ")) << e.Message();
  }
  EXPECT_EQ("keep", Bytes(unchanged));
}

}  // namespace
}  // namespace qm
