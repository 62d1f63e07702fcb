#pragma once

#include <cstdint>
#include <string>

namespace qm {

// A point in time as days since 1899-12-30 (day 0), the time of day as the fraction.
// Negative values count back from day 0; the fraction always counts forward within the day.
using TDateTime = double;

// The date part of `date_time` as year, month (1..12) and day (1..31).
struct DateParts {
  int year = 0;
  int month = 0;
  int day = 0;
};

// The time part as hours, minutes, seconds and milliseconds.
struct TimeParts {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Throw EConvertError "Invalid argument to date encode" / "... time encode" on an impossible value.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result);

DateParts DecodeDate(TDateTime date_time);
// Rounded to the nearest millisecond.
TimeParts DecodeTime(TDateTime date_time);

// The current local date and time, and the current local date alone.
TDateTime Now();
TDateTime Date();

// Milliseconds of a monotonic clock: the tick count.
std::uint64_t TickCount64();

// Formats with the pattern letters yyyy, yy, mm, dd, hh, nn, ss, zzz; every other character is
// copied. ("mm" after "hh" still means month here: write "nn" for minutes.)
std::string FormatDateTime(const std::string& pattern, TDateTime date_time);

}  // namespace qm
