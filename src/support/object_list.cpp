#include "support/object_list.h"

#include <cxxabi.h>

#include <cstdlib>

namespace qm {

namespace {

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string LowerCaseName(std::string_view name) {
  std::string result(name);
  for (char& c : result)
    c = AsciiLower(c);
  return result;
}

bool SameName(std::string_view left, std::string_view right) {
  if (left.size() != right.size())
    return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (AsciiLower(left[i]) != AsciiLower(right[i]))
      return false;
  }
  return true;
}

std::string ClassNameOf(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  std::string name = status == 0 && demangled ? demangled.get() : type.name();
  for (std::string_view qualifier : {"(anonymous namespace)::", "qm::"}) {
    for (auto pos = name.find(qualifier); pos != std::string::npos; pos = name.find(qualifier))
      name.erase(pos, qualifier.size());
  }
  return name;
}

}  // namespace qm
