#include "db/firebird/fb_values.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "db/firebird/fb_api.h"
#include "db/firebird/fb_errors.h"
#include "db/firebird/fb_params.h"
#include "support/date_time.h"
#include "support/utf16.h"

namespace qm {
namespace {

constexpr int kDateOffset = 15018;  // 1858-11-17 (the library's day 0) to 1899-12-30
constexpr std::int64_t kTimeUnitsPerMs = 10;
constexpr std::int64_t kTimeUnitsPerDay = 86400LL * 10000;
constexpr short kCharsetOctets = 1;
constexpr short kCharsetUTF8 = 4;

using Int128 = __int128;

// The data size of a descriptor of this type and declared length; -1 for an unknown type.
int BufferSize(short def, short length) {
  switch (def) {
    case SQL_VARYING:
      return length + 2;
    case SQL_TEXT:
    case SQL_DOUBLE:
    case SQL_FLOAT:
    case SQL_LONG:
    case SQL_SHORT:
    case SQL_TIMESTAMP:
    case SQL_BLOB:
    case SQL_D_FLOAT:
    case SQL_ARRAY:
    case SQL_QUAD:
    case SQL_TYPE_TIME:
    case SQL_TYPE_DATE:
    case SQL_INT64:
    case kSQLInt128:
    case SQL_BOOLEAN:
      return length == 0 ? 1 : length;
    default:
      return -1;
  }
}

std::string DecimalText(Int128 value) {
  const bool negative = value < 0;
  unsigned __int128 magnitude = negative ? static_cast<unsigned __int128>(-(value + 1)) + 1
                                         : static_cast<unsigned __int128>(value);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  return negative ? "-" + digits : digits;
}

// The value of a stored integer of `scale`: a currency when it fits with four decimals, else
// the exact decimal text; scale 0 an integer.
Variant ScaledValue(Int128 value, int scale) {
  if (scale == 0) {
    if (value >= std::numeric_limits<std::int64_t>::min() &&
        value <= std::numeric_limits<std::int64_t>::max())
      return Variant(static_cast<std::int64_t>(value));
    return Variant(DecimalText(value));
  }
  if (scale < 0 && scale >= -4) {
    Int128 scaled = value;
    for (int i = 0; i < 4 + scale; ++i)
      scaled *= 10;
    if (scaled >= std::numeric_limits<std::int64_t>::min() &&
        scaled <= std::numeric_limits<std::int64_t>::max())
      return Variant(Currency{static_cast<std::int64_t>(scaled)});
  }
  const std::string text = DecimalText(value);
  const bool negative = text[0] == '-';
  return Variant(FBScaledText(negative, negative ? text.substr(1) : text, scale));
}

Int128 StoredInteger(const XSQLVAR& var) {
  switch (FBSqlDef(var)) {
    case SQL_SHORT: {
      std::int16_t v;
      std::memcpy(&v, var.sqldata, sizeof v);
      return v;
    }
    case SQL_LONG: {
      std::int32_t v;
      std::memcpy(&v, var.sqldata, sizeof v);
      return v;
    }
    case SQL_INT64: {
      std::int64_t v;
      std::memcpy(&v, var.sqldata, sizeof v);
      return v;
    }
    default: {  // INT128: 16 bytes, least significant first
      Int128 v;
      std::memcpy(&v, var.sqldata, sizeof v);
      return v;
    }
  }
}

std::size_t Utf8Length(std::string_view text) {
  std::size_t count = 0;
  for (char c : text)
    count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

// CHAR of UTF-8 comes padded to four bytes per character: keep the declared character count.
std::string CharText(const XSQLVAR& var) {
  std::string text(var.sqldata, static_cast<std::size_t>(var.sqllen));
  if ((var.sqlsubtype & 0xFF) == kCharsetUTF8) {
    const std::size_t width = static_cast<std::size_t>(var.sqllen) / 4;
    while (!text.empty() && text.back() == ' ' && Utf8Length(text) > width)
      text.pop_back();
  }
  return text;
}

TBytes Bytes(const char* data, std::size_t size) {
  const auto* begin = reinterpret_cast<const std::uint8_t*>(data);
  return TBytes(begin, begin + size);
}

}  // namespace

// ---- Descriptor areas ----

void TFBSQLDA::Resize(int count) {
  const std::size_t bytes = XSQLDA_LENGTH(count < 1 ? 1 : count);
  const std::size_t slots = (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
  FMemory = std::make_unique<std::max_align_t[]>(slots);
  std::memset(FMemory.get(), 0, slots * sizeof(std::max_align_t));
  FCount = count;
  Area()->version = SQLDA_VERSION1;
  Area()->sqln = static_cast<ISC_SHORT>(count);
  FData.assign(static_cast<std::size_t>(count), std::vector<char>());
  FIndicators = std::make_unique<short[]>(static_cast<std::size_t>(count < 1 ? 1 : count));
}

int TFBSQLDA::Described() const {
  return reinterpret_cast<const XSQLDA*>(FMemory.get())->sqld;
}

void TFBSQLDA::AllocateBuffers() {
  const int count = std::min(FCount, Described());
  for (int i = 0; i < count; ++i) {
    XSQLVAR& var = Var(i);
    const int size = BufferSize(FBSqlDef(var), var.sqllen);
    if (size < 0)
      RaiseClientError(fbceUnknownSQLDataType, {static_cast<int>(FBSqlDef(var))});
    FData[static_cast<std::size_t>(i)].assign(static_cast<std::size_t>(size), '\0');
    var.sqldata = FData[static_cast<std::size_t>(i)].data();
    FIndicators[static_cast<std::size_t>(i)] = 0;
    var.sqlind = &FIndicators[static_cast<std::size_t>(i)];
  }
}

// ---- Descriptions ----

TmnDataType FBDataType(const XSQLVAR& var) {
  switch (FBSqlDef(var)) {
    case SQL_TEXT:
    case SQL_VARYING:
      return dtString;
    case SQL_DOUBLE:
    case SQL_FLOAT:
    case SQL_D_FLOAT:
      return dtFloat;
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64:
      // A decimal scale keeps its fraction: a currency, exact to four decimals.
      return var.sqlscale == 0 ? dtInteger : dtCurrency;
    case SQL_TIMESTAMP:
      return dtDateTime;
    case SQL_BLOB:
    case SQL_QUAD:
      return dtBlob;
    case SQL_TYPE_TIME:
      return dtTime;
    case SQL_TYPE_DATE:
      return dtDate;
    case SQL_BOOLEAN:
      return dtBoolean;
    default:
      return dtUnknown;
  }
}

std::string FBAliasName(const XSQLVAR& var) {
  const auto length = static_cast<std::size_t>(std::max<short>(0, var.aliasname_length));
  return std::string(var.aliasname, std::min(length, sizeof var.aliasname));
}

std::string FBScaledText(bool negative, std::string digits, int scale) {
  if (scale > 0) {
    digits.append(static_cast<std::size_t>(scale), '0');
  } else if (scale < 0) {
    const auto places = static_cast<std::size_t>(-scale);
    if (digits.size() <= places)
      digits.insert(0, places - digits.size() + 1, '0');
    digits.insert(digits.size() - places, 1, '.');
    while (digits.back() == '0')
      digits.pop_back();
    if (digits.back() == '.')
      digits.pop_back();
  }
  if (digits == "0")
    negative = false;
  return negative ? "-" + digits : digits;
}

// ---- Dates ----

TDateTime FBDecodeDate(ISC_DATE date) {
  return static_cast<TDateTime>(static_cast<std::int64_t>(date) - kDateOffset);
}

TDateTime FBDecodeTime(ISC_TIME time) {
  // Truncated to the millisecond: a fraction never carries into the next second or day.
  const std::int64_t ms = static_cast<std::int64_t>(time) / kTimeUnitsPerMs;
  return static_cast<TDateTime>(ms) / 86400000.0;
}

std::string FBDateTimeText(TmnDataType type, TDateTime value) {
  const char* pattern = type == dtDate   ? "yyyy-mm-dd"
                        : type == dtTime ? "hh:nn:ss"
                                         : "yyyy-mm-dd hh:nn:ss";
  std::string text = FormatDateTime(pattern, value);
  if (type != dtDate && DecodeTime(value).millisecond != 0)
    text += FormatDateTime(".zzz", value);
  return text;
}

ISC_DATE FBEncodeDate(TDateTime value) {
  const DateParts parts = DecodeDate(value);
  return static_cast<ISC_DATE>(
      static_cast<std::int64_t>(EncodeDate(parts.year, parts.month, parts.day)) + kDateOffset);
}

ISC_TIME FBEncodeTime(TDateTime value) {
  const TimeParts parts = DecodeTime(value);
  const std::int64_t ms =
      ((parts.hour * 60LL + parts.minute) * 60 + parts.second) * 1000 + parts.millisecond;
  return static_cast<ISC_TIME>((ms * kTimeUnitsPerMs) % kTimeUnitsPerDay);
}

// ---- Reading ----

Variant FBReadValue(const TFBHandles& handles, const XSQLVAR& var) {
  if ((var.sqltype & 1) != 0 && var.sqlind != nullptr && *var.sqlind == -1)
    return Variant::MakeNull();
  const char* data = var.sqldata;
  switch (FBSqlDef(var)) {
    case SQL_TEXT:
      if ((var.sqlsubtype & 0xFF) == kCharsetOctets)
        return Variant(Bytes(data, static_cast<std::size_t>(var.sqllen)));
      return Variant(CharText(var));
    case SQL_VARYING: {
      const auto length = static_cast<std::size_t>(FBPortableInteger(data, 2) & 0xFFFF);
      if ((var.sqlsubtype & 0xFF) == kCharsetOctets)
        return Variant(Bytes(data + 2, length));
      return Variant(std::string(data + 2, length));
    }
    case SQL_SHORT:
    case SQL_LONG:
      if (var.sqlscale == 0)
        return Variant(static_cast<std::int32_t>(StoredInteger(var)));
      return ScaledValue(StoredInteger(var), var.sqlscale);
    case SQL_INT64:
    case kSQLInt128:
      return ScaledValue(StoredInteger(var), var.sqlscale);
    case SQL_FLOAT: {
      float v;
      std::memcpy(&v, data, sizeof v);
      return Variant(v);
    }
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
      double v;
      std::memcpy(&v, data, sizeof v);
      return Variant(v);
    }
    case SQL_TIMESTAMP: {
      ISC_TIMESTAMP v;
      std::memcpy(&v, data, sizeof v);
      const TDateTime date = FBDecodeDate(v.timestamp_date);
      const TDateTime time = FBDecodeTime(v.timestamp_time);
      return Variant::FromDateTime(date < 0 ? date - time : date + time);
    }
    case SQL_TYPE_DATE: {
      ISC_DATE v;
      std::memcpy(&v, data, sizeof v);
      return Variant::FromDateTime(FBDecodeDate(v));
    }
    case SQL_TYPE_TIME: {
      ISC_TIME v;
      std::memcpy(&v, data, sizeof v);
      return Variant::FromDateTime(FBDecodeTime(v));
    }
    case SQL_BOOLEAN:
      return Variant(data[0] != 0);
    case SQL_BLOB: {
      ISC_QUAD id;
      std::memcpy(&id, data, sizeof id);
      std::string content = FBReadBlob(handles, id);
      if (var.sqlsubtype == isc_blob_text)
        return Variant(std::move(content));
      return Variant(Bytes(content.data(), content.size()));
    }
    case SQL_ARRAY:
      return Variant("[Array]");
    case SQL_QUAD:
      return Variant(Bytes(data, 8));
    default:
      RaiseClientError(fbceInvalidDataConversion);
  }
}

// ---- Writing ----

namespace {

template <typename T>
void Store(XSQLVAR& var, std::vector<char>& data, short type, short scale, const T& value) {
  data.assign(sizeof(T), '\0');
  std::memcpy(data.data(), &value, sizeof(T));
  var.sqltype = static_cast<short>(type | 1);
  var.sqlscale = scale;
  var.sqllen = static_cast<short>(sizeof(T));
  var.sqldata = data.data();
}

void StoreText(XSQLVAR& var, std::vector<char>& data, std::string_view bytes, short charset) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<short>::max()))
    throw EFBClientError(fbceInvalidDataConversion,
                         Format("Parameter value of %d bytes is too long for a text parameter",
                                {static_cast<std::int64_t>(bytes.size())}));
  data.assign(bytes.begin(), bytes.end());
  data.push_back('\0');
  var.sqltype = SQL_TEXT | 1;
  var.sqlscale = 0;
  var.sqlsubtype = charset;
  var.sqllen = static_cast<short>(bytes.size());
  var.sqldata = data.data();
}

bool IsTextType(short def) {
  return def == SQL_TEXT || def == SQL_VARYING;
}

bool IsNumericType(short def) {
  return def == SQL_SHORT || def == SQL_LONG || def == SQL_INT64 || def == kSQLInt128 ||
         def == SQL_FLOAT || def == SQL_DOUBLE || def == SQL_D_FLOAT;
}

}  // namespace

void FBWriteValue(const TFBHandles& handles, const Variant& value, XSQLVAR& var,
                  std::vector<char>& data, short& indicator) {
  const short described = FBSqlDef(var);
  var.sqlind = &indicator;
  indicator = 0;
  auto set_null = [&] {
    const int size = BufferSize(described, var.sqllen);
    data.assign(static_cast<std::size_t>(size < 1 ? 1 : size), '\0');
    var.sqldata = data.data();
    var.sqltype = static_cast<short>(var.sqltype | 1);
    indicator = -1;
  };
  auto store_blob = [&](std::string_view bytes) {
    const ISC_QUAD id = FBWriteBlob(handles, bytes);
    const short subtype = var.sqlsubtype;
    Store(var, data, SQL_BLOB, 0, id);
    var.sqlsubtype = subtype;
  };
  switch (value.Kind()) {
    case VariantKind::kEmpty:
    case VariantKind::kNull:
      set_null();
      return;
    case VariantKind::kInt16:
    case VariantKind::kInt32:
    case VariantKind::kInt64:
      if (described == SQL_BOOLEAN)
        Store(var, data, SQL_BOOLEAN, 0, static_cast<char>(value.ToInt64() != 0));
      else
        Store(var, data, SQL_INT64, 0, value.ToInt64());
      return;
    case VariantKind::kSingle:
    case VariantKind::kDouble:
      Store(var, data, SQL_DOUBLE, 0, value.ToDouble());
      return;
    case VariantKind::kCurrency:
      Store(var, data, SQL_INT64, -4, value.ToCurrency().scaled);
      return;
    case VariantKind::kDateTime: {
      const TDateTime v = value.ToDateTime();
      if (described == SQL_TYPE_DATE) {
        Store(var, data, SQL_TYPE_DATE, 0, FBEncodeDate(v));
      } else if (described == SQL_TYPE_TIME) {
        Store(var, data, SQL_TYPE_TIME, 0, FBEncodeTime(v));
      } else {
        ISC_TIMESTAMP stamp{FBEncodeDate(v), FBEncodeTime(v)};
        Store(var, data, SQL_TIMESTAMP, 0, stamp);
      }
      return;
    }
    case VariantKind::kBoolean:
      if (IsNumericType(described))
        Store(var, data, SQL_SHORT, 0, static_cast<std::int16_t>(value.ToBoolean() ? 1 : 0));
      else
        Store(var, data, SQL_BOOLEAN, 0, static_cast<char>(value.ToBoolean() ? 1 : 0));
      return;
    case VariantKind::kString: {
      const std::string& text = value.StringRef();
      if (described == SQL_BLOB) {
        if (text.empty())
          set_null();
        else
          store_blob(text);
      } else if (IsTextType(described)) {
        StoreText(var, data, text, var.sqlsubtype);
      } else if (text.empty()) {
        set_null();  // an empty text is no number, date or Boolean
      } else {
        StoreText(var, data, text, 0);
      }
      return;
    }
    case VariantKind::kBytes: {
      const TBytes bytes = value.ToBytes();
      const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      if (described == SQL_BLOB)
        store_blob(view);
      else
        StoreText(var, data, view, kCharsetOctets);
      return;
    }
  }
  RaiseClientError(fbceUnsupportedFeature);
}

// ---- Fields ----

std::string TmncFBField::GetAsString() const {
  const TmnDataType type = FColumn != nullptr ? FColumn->DataType() : dtUnknown;
  if (FValue.Kind() == VariantKind::kDateTime)
    return FBDateTimeText(type == dtDate || type == dtTime ? type : dtDateTime,
                          FValue.ToDateTime());
  if (FValue.Kind() != VariantKind::kBytes)
    return TmncVariantField::GetAsString();
  if (type == dtBlob) {
    // A binary blob's content read as text; bytes that are not UTF-8 become U+FFFD.
    const TBytes bytes = FValue.ToBytes();
    return ValidUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t byte : FValue.ToBytes()) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace qm
