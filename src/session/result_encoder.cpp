#include "session/result_encoder.h"

#include <atomic>

#include "db/postgres/pg_command.h"
#include "support/buffer.h"
#include "support/log.h"
#include "support/metrics.h"
#include "support/utf16.h"

namespace qm {

namespace {

std::atomic<int> g_block_level{kResultBlockDefaultLevel};
std::atomic<std::uint64_t> g_max_result_size{kDefaultMaxResultSize};

// The generic way: step the command row by row through its fields.
void EncodeByStepping(TmncSQLCommand& command, TResultBlockWriter& writer) {
  std::uint64_t row = 0;
  while (!command.Done()) {
    ++row;
    TmncFields* fields = command.Fields();
    const int count = fields == nullptr ? 0 : fields->Count();
    for (int i = 0; i < count; ++i) {
      TmncField* field = fields->Items(i);
      if (field->IsNull()) {
        writer.Null();
      } else {
        const Variant value = field->GetValue();
        if (value.Kind() == VariantKind::kBytes && !field->HasByteText()) {
          // The text form of bytes has no character above U+00FF: only the null marker clashes.
          const std::string bytes = value.ToString();
          if (bytes == kResultNullMarker)
            throw EqmUncarriableValue(field->Name(), row);
          writer.Bytes(bytes);
        } else {
          const std::string text = field->AsNullString();
          if (!ResultValueCarriable(text))
            throw EqmUncarriableValue(field->Name(), row);
          writer.Value(text);
        }
      }
      if (i < count - 1)
        writer.Separator();
    }
    writer.Terminator();
    command.Next();
  }
}

// One row of a libpq result: the value bytes as the library holds them.
// Number is the row's place in the whole result, counting from 1.
void WritePGRow(PGresult* result, int row, int columns, std::uint64_t number,
                TResultBlockWriter& writer) {
  TmncPGLib& lib = PGLib();
  for (int col = 0; col < columns; ++col) {
    if (lib.PQgetisnull(result, row, col) != 0) {
      writer.Null();
    } else {
      const char* value = lib.PQgetvalue(result, row, col);
      const int length = lib.PQgetlength(result, row, col);
      const std::string_view text = value == nullptr || length <= 0
                                        ? std::string_view()
                                        : std::string_view(value, static_cast<std::size_t>(length));
      if (!ResultValueCarriable(text))
        throw EqmUncarriableValue(PGText(lib.PQfname(result, col)), number);
      writer.Value(text);
    }
    if (col < columns - 1)
      writer.Separator();
  }
  writer.Terminator();
}

// PostgreSQL: the value bytes straight from the client library's results. A complete result
// is written whole, whatever row the command stands on; in single-row mode each row is its
// own result, written and freed as the command steps on, so the server never holds the
// whole result.
void EncodeFromResult(TmncPGCommand& command, TResultBlockWriter& writer) {
  const int columns = command.Columns().Count();
  if (columns == 0)
    return;
  if (command.SingleRowMode()) {
    std::uint64_t number = 0;
    while (!command.Done()) {
      ++number;
      if (PGresult* result = command.Statement(); result != nullptr)
        WritePGRow(result, command.Tuple(), columns, number, writer);
      command.Next();
    }
    return;
  }
  PGresult* result = command.Statement();
  if (result == nullptr)
    return;
  const int rows = PGLib().PQntuples(result);
  for (int row = 0; row < rows; ++row)
    WritePGRow(result, row, columns, static_cast<std::uint64_t>(row) + 1, writer);
}

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
  if (auto* pg = dynamic_cast<TmncPGCommand*>(&vCMD))
    EncodeFromResult(*pg, writer);
  else
    EncodeByStepping(vCMD, writer);
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
