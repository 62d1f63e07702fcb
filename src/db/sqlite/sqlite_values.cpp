#include "db/sqlite/sqlite_values.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "db/db_errors.h"
#include "support/date_time.h"
#include "support/text_utils.h"

namespace qm {
namespace {

// Date-time numbers count days from 1899-12-30; SQLite's date functions count Julian days.
constexpr double kJulianDayOffset = 2415018.5;

bool IsDateDeclaration(const std::string& declared) {
  return SameText(declared, "date") || SameText(declared, "timestamp") ||
         SameText(declared, "datetime");
}

bool IsDateColumn(const TmncColumn* column) {
  if (column == nullptr)
    return false;
  const TmnDataType type = column->DataType();
  return type == dtDate || type == dtTime || type == dtDateTime;
}

TBytes Bytes(const void* data, int size) {
  if (data == nullptr || size <= 0)
    return TBytes();
  const auto* begin = static_cast<const std::uint8_t*>(data);
  return TBytes(begin, begin + size);
}

}  // namespace

std::string SQLiteText(const char* text) {
  return text == nullptr ? std::string() : std::string(text);
}

std::string SQLiteColumnName(std::string name) {
  if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') &&
      name.back() == name.front())
    return name.substr(1, name.size() - 2);
  return name;
}

TmnDataType SQLiteColumnDataType(int storage, const std::string& declared) {
  switch (storage) {
    case SQLITE_INTEGER:
      return IsDateDeclaration(declared) ? dtDate : dtInteger;
    case SQLITE_FLOAT:
      return IsDateDeclaration(declared) ? dtDateTime : dtFloat;
    case SQLITE_TEXT:
      if (SameText(declared, "Blob"))
        return dtBlob;
      if (SameText(declared, "timestamp"))
        return dtDateTime;
      return dtString;
    case SQLITE_BLOB:
      return dtBlob;
    default:
      return dtUnknown;
  }
}

// By the library's column affinity rules. No declared type (an expression) reads as text;
// BOOLEAN as an integer (Booleans are bound as 0 and 1); any other numeric column (NUMERIC,
// DECIMAL, DATE ...) as a float, which holds every number and is how date-times are stored.
int SQLiteDeclaredStorage(const std::string& declared) {
  const std::string type = UpperCase(declared);
  auto has = [&type](const char* part) { return type.find(part) != std::string::npos; };
  if (type.empty())
    return SQLITE_TEXT;
  if (has("INT") || has("BOOL"))
    return SQLITE_INTEGER;
  if (has("CHAR") || has("CLOB") || has("TEXT"))
    return SQLITE_TEXT;
  if (has("BLOB"))
    return SQLITE_BLOB;
  return SQLITE_FLOAT;
}

Variant SQLiteColumnValue(TmncSQLiteLib& lib, sqlite3_stmt* statement, int index,
                          const TmncColumn* column, bool correct_date) {
  switch (lib.sqlite3_column_type(statement, index)) {
    case SQLITE_INTEGER: {
      const std::int64_t value = lib.sqlite3_column_int64(statement, index);
      if (IsDateColumn(column)) {
        const double days = static_cast<double>(value);
        return Variant::FromDateTime(correct_date ? std::trunc(days - kJulianDayOffset) : days);
      }
      // Whole 64-bit values; those that fit keep the 32-bit kind.
      if (value >= std::numeric_limits<std::int32_t>::min() &&
          value <= std::numeric_limits<std::int32_t>::max())
        return Variant(static_cast<std::int32_t>(value));
      return Variant(value);
    }
    case SQLITE_FLOAT: {
      const double value = lib.sqlite3_column_double(statement, index);
      if (IsDateColumn(column))
        return Variant::FromDateTime(correct_date ? value - kJulianDayOffset : value);
      return Variant(value);
    }
    case SQLITE_TEXT: {
      if (column != nullptr && SameText(column->MetaType(), "Blob")) {
        const void* data = lib.sqlite3_column_blob(statement, index);
        return Variant(Bytes(data, lib.sqlite3_column_bytes(statement, index)));
      }
      const auto* data = lib.sqlite3_column_text(statement, index);
      const int size = lib.sqlite3_column_bytes(statement, index);
      std::string text =
          data == nullptr || size <= 0
              ? std::string()
              : std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
      if (IsDateColumn(column)) {
        try {
          return Variant::FromDateTime(ParseISODateTime(text, '-', '\0', false));
        } catch (const EConvertError&) {
          // An impossible date stays readable as the text it is.
        }
      }
      return Variant(std::move(text));
    }
    case SQLITE_BLOB: {
      const void* data = lib.sqlite3_column_blob(statement, index);
      return Variant(Bytes(data, lib.sqlite3_column_bytes(statement, index)));
    }
    default:
      return Variant::MakeNull();
  }
}

int SQLiteBindValue(TmncSQLiteLib& lib, sqlite3_stmt* statement, int index, const Variant& value,
                    TmncSQLiteBind& bind, bool correct_date) {
  int result = SQLITE_OK;
  switch (value.Kind()) {
    case VariantKind::kNull:
      result = lib.sqlite3_bind_null(statement, index);
      break;
    case VariantKind::kInt32:
      result = lib.sqlite3_bind_int(statement, index, value.ToInt32());
      break;
    case VariantKind::kInt64:
      result = lib.sqlite3_bind_int64(statement, index, value.ToInt64());
      break;
    case VariantKind::kDouble:
    case VariantKind::kCurrency:
      result = lib.sqlite3_bind_double(statement, index, value.ToDouble());
      break;
    case VariantKind::kDateTime:
      result = lib.sqlite3_bind_double(
          statement, index, value.ToDateTime() + (correct_date ? kJulianDayOffset : 0.0));
      break;
    case VariantKind::kBoolean:
      result = lib.sqlite3_bind_int(statement, index, value.ToBoolean() ? 1 : 0);
      break;
    case VariantKind::kBytes: {
      // Bytes go as a blob, whole: as text they would end at the first zero byte.
      const TBytes bytes = value.ToBytes();
      if (bytes.empty()) {
        result = lib.sqlite3_bind_null(statement, index);
      } else {
        const std::string& buffer = bind.SetBuffer(std::string(bytes.begin(), bytes.end()));
        result = lib.sqlite3_bind_blob(statement, index, buffer.data(), bind.BufferSize(),
                                       SQLITE_STATIC);
      }
      break;
    }
    default: {
      // Text, and every other kind in its text form; the empty text is stored as NULL.
      std::string text = value.ToString();
      if (text.empty()) {
        result = lib.sqlite3_bind_null(statement, index);
      } else {
        const std::string& buffer = bind.SetBuffer(std::move(text));
        result = lib.sqlite3_bind_text(statement, index, buffer.c_str(), bind.BufferSize(),
                                       SQLITE_STATIC);
      }
      break;
    }
  }
  return result;
}

const std::string& TmncSQLiteBind::SetBuffer(std::string bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw EmncSQLError("sqlite: parameter value is too big", SQLITE_TOOBIG);
  FBufferSize = static_cast<int>(bytes.size());
  FBuffer = std::move(bytes);
  // std::string keeps a terminating zero byte after its content.
  return FBuffer;
}

void TmncSQLiteBind::FreeBuffer() {
  FBuffer = std::string();
  FBufferSize = 0;
}

std::unique_ptr<TmncBind> TmncSQLiteBinds::CreateBind(TmncParam* param) {
  auto bind = std::make_unique<TmncSQLiteBind>();
  bind->SetParam(param);
  return bind;
}

}  // namespace qm
