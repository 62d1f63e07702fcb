#include "support/variant.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "support/number_text.h"

namespace qm {
namespace {

[[noreturn]] void CastError(VariantKind from, const char* to) {
  throw EVariantError(std::string("Could not convert variant of type (") + VariantKindName(from) +
                      ") into type (" + to + ")");
}

[[noreturn]] void OverflowError(VariantKind from, const char* to) {
  throw EVariantError(std::string("Overflow while converting variant of type (") +
                      VariantKindName(from) + ") into type (" + to + ")");
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
    text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
    text.remove_suffix(1);
  return text;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z')
      x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = static_cast<char>(y - 'A' + 'a');
    if (x != y)
      return false;
  }
  return true;
}

// Rounds half to even, as the variant conversions of floats to integers do.
bool TryRoundToInt64(double value, std::int64_t& result) {
  if (std::isnan(value))
    return false;
  const double r = std::nearbyint(value);
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0)
    return false;
  result = static_cast<std::int64_t>(r);
  return true;
}

std::int64_t RoundCurrency(std::int64_t scaled) {
  // Whole units of a currency value, half to even.
  std::int64_t whole = scaled / 10000;
  std::int64_t rest = scaled % 10000;
  if (rest > 5000 || (rest == 5000 && (whole & 1) != 0))
    ++whole;
  else if (rest < -5000 || (rest == -5000 && (whole & 1) != 0))
    --whole;
  return whole;
}

void AppendPadded(std::string& out, int value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width)
    out.append(width - digits.size(), '0');
  out += digits;
}

// Reads exactly `count` digits at `pos`.
bool ReadDigits(std::string_view text, size_t& pos, size_t min_count, size_t max_count,
                int& value) {
  size_t start = pos;
  value = 0;
  while (pos < text.size() && pos - start < max_count && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return pos - start >= min_count;
}

bool ParseTime(std::string_view text, TDateTime& result) {
  size_t pos = 0;
  int hour = 0, minute = 0, second = 0, ms = 0;
  if (!ReadDigits(text, pos, 1, 2, hour) || pos >= text.size() || text[pos] != ':')
    return false;
  ++pos;
  if (!ReadDigits(text, pos, 2, 2, minute))
    return false;
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (!ReadDigits(text, pos, 2, 2, second))
      return false;
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      size_t start = pos;
      int digits = 0;
      if (!ReadDigits(text, pos, 1, 3, digits))
        return false;
      for (size_t n = pos - start; n < 3; ++n)
        digits *= 10;
      ms = digits;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
        ++pos;  // finer than a millisecond: dropped
    }
  }
  return pos == text.size() && TryEncodeTime(hour, minute, second, ms, result);
}

}  // namespace

const char* VariantKindName(VariantKind kind) {
  switch (kind) {
    case VariantKind::kEmpty:
      return "Empty";
    case VariantKind::kNull:
      return "Null";
    case VariantKind::kInt16:
      return "Smallint";
    case VariantKind::kInt32:
      return "Integer";
    case VariantKind::kInt64:
      return "Int64";
    case VariantKind::kSingle:
      return "Single";
    case VariantKind::kDouble:
      return "Double";
    case VariantKind::kCurrency:
      return "Currency";
    case VariantKind::kDateTime:
      return "Date";
    case VariantKind::kString:
      return "UnicodeString";
    case VariantKind::kBoolean:
      return "Boolean";
    case VariantKind::kBytes:
      return "Array Byte";
  }
  return "Unknown";
}

Currency Currency::FromDouble(double value) {
  std::int64_t scaled = 0;
  if (!TryRoundToInt64(value * 10000.0, scaled))
    OverflowError(VariantKind::kDouble, "Currency");
  return Currency{scaled};
}

namespace fixed_format {

std::string DateTimeToText(TDateTime value) {
  const double whole = std::trunc(value);
  const bool has_time = value != whole;
  std::string out;
  if (whole != 0 || !has_time) {
    DateParts d = DecodeDate(value);
    AppendPadded(out, d.year, 4);
    out += '-';
    AppendPadded(out, d.month, 2);
    out += '-';
    AppendPadded(out, d.day, 2);
  }
  if (has_time) {
    TimeParts t = DecodeTime(value);
    if (!out.empty())
      out += ' ';
    AppendPadded(out, t.hour, 2);
    out += ':';
    AppendPadded(out, t.minute, 2);
    out += ':';
    AppendPadded(out, t.second, 2);
    if (t.millisecond != 0) {
      out += '.';
      AppendPadded(out, t.millisecond, 3);
    }
  }
  return out;
}

bool TryTextToDateTime(std::string_view text, TDateTime& result) {
  text = TrimBlanks(text);
  if (text.size() >= 10 && text[4] == '-' && text[7] == '-') {
    size_t pos = 0;
    int year = 0, month = 0, day = 0;
    if (!ReadDigits(text, pos, 4, 4, year) || text[pos++] != '-' ||
        !ReadDigits(text, pos, 2, 2, month) || text[pos++] != '-' ||
        !ReadDigits(text, pos, 2, 2, day)) {
      return false;
    }
    TDateTime date = 0;
    if (!TryEncodeDate(year, month, day, date))
      return false;
    if (pos == text.size()) {
      result = date;
      return true;
    }
    if (text[pos] != ' ' && text[pos] != 'T')
      return false;
    TDateTime time = 0;
    if (!ParseTime(TrimBlanks(text.substr(pos + 1)), time))
      return false;
    result = date >= 0 ? date + time : date - time;
    return true;
  }
  return ParseTime(text, result);
}

}  // namespace fixed_format

bool Variant::IsNumeric() const {
  switch (Kind()) {
    case VariantKind::kInt16:
    case VariantKind::kInt32:
    case VariantKind::kInt64:
    case VariantKind::kSingle:
    case VariantKind::kDouble:
    case VariantKind::kCurrency:
      return true;
    default:
      return false;
  }
}

std::string Variant::ToString() const {
  switch (Kind()) {
    case VariantKind::kEmpty:
    case VariantKind::kNull:
      return std::string();
    case VariantKind::kInt16:
      return std::to_string(std::get<std::int16_t>(value_));
    case VariantKind::kInt32:
      return std::to_string(std::get<std::int32_t>(value_));
    case VariantKind::kInt64:
      return std::to_string(std::get<std::int64_t>(value_));
    case VariantKind::kSingle:
      return FloatToStr(std::get<float>(value_), 7);
    case VariantKind::kDouble:
      return FloatToStr(std::get<double>(value_), 15);
    case VariantKind::kCurrency:
      return CurrToStr(std::get<Currency>(value_).scaled);
    case VariantKind::kDateTime:
      return fixed_format::DateTimeToText(std::get<DateTimeValue>(value_).value);
    case VariantKind::kString:
      return std::get<std::string>(value_);
    case VariantKind::kBoolean:
      return std::get<bool>(value_) ? "True" : "False";
    case VariantKind::kBytes: {
      const TBytes& bytes = std::get<TBytes>(value_);
      return std::string(bytes.begin(), bytes.end());
    }
  }
  return std::string();
}

std::int64_t Variant::ToInt64() const {
  std::int64_t result = 0;
  switch (Kind()) {
    case VariantKind::kEmpty:
      return 0;
    case VariantKind::kInt16:
      return std::get<std::int16_t>(value_);
    case VariantKind::kInt32:
      return std::get<std::int32_t>(value_);
    case VariantKind::kInt64:
      return std::get<std::int64_t>(value_);
    case VariantKind::kSingle:
    case VariantKind::kDouble:
    case VariantKind::kDateTime:
      if (!TryRoundToInt64(ToDouble(), result))
        OverflowError(Kind(), "Int64");
      return result;
    case VariantKind::kCurrency:
      return RoundCurrency(std::get<Currency>(value_).scaled);
    case VariantKind::kBoolean:
      return std::get<bool>(value_) ? 1 : 0;
    case VariantKind::kString: {
      const std::string& s = std::get<std::string>(value_);
      double d = 0;
      if (TryStrToInt64(s, result))
        return result;
      if (TryStrToFloat(s, d) && TryRoundToInt64(d, result))
        return result;
      std::string_view t = TrimBlanks(s);
      if (EqualsIgnoreCase(t, "true"))
        return 1;
      if (EqualsIgnoreCase(t, "false"))
        return 0;
      CastError(Kind(), "Int64");
    }
    case VariantKind::kNull:
    case VariantKind::kBytes:
      break;
  }
  CastError(Kind(), "Int64");
}

std::int32_t Variant::ToInt32() const {
  if (Kind() == VariantKind::kNull || Kind() == VariantKind::kBytes)
    CastError(Kind(), "Integer");
  const std::int64_t v = ToInt64();
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    OverflowError(Kind(), "Integer");
  return static_cast<std::int32_t>(v);
}

double Variant::ToDouble() const {
  switch (Kind()) {
    case VariantKind::kEmpty:
      return 0;
    case VariantKind::kInt16:
      return std::get<std::int16_t>(value_);
    case VariantKind::kInt32:
      return std::get<std::int32_t>(value_);
    case VariantKind::kInt64:
      return static_cast<double>(std::get<std::int64_t>(value_));
    case VariantKind::kSingle:
      return std::get<float>(value_);
    case VariantKind::kDouble:
      return std::get<double>(value_);
    case VariantKind::kCurrency:
      return std::get<Currency>(value_).ToDouble();
    case VariantKind::kDateTime:
      return std::get<DateTimeValue>(value_).value;
    case VariantKind::kBoolean:
      return std::get<bool>(value_) ? 1 : 0;
    case VariantKind::kString: {
      double d = 0;
      if (TryStrToFloat(std::get<std::string>(value_), d))
        return d;
      break;
    }
    case VariantKind::kNull:
    case VariantKind::kBytes:
      break;
  }
  CastError(Kind(), "Double");
}

Currency Variant::ToCurrency() const {
  switch (Kind()) {
    case VariantKind::kCurrency:
      return std::get<Currency>(value_);
    case VariantKind::kEmpty:
      return Currency{};
    case VariantKind::kInt16:
    case VariantKind::kInt32:
    case VariantKind::kInt64:
    case VariantKind::kBoolean: {
      const std::int64_t v = ToInt64();
      if (v > std::numeric_limits<std::int64_t>::max() / 10000 ||
          v < std::numeric_limits<std::int64_t>::min() / 10000) {
        OverflowError(Kind(), "Currency");
      }
      return Currency{v * 10000};
    }
    case VariantKind::kString: {
      Currency c;
      double d = 0;
      if (TryStrToCurr(std::get<std::string>(value_), c.scaled))
        return c;
      if (TryStrToFloat(std::get<std::string>(value_), d))
        return Currency::FromDouble(d);
      break;
    }
    case VariantKind::kSingle:
    case VariantKind::kDouble:
    case VariantKind::kDateTime:
      return Currency::FromDouble(ToDouble());
    case VariantKind::kNull:
    case VariantKind::kBytes:
      break;
  }
  CastError(Kind(), "Currency");
}

TDateTime Variant::ToDateTime() const {
  switch (Kind()) {
    case VariantKind::kString: {
      TDateTime d = 0;
      if (fixed_format::TryTextToDateTime(std::get<std::string>(value_), d))
        return d;
      break;
    }
    case VariantKind::kNull:
    case VariantKind::kBytes:
    case VariantKind::kBoolean:
      break;
    default:
      return ToDouble();
  }
  CastError(Kind(), "Date");
}

bool Variant::ToBoolean() const {
  switch (Kind()) {
    case VariantKind::kBoolean:
      return std::get<bool>(value_);
    case VariantKind::kString: {
      std::string_view t = TrimBlanks(std::get<std::string>(value_));
      if (EqualsIgnoreCase(t, "true"))
        return true;
      if (EqualsIgnoreCase(t, "false"))
        return false;
      double d = 0;
      if (TryStrToFloat(t, d))
        return d != 0;
      break;
    }
    case VariantKind::kNull:
    case VariantKind::kBytes:
      break;
    default:
      return ToDouble() != 0;
  }
  CastError(Kind(), "Boolean");
}

TBytes Variant::ToBytes() const {
  switch (Kind()) {
    case VariantKind::kEmpty:
      return TBytes();
    case VariantKind::kBytes:
      return std::get<TBytes>(value_);
    case VariantKind::kString: {
      const std::string& s = std::get<std::string>(value_);
      return TBytes(s.begin(), s.end());
    }
    default:
      break;
  }
  CastError(Kind(), "Array Byte");
}

const std::string& Variant::StringRef() const {
  if (Kind() != VariantKind::kString)
    CastError(Kind(), "UnicodeString");
  return std::get<std::string>(value_);
}

}  // namespace qm
