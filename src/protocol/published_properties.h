#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qm {

class TprmCustomProfile;

// Kinds of published properties. Method, array, record and dynamic-array kinds exist so that a
// table can declare them; they are never written or read.
enum class TTypeKind {
  tkInteger,
  tkChar,
  tkWChar,
  tkEnumeration,
  tkFloat,
  tkString,
  tkSet,
  tkClass,
  tkMethod,
  tkVariant,
  tkArray,
  tkRecord,
  tkInterface,
  tkInt64,
  tkDynArray,
};

// Identifiers of an enumeration type by ordinal; a set type uses the identifiers of its members.
struct TEnumTypeInfo {
  std::vector<std::string> Names;

  // Case-insensitive; -1 when unknown.
  int IndexOf(const std::string& name) const;
};

// The value of a property as carried between the table and the filers: ordinal kinds (integer,
// character, enumeration, set bits, 64-bit integer) use `Ord`, floating point `Float`, strings
// `Str` (UTF-8), object references `Obj` (not owned).
struct TPropValue {
  std::int64_t Ord = 0;
  double Float = 0;
  std::string Str;
  TprmCustomProfile* Obj = nullptr;
};

// One published property. A class's table is in declaration order, ancestors first.
struct TPropInfo {
  std::string Name;  // matched without regard to case
  TTypeKind Kind = TTypeKind::tkInteger;
  const TEnumTypeInfo* EnumType = nullptr;  // enumeration and set kinds
  bool IsCurrency = false;                  // floating point parsed as currency
  bool Stored = true;
  std::optional<std::int64_t> Default;  // declared default of ordinal kinds
  std::function<TPropValue(const TprmCustomProfile&)> Get;
  std::function<void(TprmCustomProfile&, const TPropValue&)> Set;  // empty: read-only
};

using TPropList = std::vector<TPropInfo>;

// Finds a property by name, ignoring case; null when absent.
const TPropInfo* FindPropInfo(const TPropList& list, const std::string& name);

// Declares a string property of class T from a getter and an optional setter (member function
// pointers or callables taking the object).
template <class T, class Getter, class Setter>
TPropInfo StringProperty(std::string name, Getter get, Setter set) {
  TPropInfo info;
  info.Name = std::move(name);
  info.Kind = TTypeKind::tkString;
  info.Get = [get](const TprmCustomProfile& o) {
    TPropValue v;
    v.Str = std::invoke(get, static_cast<const T&>(o));
    return v;
  };
  info.Set = [set](TprmCustomProfile& o, const TPropValue& v) {
    std::invoke(set, static_cast<T&>(o), v.Str);
  };
  return info;
}

// Declares an ordinal property (integer, enumeration, character, set bits) of class T.
template <class T, class V, class Getter, class Setter>
TPropInfo OrdinalProperty(std::string name, TTypeKind kind, Getter get, Setter set,
                          const TEnumTypeInfo* enum_type = nullptr) {
  TPropInfo info;
  info.Name = std::move(name);
  info.Kind = kind;
  info.EnumType = enum_type;
  info.Get = [get](const TprmCustomProfile& o) {
    TPropValue v;
    v.Ord = static_cast<std::int64_t>(std::invoke(get, static_cast<const T&>(o)));
    return v;
  };
  info.Set = [set](TprmCustomProfile& o, const TPropValue& v) {
    std::invoke(set, static_cast<T&>(o), static_cast<V>(v.Ord));
  };
  return info;
}

}  // namespace qm
