#include "session/result_encoder.h"

#include <zlib.h>

#include "db/postgres/pg_command.h"
#include "support/buffer.h"
#include "support/log.h"
#include "support/utf16.h"

namespace qm {

// --- TqmdZCompressor ---

struct TqmdZCompressor::TState {
  z_stream Stream{};
  bool Ended = false;
};

TqmdZCompressor::TqmdZCompressor() : FState(std::make_unique<TState>()) {
  if (deflateInit(&FState->Stream, Z_DEFAULT_COMPRESSION) != Z_OK)
    throw EprmException("deflateInit failed");
}

TqmdZCompressor::~TqmdZCompressor() {
  if (!FState->Ended)
    deflateEnd(&FState->Stream);
}

void TqmdZCompressor::Deflate(const std::uint8_t* data, std::size_t count, int flush) {
  z_stream& stream = FState->Stream;
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(count);
  constexpr std::size_t kChunk = 64 * 1024;
  for (;;) {
    const std::size_t used = FOutput.size();
    FOutput.resize(used + kChunk);
    stream.next_out = FOutput.data() + used;
    stream.avail_out = static_cast<uInt>(kChunk);
    const int result = deflate(&stream, flush);
    FOutput.resize(used + kChunk - stream.avail_out);
    if (result == Z_STREAM_ERROR)
      throw EprmException("deflate failed");
    if (flush == Z_FINISH ? result == Z_STREAM_END : stream.avail_out != 0)
      break;
  }
}

void TqmdZCompressor::Write(std::string_view bytes) {
  // uInt is 32 bits: feed very large values in pieces.
  constexpr std::size_t kPiece = 1u << 30;
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), kPiece);
    Deflate(reinterpret_cast<const std::uint8_t*>(bytes.data()), n, Z_NO_FLUSH);
    bytes.remove_prefix(n);
  }
}

std::vector<std::uint8_t> TqmdZCompressor::Finish() {
  Deflate(nullptr, 0, Z_FINISH);
  deflateEnd(&FState->Stream);
  FState->Ended = true;
  return std::move(FOutput);
}

// --- rows ---

namespace {

// Writes values and markers in the block's text form.
class TRowWriter {
 public:
  TRowWriter(TqmdZCompressor& Compressor, TqmdResultEncoding Encoding)
      : FCompressor(Compressor), FEncoding(Encoding) {
    if (FEncoding == TqmdResultEncoding::UTF16) {
      FNull = Utf8ToUtf16Le(kResultNullMarker);
      FSeparator = Utf8ToUtf16Le(kResultFieldSeparator);
      FTerminator = Utf8ToUtf16Le(kResultRowTerminator);
    } else {
      FNull = kResultNullMarker;
      FSeparator = kResultFieldSeparator;
      FTerminator = kResultRowTerminator;
    }
  }
  void Value(std::string_view utf8) {
    if (FEncoding == TqmdResultEncoding::UTF16)
      FCompressor.Write(Utf8ToUtf16Le(utf8));
    else
      FCompressor.Write(utf8);
  }
  void Null() { FCompressor.Write(FNull); }
  void Separator() { FCompressor.Write(FSeparator); }
  void Terminator() { FCompressor.Write(FTerminator); }

 private:
  TqmdZCompressor& FCompressor;
  TqmdResultEncoding FEncoding;
  std::string FNull;
  std::string FSeparator;
  std::string FTerminator;
};

// The generic way: step the command row by row through its fields.
void EncodeByStepping(TmncSQLCommand& command, TRowWriter& writer) {
  while (!command.Done()) {
    TmncFields* fields = command.Fields();
    const int count = fields == nullptr ? 0 : fields->Count();
    for (int i = 0; i < count; ++i) {
      TmncField* field = fields->Items(i);
      if (field->IsNull())
        writer.Null();
      else
        writer.Value(field->AsNullString());
      if (i < count - 1)
        writer.Separator();
    }
    writer.Terminator();
    command.Next();
  }
}

// PostgreSQL: the value bytes straight from the client library's complete result, whatever
// row the command stands on.
void EncodeFromResult(TmncPGCommand& command, TRowWriter& writer) {
  PGresult* result = command.Statement();
  const int columns = command.Columns().Count();
  if (result == nullptr || columns == 0)
    return;
  TmncPGLib& lib = PGLib();
  const int rows = lib.PQntuples(result);
  for (int row = 0; row < rows; ++row) {
    for (int col = 0; col < columns; ++col) {
      if (lib.PQgetisnull(result, row, col) != 0) {
        writer.Null();
      } else {
        const char* value = lib.PQgetvalue(result, row, col);
        const int length = lib.PQgetlength(result, row, col);
        writer.Value(value == nullptr || length <= 0
                         ? std::string_view()
                         : std::string_view(value, static_cast<std::size_t>(length)));
      }
      if (col < columns - 1)
        writer.Separator();
    }
    writer.Terminator();
  }
}

}  // namespace

std::vector<std::uint8_t> EncodeResultRows(TmncSQLCommand& vCMD, const std::string& vRemoteIP,
                                           TqmdResultEncoding vEncoding) {
  TLogTick tick([&] { return Format("[%s] Compress Request", {vRemoteIP}); });
  TqmdZCompressor compressor;
  TRowWriter writer(compressor, vEncoding);
  if (auto* pg = dynamic_cast<TmncPGCommand*>(&vCMD))
    EncodeFromResult(*pg, writer);
  else
    EncodeByStepping(vCMD, writer);
  return compressor.Finish();
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
