#pragma once

// Printf-like formatting in the style of the platform the system's texts were written for:
//
//   %[index:][-][width][.precision]type      with type one of d u x e f g n m p s (any case)
//
// width and precision may be "*" (taken from the next argument); "%%" is a percent sign. Numbers
// use the process-wide format ("." decimal, "," thousands for %n), never the C locale. Hex
// digits are upper case. Width and precision count characters (UTF-8 code points).
//
// Formatting never throws and never reads past the arguments:
//  - a directive without an argument left, or with an unknown type, is copied as written
//    (so "%s" with no argument stays "%s" and the fault is visible in the text);
//  - an argument of another kind than the type asks for is rendered by its own kind: a text
//    for %d stays the text, an integer for %f is converted, a double for %d prints as %g.
// The C++ caller cannot pass a wrong-sized value, so there is nothing unsafe left to reject.

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace qm {

// One argument of Format. Holds text by view: build it only as a call argument, where the
// referenced text outlives the call.
class FormatArg {
 public:
  enum class Kind { Int, UInt, Float, Text, Bool, Pointer };

  template <typename T>
  requires(std::is_integral_v<T>&& std::is_signed_v<T> && !std::is_same_v<T, char>) FormatArg(T v)
      : kind_(Kind::Int), int_(v), narrow_(sizeof(T) <= 4) {}  // NOLINT
  template <typename T>
  requires(std::is_integral_v<T>&& std::is_unsigned_v<T> && !std::is_same_v<T, bool> &&
           !std::is_same_v<T, char>) FormatArg(T v)
      : kind_(Kind::UInt), uint_(v), narrow_(sizeof(T) <= 4) {}  // NOLINT
  FormatArg(bool v) : kind_(Kind::Bool), int_(v ? 1 : 0) {}      // NOLINT
  FormatArg(char c) : kind_(Kind::Text), char_(c) {
    text_ = std::string_view(&char_, 1);
  }                                                                   // NOLINT
  FormatArg(double v) : kind_(Kind::Float), float_(v) {}              // NOLINT
  FormatArg(float v) : kind_(Kind::Float), float_(v) {}               // NOLINT
  FormatArg(const char* s) : kind_(Kind::Text), text_(s ? s : "") {}  // NOLINT
  FormatArg(std::string_view s) : kind_(Kind::Text), text_(s) {}      // NOLINT
  FormatArg(const std::string& s) : kind_(Kind::Text), text_(s) {}    // NOLINT
  FormatArg(const void* p) : kind_(Kind::Pointer), ptr_(p) {}         // NOLINT
  FormatArg(std::nullptr_t) : kind_(Kind::Pointer) {}                 // NOLINT

  // FormatArg(char) points into the object itself: keep the view valid across copies.
  FormatArg(const FormatArg& other) { *this = other; }
  FormatArg& operator=(const FormatArg& other);

  Kind kind() const { return kind_; }
  std::int64_t AsInt64() const;    // integers, Booleans (0/1), doubles truncated, pointers
  std::uint64_t AsUInt64() const;  // as AsInt64; a negative narrow value wraps at 32 bits
  double AsDouble() const;
  // The value's own text: decimal, general float format, "True"/"False", the text itself.
  std::string AsText() const;
  bool narrow() const { return narrow_; }
  std::string_view text() const { return text_; }

 private:
  Kind kind_ = Kind::Int;
  std::int64_t int_ = 0;
  std::uint64_t uint_ = 0;
  double float_ = 0;
  std::string_view text_;
  const void* ptr_ = nullptr;
  char char_ = '\0';
  bool narrow_ = false;
};

std::string Format(std::string_view fmt, std::span<const FormatArg> args);
std::string Format(std::string_view fmt, std::initializer_list<FormatArg> args);

}  // namespace qm
