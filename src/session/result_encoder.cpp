#include "session/result_encoder.h"

#include <atomic>

#include "support/buffer.h"
#include "support/log.h"
#include "support/metrics.h"
#include "support/utf16.h"

namespace qm {

namespace {

std::atomic<int> g_block_level{kResultBlockDefaultLevel};
std::atomic<std::uint64_t> g_max_result_size{kDefaultMaxResultSize};

// The command's rows into the block writer: a value that cannot travel ends the result with
// EqmUncarriableValue.
class TBlockRowSink final : public TmncRowSink {
 public:
  explicit TBlockRowSink(TResultBlockWriter& Writer) : FWriter(Writer) {}

  bool Value(std::string_view utf8) override {
    if (!ResultValueCarriable(utf8))
      return false;
    FWriter.Value(utf8);
    return true;
  }
  // The text form of bytes has no character above U+00FF: only the null marker clashes.
  bool Bytes(std::string_view bytes) override {
    if (bytes == kResultNullMarker)
      return false;
    FWriter.Bytes(bytes);
    return true;
  }
  void Null() override { FWriter.Null(); }
  void Separator() override { FWriter.Separator(); }
  void Terminator() override { FWriter.Terminator(); }
  [[noreturn]] void Refuse(std::string_view column, std::uint64_t row) override {
    throw EqmUncarriableValue(column, row);
  }

 private:
  TResultBlockWriter& FWriter;
};

}  // namespace

void SetResultBlockLevel(int vLevel) {
  g_block_level.store(vLevel);
}

int ResultBlockLevel() {
  return g_block_level.load();
}

void SetMaxResultSize(std::uint64_t vBytes) {
  g_max_result_size.store(vBytes);
}

std::uint64_t MaxResultSize() {
  return g_max_result_size.load();
}

std::vector<std::uint8_t> EncodeResultRows(TmncSQLCommand& vCMD, const std::string& vRemoteIP,
                                           TqmdResultEncoding vEncoding) {
  TLogTick tick([&] { return Format("[%s] Compress Request", {vRemoteIP}); });
  TqmdZCompressor compressor(ResultBlockLevel());
  compressor.SetLimit(MaxResultSize());
  TResultBlockWriter writer(compressor, vEncoding);
  TBlockRowSink sink(writer);
  vCMD.WriteRows(sink);
  std::vector<std::uint8_t> block = compressor.Finish();
  TServerMetrics& metrics = TServerMetrics::Instance();
  metrics.BlockBytesRaw += compressor.InputSize();
  metrics.BlockBytesCompressed += block.size();
  return block;
}

TDataHeaderType FieldHeaderType(TmnDataType vType) {
  switch (vType) {
    case dtBoolean:
      return dhtBoolean;
    case dtInteger:
      return dhtInteger;
    case dtCurrency:
      return dhtCurrency;
    case dtFloat:
      return dhtDouble;
    case dtDate:
    case dtTime:
    case dtDateTime:
      return dhtDateTime;
    default:
      return dhtString;
  }
}

std::string LowerFieldName(std::string_view vName) {
  std::u16string text = Utf8ToUtf16(vName);
  for (char16_t& c : text) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
        (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) || (c >= 0x410 && c <= 0x42F))
      c = static_cast<char16_t>(c + 0x20);
    else if (c >= 0x400 && c <= 0x40F)
      c = static_cast<char16_t>(c + 0x50);
  }
  return Utf16ToUtf8(text);
}

}  // namespace qm
