#include "support/utf16.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(Utf16Test, RoundTripsAcrossPlanes) {
  const std::string text = "OK \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";  // é, €, 😀
  const std::string le = Utf8ToUtf16Le(text);
  EXPECT_EQ(le.size(), 2u * (3 + 2 + 2 + 2));
  EXPECT_EQ(le.substr(0, 4), std::string("O\0K\0", 4));
  EXPECT_EQ(Utf16LeToUtf8(le), text);
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
}

TEST(Utf16Test, MalformedInputBecomesReplacementCharacter) {
  const std::string replacement = "\xEF\xBF\xBD";
  struct Case {
    std::string utf8;
    std::string expected;
  } cases[] = {
      {"a\xFF"
       "b",
       "a" + replacement + "b"},                                  // invalid lead byte
      {"\xC3", replacement},                                      // cut short
      {"\xC0\xAF", replacement + replacement},                    // overlong
      {"\xED\xA0\x80", replacement + replacement + replacement},  // encoded surrogate
  };
  for (const auto& c : cases)
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(c.utf8)), c.expected);
  // An unpaired surrogate and an odd trailing byte in UTF-16LE input.
  EXPECT_EQ(Utf16LeToUtf8(std::string("\x00\xD8"
                                      "A\x00"
                                      "x",
                                      5)),
            replacement + "A");
}

TEST(Utf16Test, Latin1MapsBytesToCodePoints) {
  EXPECT_EQ(Latin1ToUtf8("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(Utf8ToLatin1("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xE9 ?");
}

}  // namespace
}  // namespace qm
