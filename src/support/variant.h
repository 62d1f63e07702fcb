#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "support/date_time.h"
#include "support/exception.h"

namespace qm {

// A value that cannot be converted to the asked type (text that is no number, null read as a
// number, a number out of range). Field reads swallow exactly this class and yield zero.
class EVariantError : public Exception {
 public:
  using Exception::Exception;
};

using TBytes = std::vector<std::uint8_t>;

// Fixed point with four decimals: `scaled` is the value times 10000.
struct Currency {
  std::int64_t scaled = 0;

  static Currency FromDouble(double value);  // rounds to four decimals; EVariantError when too big
  double ToDouble() const { return static_cast<double>(scaled) / 10000.0; }
  friend bool operator==(const Currency&, const Currency&) = default;
};

// A date-time value kept apart from a plain double so that the kind survives.
struct DateTimeValue {
  TDateTime value = 0;
  friend bool operator==(const DateTimeValue&, const DateTimeValue&) = default;
};

enum class VariantKind {
  kEmpty,
  kNull,
  kInt16,
  kInt32,
  kInt64,
  kSingle,
  kDouble,
  kCurrency,
  kDateTime,
  kString,
  kBoolean,
  kBytes,
};

// The engine-neutral value: empty, null, or one typed value. A plain value type, safe to copy
// and to hand between threads; not synchronised itself.
//
// Conversions follow the fixed number format ("." decimal, no thousands separator, never the C
// locale). Empty converts to the zero value of every type; null converts only to text (""), and
// any other conversion of null raises EVariantError, as does unparsable text.
class Variant {
 public:
  struct Null {
    friend bool operator==(const Null&, const Null&) = default;
  };

  Variant() = default;  // empty
  Variant(Null) : value_(Null{}) {}
  Variant(std::int16_t v) : value_(v) {}
  Variant(std::int32_t v) : value_(v) {}
  Variant(std::int64_t v) : value_(v) {}
  Variant(float v) : value_(v) {}
  Variant(double v) : value_(v) {}
  Variant(Currency v) : value_(v) {}
  Variant(DateTimeValue v) : value_(v) {}
  Variant(bool v) : value_(v) {}
  Variant(std::string v) : value_(std::move(v)) {}
  Variant(std::string_view v) : value_(std::string(v)) {}
  Variant(const char* v) : value_(std::string(v)) {}
  Variant(TBytes v) : value_(std::move(v)) {}

  static Variant MakeNull() { return Variant(Null{}); }
  static Variant FromDateTime(TDateTime v) { return Variant(DateTimeValue{v}); }
  static Variant FromCurrency(double v) { return Variant(Currency::FromDouble(v)); }

  VariantKind Kind() const { return static_cast<VariantKind>(value_.index()); }
  bool IsEmpty() const { return Kind() == VariantKind::kEmpty; }
  bool IsNull() const { return Kind() == VariantKind::kNull; }
  bool IsNumeric() const;  // an integer, float or currency kind

  // Text: integers in decimal, floats with 15 (double) or 7 (single) significant digits in the
  // shortest form ("1.5", "1E20"), currency with up to four decimals, date-times as
  // "yyyy-mm-dd hh:nn:ss[.zzz]" (date alone at midnight, time alone on day 0), Booleans as
  // "True"/"False", byte arrays as their raw bytes. Null and empty give "".
  std::string ToString() const;
  std::int32_t ToInt32() const;
  std::int64_t ToInt64() const;
  double ToDouble() const;
  Currency ToCurrency() const;
  TDateTime ToDateTime() const;
  bool ToBoolean() const;
  TBytes ToBytes() const;

  // Direct access to the stored alternative; raises EVariantError on a kind mismatch.
  const std::string& StringRef() const;

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  // The alternative order matches VariantKind.
  std::variant<std::monostate, Null, std::int16_t, std::int32_t, std::int64_t, float, double,
               Currency, DateTimeValue, std::string, bool, TBytes>
      value_;
};

// The kind's name for messages, e.g. "Null", "Integer".
const char* VariantKindName(VariantKind kind);

// Date-time text of the fixed format, shared with the field classes. (Numbers use the helpers
// of support/number_text.h.)
namespace fixed_format {
// "yyyy-mm-dd hh:nn:ss[.zzz]"; the date alone at midnight, the time alone on day 0.
std::string DateTimeToText(TDateTime value);
// Strict: "yyyy-mm-dd", "yyyy-mm-dd hh:nn[:ss[.zzz]]" (blank or "T" between), "hh:nn[:ss[.zzz]]";
// false on anything else, including an impossible date or time.
bool TryTextToDateTime(std::string_view text, TDateTime& result);
}  // namespace fixed_format

}  // namespace qm
