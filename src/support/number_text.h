#pragma once

// Numbers as text and back, independent of the C locale. All functions are stateless and may be
// called from any thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// Number conversions with the process-wide number format: "." decimal separator, no thousands
// separators, independent of the C locale. Text parsing allows blanks around the number and a
// leading sign; anything else (including a value out of range) does not convert.
bool TryStrToInt(std::string_view text, std::int32_t& value);
bool TryStrToInt64(std::string_view text, std::int64_t& value);
std::int32_t StrToIntDef(std::string_view text, std::int32_t default_value);
std::int64_t StrToInt64Def(std::string_view text, std::int64_t default_value);

// Decimal with an optional exponent ("1.5", "-2e3", ".5"); "inf" and "nan" do not convert.
bool TryStrToFloat(std::string_view text, double& value);
double StrToFloatDef(std::string_view text, double default_value);

// A currency is a 64-bit integer scaled by 10000; text with more than four decimals is rounded
// half away from zero.
bool TryStrToCurr(std::string_view text, std::int64_t& value);
std::int64_t StrToCurrDef(std::string_view text, std::int64_t default_value);

// General number format with up to `precision` significant digits: fixed notation while the
// value has at most `precision` integer digits and is at least 0.00001 in magnitude, otherwise
// scientific ("1.5E20", "1E-6"); no trailing zeros, "." only when needed; "NAN", "INF", "-INF".
std::string FloatToStr(double value, int precision = 15);
// Currency in general format: up to four decimals, trailing zeros dropped ("12.5", "-3").
std::string CurrToStr(std::int64_t value);
// Fixed notation with exactly `decimals` decimals, optionally with "," thousands separators.
std::string FloatToStrFixed(double value, int decimals, bool thousands = false);

}  // namespace qm
