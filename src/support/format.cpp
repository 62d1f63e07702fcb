#include "support/format.h"

#include <charconv>
#include <cmath>

#include "support/number_text.h"

namespace qm {

FormatArg& FormatArg::operator=(const FormatArg& other) {
  if (this == &other)
    return *this;
  kind_ = other.kind_;
  int_ = other.int_;
  uint_ = other.uint_;
  float_ = other.float_;
  ptr_ = other.ptr_;
  char_ = other.char_;
  narrow_ = other.narrow_;
  text_ = other.text_.data() == &other.char_ ? std::string_view(&char_, 1) : other.text_;
  return *this;
}

std::int64_t FormatArg::AsInt64() const {
  switch (kind_) {
    case Kind::Int:
    case Kind::Bool:
      return int_;
    case Kind::UInt:
      return static_cast<std::int64_t>(uint_);
    case Kind::Float:
      // Saturate: a cast of a value out of range would be undefined.
      if (!(float_ > -9.2e18))
        return float_ < 0 ? INT64_MIN : 0;
      if (float_ >= 9.2e18)
        return INT64_MAX;
      return static_cast<std::int64_t>(float_);
    case Kind::Pointer:
      return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(ptr_));
    case Kind::Text:
      return StrToInt64Def(text_, 0);
  }
  return 0;
}

std::uint64_t FormatArg::AsUInt64() const {
  if (kind_ == Kind::UInt)
    return uint_;
  if (kind_ == Kind::Pointer)
    return reinterpret_cast<std::uintptr_t>(ptr_);
  const std::int64_t v = AsInt64();
  if (v < 0 && narrow_)
    return static_cast<std::uint32_t>(v);
  return static_cast<std::uint64_t>(v);
}

double FormatArg::AsDouble() const {
  switch (kind_) {
    case Kind::Float:
      return float_;
    case Kind::UInt:
      return static_cast<double>(uint_);
    case Kind::Text:
      return StrToFloatDef(text_, 0);
    default:
      return static_cast<double>(AsInt64());
  }
}

std::string FormatArg::AsText() const {
  switch (kind_) {
    case Kind::Int:
      return std::to_string(int_);
    case Kind::UInt:
      return std::to_string(uint_);
    case Kind::Float:
      return FloatToStr(float_);
    case Kind::Bool:
      return int_ ? "True" : "False";
    case Kind::Pointer:
      return std::to_string(reinterpret_cast<std::uintptr_t>(ptr_));
    case Kind::Text:
      return std::string(text_);
  }
  return {};
}

namespace {

// Bounds for width and precision so that a stray "%999999999d" cannot exhaust memory.
constexpr int kMaxWidth = 1 << 16;

std::size_t CodePoints(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
      ++n;
  }
  return n;
}

// The first `count` code points of `s`.
std::string_view FirstCodePoints(std::string_view s, std::size_t count) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (seen == count)
        return s.substr(0, i);
      ++seen;
    }
  }
  return s;
}

std::string Hex(std::uint64_t v, int min_digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  if (static_cast<int>(out.size()) < min_digits)
    out.insert(0, static_cast<std::size_t>(min_digits) - out.size(), '0');
  return out;
}

// Decimal digits padded with zeros after the sign up to `min_digits`.
std::string PadDigits(std::string digits, int min_digits) {
  const std::size_t sign = (!digits.empty() && digits.front() == '-') ? 1 : 0;
  const std::size_t count = digits.size() - sign;
  if (min_digits > 0 && count < static_cast<std::size_t>(min_digits))
    digits.insert(sign, static_cast<std::size_t>(min_digits) - count, '0');
  return digits;
}

// "-d.ddd...E+ddd" with `digits` significant digits.
std::string Scientific(double v, int digits) {
  if (!std::isfinite(v))
    return FloatToStr(v);
  digits = digits < 1 ? 1 : (digits > 18 ? 18 : digits);
  char buf[64];
  const auto res =
      std::to_chars(buf, buf + sizeof(buf), v, std::chars_format::scientific, digits - 1);
  std::string s(buf, res.ptr);
  const std::size_t e = s.find('e');
  const char sign = s[e + 1];
  std::string exponent = s.substr(e + 2);
  if (exponent.size() < 3)
    exponent.insert(0, 3 - exponent.size(), '0');
  return s.substr(0, e) + "E" + sign + exponent;
}

struct Directive {
  bool left = false;
  int width = -1;
  int precision = -1;
  char type = '\0';
};

std::string Render(const Directive& d, const FormatArg& arg) {
  using Kind = FormatArg::Kind;
  const bool numeric = arg.kind() != Kind::Text && arg.kind() != Kind::Bool;
  switch (d.type) {
    case 'd':
      if (arg.kind() == Kind::Float)
        return FloatToStr(arg.AsDouble());
      if (!numeric)
        return arg.AsText();
      if (arg.kind() == Kind::UInt)
        return PadDigits(std::to_string(arg.AsUInt64()), d.precision);
      return PadDigits(std::to_string(arg.AsInt64()), d.precision);
    case 'u':
      if (arg.kind() == Kind::Float)
        return FloatToStr(arg.AsDouble());
      if (!numeric)
        return arg.AsText();
      return PadDigits(std::to_string(arg.AsUInt64()), d.precision);
    case 'x':
      if (arg.kind() == Kind::Float)
        return FloatToStr(arg.AsDouble());
      if (!numeric)
        return arg.AsText();
      return Hex(arg.AsUInt64(), d.precision);
    case 'e':
      if (!numeric)
        return arg.AsText();
      return Scientific(arg.AsDouble(), d.precision < 0 ? 15 : d.precision);
    case 'f':
      if (!numeric)
        return arg.AsText();
      return FloatToStrFixed(arg.AsDouble(), d.precision < 0 ? 2 : d.precision);
    case 'g':
      if (!numeric)
        return arg.AsText();
      return FloatToStr(arg.AsDouble(), d.precision < 0 ? 15 : d.precision);
    case 'n':
    case 'm':
      if (!numeric)
        return arg.AsText();
      return FloatToStrFixed(arg.AsDouble(), d.precision < 0 ? 2 : d.precision, true);
    case 'p':
      if (arg.kind() != Kind::Pointer)
        return arg.AsText();
      return Hex(arg.AsUInt64(), static_cast<int>(sizeof(void*) * 2));
    case 's': {
      std::string text = arg.AsText();
      if (d.precision >= 0)
        text = std::string(FirstCodePoints(text, static_cast<std::size_t>(d.precision)));
      return text;
    }
    default:
      return arg.AsText();
  }
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string Format(std::string_view fmt, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  std::size_t next_arg = 0;
  std::size_t i = 0;
  while (i < fmt.size()) {
    const char c = fmt[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    const std::size_t start = i++;
    if (i < fmt.size() && fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    bool ok = true;
    // Reads digits or "*" (the next argument as an integer); -1 when neither is there.
    auto read_number = [&](int& value) {
      if (i < fmt.size() && fmt[i] == '*') {
        ++i;
        if (next_arg >= args.size()) {
          ok = false;
          return;
        }
        const std::int64_t v = args[next_arg++].AsInt64();
        value = static_cast<int>(v < 0 ? -1 : (v > kMaxWidth ? kMaxWidth : v));
        return;
      }
      if (i >= fmt.size() || !IsDigit(fmt[i]))
        return;
      std::int64_t v = 0;
      while (i < fmt.size() && IsDigit(fmt[i])) {
        if (v <= kMaxWidth)
          v = v * 10 + (fmt[i] - '0');
        ++i;
      }
      value = static_cast<int>(v > kMaxWidth ? kMaxWidth : v);
    };
    Directive d;
    int first = -1;
    read_number(first);
    if (ok && i < fmt.size() && fmt[i] == ':') {
      // An argument index: later directives continue after it.
      ++i;
      next_arg = first < 0 ? 0 : static_cast<std::size_t>(first);
      first = -1;
    }
    if (ok && first < 0 && i < fmt.size() && fmt[i] == '-') {
      d.left = true;
      ++i;
    }
    if (ok && first < 0)
      read_number(first);
    d.width = first;
    if (ok && i < fmt.size() && fmt[i] == '.') {
      ++i;
      d.precision = 0;
      read_number(d.precision);
    }
    if (ok && i < fmt.size()) {
      d.type = static_cast<char>(fmt[i] >= 'A' && fmt[i] <= 'Z' ? fmt[i] - 'A' + 'a' : fmt[i]);
      ++i;
    } else {
      ok = false;
    }
    static constexpr std::string_view kTypes = "duxefgnmps";
    if (!ok || kTypes.find(d.type) == std::string_view::npos || next_arg >= args.size()) {
      out.append(fmt.substr(start, i - start));
      continue;
    }
    std::string text = Render(d, args[next_arg++]);
    const std::size_t length = CodePoints(text);
    if (d.width > 0 && length < static_cast<std::size_t>(d.width)) {
      const std::string pad(static_cast<std::size_t>(d.width) - length, ' ');
      text = d.left ? text + pad : pad + text;
    }
    out += text;
  }
  return out;
}

std::string Format(std::string_view fmt, std::initializer_list<FormatArg> args) {
  return Format(fmt, std::span<const FormatArg>(args.begin(), args.size()));
}

}  // namespace qm
