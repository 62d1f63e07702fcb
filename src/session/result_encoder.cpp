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

// The generic way: step the command row by row through its fields.
void EncodeByStepping(TmncSQLCommand& command, TResultBlockWriter& writer) {
  while (!command.Done()) {
    TmncFields* fields = command.Fields();
    const int count = fields == nullptr ? 0 : fields->Count();
    for (int i = 0; i < count; ++i) {
      TmncField* field = fields->Items(i);
      if (field->IsNull()) {
        writer.Null();
      } else {
        const Variant value = field->GetValue();
        if (value.Kind() == VariantKind::kBytes) {
          writer.Bytes(value.ToString());  // the raw bytes
        } else {
          writer.Value(field->AsNullString());
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
void WritePGRow(PGresult* result, int row, int columns, TResultBlockWriter& writer) {
  TmncPGLib& lib = PGLib();
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

// PostgreSQL: the value bytes straight from the client library's results. A complete result
// is written whole, whatever row the command stands on; in single-row mode each row is its
// own result, written and freed as the command steps on, so the server never holds the
// whole result.
void EncodeFromResult(TmncPGCommand& command, TResultBlockWriter& writer) {
  const int columns = command.Columns().Count();
  if (columns == 0)
    return;
  if (command.SingleRowMode()) {
    while (!command.Done()) {
      if (PGresult* result = command.Statement(); result != nullptr)
        WritePGRow(result, command.Tuple(), columns, writer);
      command.Next();
    }
    return;
  }
  PGresult* result = command.Statement();
  if (result == nullptr)
    return;
  const int rows = PGLib().PQntuples(result);
  for (int row = 0; row < rows; ++row)
    WritePGRow(result, row, columns, writer);
}

}  // namespace

void SetResultBlockLevel(int vLevel) {
  g_block_level.store(vLevel);
}

int ResultBlockLevel() {
  return g_block_level.load();
}

std::vector<std::uint8_t> EncodeResultRows(TmncSQLCommand& vCMD, const std::string& vRemoteIP,
                                           TqmdResultEncoding vEncoding) {
  TLogTick tick([&] { return Format("[%s] Compress Request", {vRemoteIP}); });
  TqmdZCompressor compressor(ResultBlockLevel());
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
