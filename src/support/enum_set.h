#pragma once

#include <cstdint>
#include <initializer_list>

namespace qm {

// A set of enumeration members stored as bits: member value N is bit N, as in the wire and option
// masks of this system. Only for enumerations whose members are small non-negative numbers.
template <class E>
class EnumSet {
 public:
  constexpr EnumSet() = default;
  constexpr EnumSet(std::initializer_list<E> members) {
    for (E member : members)
      bits_ |= Bit(member);
  }
  static constexpr EnumSet FromBits(std::uint32_t bits) {
    EnumSet set;
    set.bits_ = bits;
    return set;
  }

  constexpr bool Contains(E member) const { return (bits_ & Bit(member)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr std::uint32_t Bits() const { return bits_; }

  constexpr EnumSet& Include(E member) {
    bits_ |= Bit(member);
    return *this;
  }
  constexpr EnumSet& Exclude(E member) {
    bits_ &= ~Bit(member);
    return *this;
  }
  constexpr EnumSet operator+(EnumSet other) const { return FromBits(bits_ | other.bits_); }
  constexpr EnumSet operator-(EnumSet other) const { return FromBits(bits_ & ~other.bits_); }
  constexpr EnumSet operator*(EnumSet other) const { return FromBits(bits_ & other.bits_); }
  constexpr EnumSet& operator+=(EnumSet other) {
    bits_ |= other.bits_;
    return *this;
  }
  constexpr EnumSet& operator-=(EnumSet other) {
    bits_ &= ~other.bits_;
    return *this;
  }
  constexpr bool operator==(const EnumSet&) const = default;

 private:
  static constexpr std::uint32_t Bit(E member) {
    return std::uint32_t{1} << static_cast<std::uint32_t>(member);
  }
  std::uint32_t bits_ = 0;
};

}  // namespace qm
