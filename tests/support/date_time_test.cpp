#include "support/date_time.h"

#include <gtest/gtest.h>

#include "support/exception.h"

namespace qm {
namespace {

struct DateCase {
  int year, month, day;
  double serial;
};

TEST(DateTimeTest, EncodesAndDecodesKnownSerials) {
  const DateCase cases[] = {
      {1899, 12, 30, 0},   {1899, 12, 29, -1}, {1900, 1, 1, 2},         {2000, 2, 29, 36585},
      {2024, 1, 2, 45293}, {1, 1, 1, -693593}, {9999, 12, 31, 2958465},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serial);
    EXPECT_EQ(EncodeDate(c.year, c.month, c.day), c.serial);
    const DateParts d = DecodeDate(c.serial);
    EXPECT_EQ(d.year, c.year);
    EXPECT_EQ(d.month, c.month);
    EXPECT_EQ(d.day, c.day);
  }
}

TEST(DateTimeTest, RejectsImpossibleDatesAndTimes) {
  EXPECT_THROW(EncodeDate(2024, 13, 1), EConvertError);
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
}

TEST(DateTimeTest, TimeRoundsToMillisecondAndCarriesIntoTheDay) {
  const TDateTime t = EncodeDate(2024, 1, 2) + EncodeTime(3, 4, 5, 678);
  const TimeParts p = DecodeTime(t);
  EXPECT_EQ(p.hour, 3);
  EXPECT_EQ(p.minute, 4);
  EXPECT_EQ(p.second, 5);
  EXPECT_EQ(p.millisecond, 678);
  // A value a hair below midnight rounds up into the next day.
  const TDateTime almost = EncodeDate(2024, 1, 2) + (86400000.0 - 0.1) / 86400000.0;
  EXPECT_EQ(DecodeDate(almost).day, 3);
  EXPECT_EQ(DecodeTime(almost).hour, 0);
}

TEST(DateTimeTest, FormatsServerIdentityPattern) {
  const TDateTime t = EncodeDate(2026, 12, 10) + EncodeTime(9, 8, 7, 6);
  EXPECT_EQ(FormatDateTime("yymmddhhnnsszzz", t), "261210090807006");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", t), "2026-12-10 09:08:07");
}

}  // namespace
}  // namespace qm
