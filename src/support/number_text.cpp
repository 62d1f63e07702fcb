#include "support/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace qm {

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

template <typename Int>
bool ParseInteger(std::string_view text, Int& value) {
  text = TrimBlanks(text);
  const bool plus = !text.empty() && text.front() == '+';
  if (plus)
    text.remove_prefix(1);
  // from_chars reads a "-" itself: accept "digits", "+digits" and "-digits", nothing else.
  const std::size_t first_digit = (!plus && !text.empty() && text.front() == '-') ? 1 : 0;
  if (text.size() <= first_digit || text[first_digit] < '0' || text[first_digit] > '9')
    return false;
  Int parsed{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed, 10);
  if (ec != std::errc() || end != text.data() + text.size())
    return false;
  value = parsed;
  return true;
}

}  // namespace

bool TryStrToInt(std::string_view text, std::int32_t& value) {
  return ParseInteger(text, value);
}

bool TryStrToInt64(std::string_view text, std::int64_t& value) {
  return ParseInteger(text, value);
}

std::int32_t StrToIntDef(std::string_view text, std::int32_t default_value) {
  std::int32_t v = 0;
  return TryStrToInt(text, v) ? v : default_value;
}

std::int64_t StrToInt64Def(std::string_view text, std::int64_t default_value) {
  std::int64_t v = 0;
  return TryStrToInt64(text, v) ? v : default_value;
}

bool TryStrToFloat(std::string_view text, double& value) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars would also take "inf", "nan" and hexadecimal-looking forms: only plain
  // decimal text is a number here.
  if (text.empty() || !((text.front() >= '0' && text.front() <= '9') || text.front() == '.'))
    return false;
  double parsed = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), parsed, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(parsed))
    return false;
  value = negative ? -parsed : parsed;
  return true;
}

double StrToFloatDef(std::string_view text, double default_value) {
  double v = 0;
  return TryStrToFloat(text, v) ? v : default_value;
}

bool TryStrToCurr(std::string_view text, std::int64_t& value) {
  std::string_view t = TrimBlanks(text);
  bool negative = false;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  // Plain decimals are read exactly; a text with an exponent goes through double.
  if (t.find_first_of("eE") != std::string_view::npos) {
    double d = 0;
    if (!TryStrToFloat(text, d))
      return false;
    const double scaled = std::round(d * 10000.0);
    if (!(std::fabs(scaled) < 9.2e18))
      return false;
    value = static_cast<std::int64_t>(scaled);
    return true;
  }
  const std::size_t dot = t.find('.');
  const std::string_view whole = t.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : t.substr(dot + 1);
  if (whole.empty() && fraction.empty())
    return false;
  const auto all_digits = [](std::string_view s) {
    for (char c : s) {
      if (c < '0' || c > '9')
        return false;
    }
    return true;
  };
  if (!all_digits(whole) || !all_digits(fraction))
    return false;
  // Accumulate as unsigned magnitude: 4 decimals, then round on the fifth.
  constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(1) << 63;
  std::uint64_t magnitude = 0;
  const auto push_digit = [&magnitude](char c) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (kLimit - digit) / 10)
      return false;
    magnitude = magnitude * 10 + digit;
    return true;
  };
  for (char c : whole) {
    if (!push_digit(c))
      return false;
  }
  for (std::size_t i = 0; i < 4; ++i) {
    if (!push_digit(i < fraction.size() ? fraction[i] : '0'))
      return false;
  }
  if (fraction.size() > 4 && fraction[4] >= '5')
    ++magnitude;
  if (magnitude > (negative ? kLimit : kLimit - 1))
    return false;
  value =
      negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

std::int64_t StrToCurrDef(std::string_view text, std::int64_t default_value) {
  std::int64_t v = 0;
  return TryStrToCurr(text, v) ? v : default_value;
}

std::string FloatToStr(double value, int precision) {
  if (std::isnan(value))
    return "NAN";
  if (std::isinf(value))
    return value < 0 ? "-INF" : "INF";
  if (value == 0)
    return "0";
  if (precision < 1)
    precision = 1;
  if (precision > 17)
    precision = 17;
  // Round to `precision` significant digits once, then lay the digits out.
  char buf[64];
  const auto res =
      std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific, precision - 1);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exponent);
  const bool negative = mantissa.front() == '-';
  if (negative)
    mantissa.remove_prefix(1);
  std::string digits;
  for (char c : mantissa) {
    if (c != '.')
      digits += c;
  }
  while (digits.size() > 1 && digits.back() == '0')
    digits.pop_back();

  std::string result = negative ? "-" : "";
  // The general format switches to scientific below 0.0001 (1E-5 and smaller).
  if (exponent >= precision || exponent < -4) {
    result += digits[0];
    if (digits.size() > 1) {
      result += '.';
      result.append(digits, 1);
    }
    result += 'E';
    result += std::to_string(exponent);
    return result;
  }
  if (exponent < 0) {
    result += "0.";
    result.append(static_cast<std::size_t>(-exponent - 1), '0');
    result += digits;
    return result;
  }
  const auto int_digits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= int_digits) {
    result += digits;
    result.append(int_digits - digits.size(), '0');
  } else {
    result.append(digits, 0, int_digits);
    result += '.';
    result.append(digits, int_digits);
  }
  return result;
}

std::string CurrToStr(std::int64_t value) {
  const bool negative = value < 0;
  // Magnitude as unsigned so that the most negative value does not overflow.
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::string result = negative ? "-" : "";
  result += std::to_string(magnitude / 10000);
  std::string fraction = std::to_string(magnitude % 10000);
  fraction.insert(0, 4 - fraction.size(), '0');
  while (!fraction.empty() && fraction.back() == '0')
    fraction.pop_back();
  if (!fraction.empty()) {
    result += '.';
    result += fraction;
  }
  return result;
}

std::string FloatToStrFixed(double value, int decimals, bool thousands) {
  if (std::isnan(value))
    return "NAN";
  if (std::isinf(value))
    return value < 0 ? "-INF" : "INF";
  if (decimals < 0)
    decimals = 0;
  if (decimals > 100)
    decimals = 100;
  // 309 integer digits at most for a finite double, plus sign, dot and decimals.
  std::string buf(320 + static_cast<std::size_t>(decimals), '\0');
  const auto res =
      std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, decimals);
  buf.resize(static_cast<std::size_t>(res.ptr - buf.data()));
  // "-0.00" reads as "0.00": a value that rounds to zero has no sign.
  if (buf.front() == '-' && buf.find_first_of("123456789") == std::string::npos)
    buf.erase(0, 1);
  if (!thousands)
    return buf;
  const std::size_t sign = buf.front() == '-' ? 1 : 0;
  std::size_t int_end = buf.find('.');
  if (int_end == std::string::npos)
    int_end = buf.size();
  for (std::size_t i = int_end; i > sign + 3; i -= 3)
    buf.insert(i - 3, 1, ',');
  return buf;
}

}  // namespace qm
