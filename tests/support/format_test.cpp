#include "support/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qm {
namespace {

struct FormatCase {
  const char* name;
  std::string actual;
  const char* expected;
};

TEST(FormatTest, RendersEachTypeInTheProcessFormat) {
  const std::string text = "abc";
  const FormatCase cases[] = {
      {"message", Format("invalid property [%s]: %s", {"Port", "not a number"}),
       "invalid property [Port]: not a number"},
      {"std::string", Format("[%s]", {text}), "[abc]"},
      {"char", Format("%s%s", {'x', 'y'}), "xy"},
      {"int", Format("%d|%d", {42, -7}), "42|-7"},
      {"int64", Format("%d", {INT64_MIN}), "-9223372036854775808"},
      {"uint64", Format("%d %u", {UINT64_MAX, UINT64_MAX}),
       "18446744073709551615 18446744073709551615"},
      {"u of negative int wraps at 32 bits", Format("%u", {-1}), "4294967295"},
      {"u of negative int64 wraps at 64 bits", Format("%u", {std::int64_t{-1}}),
       "18446744073709551615"},
      {"hex upper case", Format("%x %.4x", {255, 10}), "FF 000A"},
      {"hex of negative int", Format("%x", {-1}), "FFFFFFFF"},
      {"d precision", Format("%.3d|%.3d", {5, -5}), "005|-005"},
      {"f default 2", Format("%f", {1.5}), "1.50"},
      {"f precision", Format("%.3f|%.0f", {2.0 / 3, 2.5}), "0.667|2"},
      {"f of int", Format("%.1f", {3}), "3.0"},
      {"g", Format("%g|%g", {0.1, 1e20}), "0.1|1E20"},
      {"e", Format("%e", {1234.5}), "1.23450000000000E+003"},
      {"e precision", Format("%.3e", {-0.00012}), "-1.20E-004"},
      {"n thousands", Format("%n", {1234567.5}), "1,234,567.50"},
      {"percent", Format("100%% %s", {"done"}), "100% done"},
      {"width right", Format("[%5d][%5s]", {42, "ab"}), "[   42][   ab]"},
      {"width left", Format("[%-5d][%-4s]", {42, "ab"}), "[42   ][ab  ]"},
      {"tick line", Format("%-16s: %3d min", {"load", 2}), "load            :   2 min"},
      {"width counts characters", Format("[%4s]", {"\xC3\xA9"}), "[   \xC3\xA9]"},
      {"s precision cuts characters", Format("%.2s", {"\xC3\xA9\xC3\xA9\xC3\xA9"}),
       "\xC3\xA9\xC3\xA9"},
      {"star width and precision", Format("[%*.*f]", {7, 2, 3.14159}), "[   3.14]"},
      {"index", Format("%1:s %0:s %s", {"a", "b"}), "b a b"},
      {"upper-case type", Format("%S=%D", {"k", 1}), "k=1"},
      {"bool", Format("%s", {true}), "True"},
      {"null text", Format("[%s]", {static_cast<const char*>(nullptr)}), "[]"},
      {"pointer", Format("%p", {reinterpret_cast<const void*>(0xAB)}),
       sizeof(void*) == 8 ? "00000000000000AB" : "000000AB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.actual, c.expected);
  }
}

TEST(FormatTest, FaultyDirectivesNeverCrashOrReadPastTheArguments) {
  const FormatCase cases[] = {
      {"missing argument stays visible", Format("%s: Error [%s]", {"1.2.3.4"}),
       "1.2.3.4: Error [%s]"},
      {"no arguments at all", Format("%d%%%s", {}), "%d%%s"},
      {"unknown type", Format("%q %s", {"x"}), "%q x"},
      {"lone percent at the end", Format("50%", {}), "50%"},
      {"cut directive", Format("%-5", {1}), "%-5"},
      {"star without argument", Format("%*d", {}), "%*d"},
      {"index beyond the arguments", Format("%5:s", {"a"}), "%5:s"},
      {"text for a number", Format("%d|%.2f", {"abc", "x"}), "abc|x"},
      {"double for an integer", Format("%d", {2.5}), "2.5"},
      {"huge width is bounded", Format("%999999999999d", {1}).size() <= (1u << 16) ? "ok" : "big",
       "ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.actual, c.expected);
  }
}

TEST(FormatTest, ArgumentCopiesKeepTheirOwnCharacter) {
  std::vector<FormatArg> args{'a', 'b'};
  args.push_back(FormatArg('c'));
  std::vector<FormatArg> copy = args;
  args.clear();
  EXPECT_EQ(Format("%s%s%s", copy), "abc");
  EXPECT_EQ(FormatArg(12).AsText(), "12");
  EXPECT_EQ(FormatArg(1.5).AsText(), "1.5");
}

}  // namespace
}  // namespace qm
