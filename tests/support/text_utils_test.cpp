#include "support/text_utils.h"
#include "support/number_text.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "support/exception.h"

namespace qm {
namespace {

TEST(FirstNonEmptyTest, PicksFirstNonEmptyOfEachKind) {
  EXPECT_EQ(FirstNonEmpty({"", "127.0.0.1"}), "127.0.0.1");
  EXPECT_EQ(FirstNonEmpty({" ", "127.0.0.1"}), " ");
  EXPECT_EQ(FirstNonEmpty({"", ""}), "");
  EXPECT_EQ(FirstNonEmpty(std::initializer_list<std::string_view>{}), "");
  const std::string role;  // an unset role value
  EXPECT_EQ(FirstNonEmpty({role, std::string("db")}), "db");
  EXPECT_EQ(FirstNonEmpty({0, 0, 7, 3}), 7);
  EXPECT_EQ(FirstNonEmpty({0, 0}), 0);
  EXPECT_EQ(FirstNonEmpty({0.0, -2.5, 1.0}), -2.5);
  EXPECT_EQ(ChooseText(true, "a", "b"), "a");
  EXPECT_EQ(ChooseText(false, "a", "b"), "b");
}

TEST(TextPartTest, IndexesFromBothEnds) {
  struct Case {
    const char* text;
    int index;
    const char* expected;
  };
  const Case cases[] = {
      {"12:30:45", 0, "12"}, {"12:30:45", 2, "45"}, {"12:30:45", -1, "45"}, {"12:30:45", -3, "12"},
      {"12:30:45", 3, ""},   {"12:30:45", -4, ""},  {"a::b", 1, ""},        {"a::b", 2, "b"},
      {":a", 0, ""},         {"a:", -1, ""},        {"a:", 0, "a"},         {"", 0, ""},
      {"abc", 0, "abc"},     {"abc", -1, "abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " @ " + std::to_string(c.index));
    EXPECT_EQ(TextPart(c.text, ":", c.index), c.expected);
  }
  EXPECT_EQ(TextPart("system:my cert", ":", 1), "my cert");
  EXPECT_EQ(TextPart("a;b,c", ";,", 2), "c");
}

std::vector<std::string> Split(std::string_view text, const CharSet& seps, const CharSet& blanks,
                               const CharSet& quotes, TSplitOption options) {
  std::vector<std::string> parts;
  int next = 0;
  SplitTextWith(
      text,
      [&](int index, const std::string& part, bool&) {
        EXPECT_EQ(index, next++);
        parts.push_back(part);
      },
      seps, blanks, quotes, options);
  return parts;
}

TEST(SplitTextTest, QuotesKeepSeparatorsAndEmptyPartsFollowTheOption) {
  using V = std::vector<std::string>;
  // a,"b,c",,d with the double quote as quote.
  TStrings list{"kept"};
  EXPECT_EQ(StrToStrings("a,\"b,c\",,d", list, ",", {}, "\""), 4);
  EXPECT_EQ(list, (V{"kept", "a", "\"b,c\"", "", "d"}));

  EXPECT_EQ(Split("a,,b", ",", {}, {}, TSplitOption::None), (V{"a", "b"}));
  EXPECT_EQ(Split("a,,b", ",", {}, {}, TSplitOption::EmptyParts), (V{"a", "", "b"}));
  // A trailing separator makes a final empty part; a leading one an empty first part.
  EXPECT_EQ(Split(",a,", ",", {}, {}, TSplitOption::EmptyParts), (V{"", "a", ""}));
  EXPECT_EQ(Split(",a,", ",", {}, {}, TSplitOption::None), (V{"a"}));
  // Only leading blanks go; inner and trailing blanks stay.
  EXPECT_EQ(Split("  a b ;  c", ";", " ", {}, TSplitOption::None), (V{"a b ", "c"}));
  // A different quote inside a quote is ordinary; an unclosed quote runs to the end.
  EXPECT_EQ(Split("'x\"y;z';w", ";", {}, "'\"", TSplitOption::None), (V{"'x\"y;z'", "w"}));
  EXPECT_EQ(Split("a;'b;c", ";", {}, "'", TSplitOption::None), (V{"a", "'b;c"}));
  EXPECT_TRUE(Split("", ";", {}, {}, TSplitOption::EmptyParts).empty());
}

TEST(SplitTextTest, CallbackCanStopAndMustExist) {
  int seen = 0;
  const int count = SplitTextWith(
      "a;b;c;d",
      [&](int index, const std::string&, bool& resume) {
        ++seen;
        resume = index < 1;
      },
      ";");
  EXPECT_EQ(count, 2);
  EXPECT_EQ(seen, 2);
  try {
    SplitTextWith("a", TSplitCallback(), ";");
    FAIL() << "no exception";
  } catch (const EprmException& e) {
    EXPECT_EQ(e.Message(), "StrToStrings: CallBackProc is nil");
  }
}

TEST(UnquoteTest, DropsMatchingQuotes) {
  struct Case {
    const char* text;
    const char* quote;
    const char* expected;
  };
  const Case cases[] = {
      {"", "", ""},          {"\"abc\"", "", "abc"},  {"'abc'", "", "abc"},
      {"'abc", "", "abc"},   {"'abc\"", "", "abc\""}, {"abc", "", "abc"},
      {"[abc[", "[", "abc"}, {"[abc]", "[", "abc]"},  {"'a'", "[", "a"},
      {"'", "", ""},         {"\"\"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Unquote(c.text, std::string_view(c.quote)), c.expected);
  }
  EXPECT_EQ(Unquote("#a#", '#'), "a");
  EXPECT_EQ(Unquote("'a'", '#'), "'a'");
  EXPECT_EQ(Unquote("#", '#'), "");
}

TEST(StripCharsTest, DropsOrReplacesAndFlattensLines) {
  EXPECT_EQ(StripChars("50% off %", "%"), "50 off ");
  EXPECT_EQ(StripChars("a\r\nb", {'\r', '\n'}, '_'), "a__b");
  EXPECT_EQ(StripChars("", "%", '_'), "");
  EXPECT_EQ(OneLineText("select *\r\n  from t\n\nwhere  x"), "select * from t where x");
  EXPECT_EQ(OneLineText("\r\n"), " ");
  // Tabs are not blanks here.
  EXPECT_EQ(OneLineText("a\t\tb"), "a\t\tb");
}

TEST(IndexOfTextTest, ComparesExactlyOrIgnoringCase) {
  static constexpr std::array<std::string_view, 5> kApi = {"LOCreate", "LOWrite", "LORead",
                                                           "LOCopy", "Notifications"};
  EXPECT_EQ(IndexOfText("LOCOPY", kApi, true), 3);
  EXPECT_EQ(IndexOfText("LOCOPY", kApi, false), -1);
  EXPECT_EQ(IndexOfText("LOCopy", kApi, false), 3);
  EXPECT_EQ(IndexOfText("none", kApi, true, 99), 99);
  const std::vector<std::string> names{"a", "B"};
  EXPECT_EQ(IndexOfText("b", names, true), 1);
  EXPECT_EQ(IndexOfText("b", {"x", "b"}), 1);
}

TEST(AppendSeparatedTest, JoinsWithSeparatorAndBlank) {
  std::string text;
  AppendSeparated(text, "a", "\r");
  AppendSeparated(text, "", "\r");
  AppendSeparated(text, "b", "\r");
  EXPECT_EQ(text, "a\r b");
}

TEST(EscapeJsonTest, EscapesControlsQuotesAndSlashes) {
  EXPECT_EQ(EscapeJson("a\"b\\c/d"), "a\\\"b\\\\c\\/d");
  EXPECT_EQ(EscapeJson("\b\t\n\f\r"), "\\b\\t\\n\\f\\r");
  EXPECT_EQ(EscapeJson(std::string_view("\x01\x1f\0", 3)), "\\u0001\\u001F\\u0000");
  EXPECT_EQ(EscapeJson("h\xC3\xA9llo \x7f"), "h\xC3\xA9llo \x7f");
}

TEST(ParseISODateTimeTest, ReadsDatesAndTimes) {
  const TDateTime jan2 = EncodeDate(2024, 1, 2);
  struct Case {
    const char* text;
    TDateTime expected;
  };
  const Case cases[] = {
      {"2024-01-02T03:04:05.678+02", jan2 + EncodeTime(3, 4, 5, 0)},
      {"2024-01-02 03:04:05", jan2 + EncodeTime(3, 4, 5, 0)},
      {"2024-01-02", jan2},
      {"03:04", EncodeTime(3, 4, 0, 0)},
      {"03:04:59.999", EncodeTime(3, 4, 59, 0)},
      // Unreadable date parts keep day 0's values (1899-12-30), unreadable time parts read 0.
      {"2024-xx-02", EncodeDate(2024, 12, 2)},
      {"2024-01-02 aa:04:bb", jan2 + EncodeTime(0, 4, 0, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_DOUBLE_EQ(ParseISODateTime(c.text), c.expected);
  }
  EXPECT_DOUBLE_EQ(ParseISODateTime("2024/01/02", '/', '\0', false), jan2);
  EXPECT_DOUBLE_EQ(ParseISODateTime("2024-01-02_10:00", '-', '_', false),
                   jan2 + EncodeTime(10, 0, 0, 0));
  EXPECT_DOUBLE_EQ(ParseISODateTime("10:00", '-', '\0', jan2), jan2 + EncodeTime(10, 0, 0, 0));
  const TDateTime today = Date();
  const TDateTime t = ParseISODateTime("10:00", '-', '\0', true);
  EXPECT_TRUE(t == today + EncodeTime(10, 0, 0, 0) || t == Date() + EncodeTime(10, 0, 0, 0));
}

TEST(ParseISODateTimeTest, ImpossibleValuesRaiseTheEncodingError) {
  for (const char* text : {"2024-13-01", "2023-02-29", "2024-01-01 24:00", "2024-01-01 10:60",
                           "2024-01-01 10:00:75", "2024-01-01 10:00:1e300"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(ParseISODateTime(text), EConvertError);
  }
}

TEST(NumberTextTest, ParsesIntegers) {
  struct Case {
    const char* text;
    bool ok;
    std::int64_t value;
  };
  const Case cases[] = {
      {"42", true, 42},
      {" 42 ", true, 42},
      {"-7", true, -7},
      {"+7", true, 7},
      {"+-7", false, 0},
      {"-", false, 0},
      {"", false, 0},
      {"4 2", false, 0},
      {"12a", false, 0},
      {"0x10", false, 0},
      {"2147483647", true, 2147483647},
      {"2147483648", false, 0},
      {"-2147483648", true, -2147483648LL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::int32_t v = -99;
    EXPECT_EQ(TryStrToInt(c.text, v), c.ok);
    EXPECT_EQ(v, c.ok ? c.value : -99);
  }
  EXPECT_EQ(StrToInt64Def("9223372036854775807", 0), INT64_MAX);
  EXPECT_EQ(StrToInt64Def("9223372036854775808", -1), -1);
  EXPECT_EQ(StrToIntDef("x", 5), 5);
}

TEST(NumberTextTest, ParsesFloatsWithDotOnly) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"1.5", true, 1.5}, {"-2e3", true, -2000}, {".5", true, 0.5},   {" 3 ", true, 3},
      {"1,5", false, 0},  {"inf", false, 0},     {"nan", false, 0},   {"1e999", false, 0},
      {"", false, 0},     {"-", false, 0},       {"1.2.3", false, 0}, {"+.25", true, 0.25},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    double v = -99;
    EXPECT_EQ(TryStrToFloat(c.text, v), c.ok);
    EXPECT_DOUBLE_EQ(v, c.ok ? c.value : -99);
  }
}

TEST(NumberTextTest, ParsesCurrencyExactly) {
  struct Case {
    const char* text;
    bool ok;
    std::int64_t value;
  };
  const Case cases[] = {
      {"12.5", true, 125000},
      {"-0.0001", true, -1},
      {"0.00005", true, 1},
      {"-0.00005", true, -1},
      {"922337203685477.5807", true, INT64_MAX},
      {"-922337203685477.5808", true, INT64_MIN},
      {"922337203685477.5808", false, 0},
      {"1e2", true, 1000000},
      {"12.", true, 120000},
      {".", false, 0},
      {"1,000", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::int64_t v = -99;
    EXPECT_EQ(TryStrToCurr(c.text, v), c.ok);
    EXPECT_EQ(v, c.ok ? c.value : -99);
  }
}

TEST(NumberTextTest, FormatsInGeneralNumberFormat) {
  struct Case {
    double value;
    const char* expected;
  };
  const Case cases[] = {
      {0, "0"},
      {1.5, "1.5"},
      {-1.5, "-1.5"},
      {0.1, "0.1"},
      {100, "100"},
      {1.0 / 3, "0.333333333333333"},
      {123456789012345.0, "123456789012345"},
      {1e15, "1E15"},
      {1.5e20, "1.5E20"},
      {0.0001, "0.0001"},
      {0.00001, "1E-5"},
      {0.000001, "1E-6"},
      {-1.25e-10, "-1.25E-10"},
      {0.1 + 0.2, "0.3"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {std::nan(""), "NAN"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(FloatToStr(c.value), c.expected);
  }
  EXPECT_EQ(CurrToStr(125000), "12.5");
  EXPECT_EQ(CurrToStr(-30000), "-3");
  EXPECT_EQ(CurrToStr(1), "0.0001");
  EXPECT_EQ(CurrToStr(INT64_MIN), "-922337203685477.5808");
  EXPECT_EQ(FloatToStrFixed(1234567.891, 2, true), "1,234,567.89");
  EXPECT_EQ(FloatToStrFixed(-123.0, 0, true), "-123");
  EXPECT_EQ(FloatToStrFixed(-0.001, 2), "0.00");
  EXPECT_EQ(FloatToStrFixed(2.5, 3), "2.500");
}

TEST(NumberTextTest, RoundTripsThroughText) {
  for (double v : {1.0, -0.5, 3.14159, 1e-3, 12345.678}) {
    SCOPED_TRACE(v);
    EXPECT_DOUBLE_EQ(StrToFloatDef(FloatToStr(v), 0), v);
  }
  for (std::int64_t c : {std::int64_t{0}, std::int64_t{-1}, INT64_MAX, INT64_MIN}) {
    EXPECT_EQ(StrToCurrDef(CurrToStr(c), 7), c);
  }
}

}  // namespace
}  // namespace qm

TEST(TextUtilsTest, SkipSqlBlanksAndCommentsFindsTheFirstCode) {
  constexpr std::size_t none = std::string_view::npos;
  struct Case {
    std::string_view text;
    bool semicolons;
    std::size_t expected;
  };
  const Case cases[] = {
      {"", false, none},
      {" \t\r\n", false, none},
      {"select 1", false, 0},
      {"  -- note\n  x", false, 12},
      {"-- note without an end", false, none},
      {"/* a */ b", false, 8},
      {"/* left open", false, none},
      {"/**/-", false, 4},
      {" ; ;", false, 1},
      {" ; ;", true, none},
      {";\n-- c\n/* d */ insert", true, 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(qm::SkipSqlBlanksAndComments(c.text, c.semicolons), c.expected);
  }
}
