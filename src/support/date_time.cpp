#include "support/date_time.h"

#include <chrono>
#include <cmath>
#include <ctime>

#include "support/exception.h"

namespace qm {
namespace {

constexpr double kMillisecondsPerDay = 86400000.0;

// Day number of 1899-12-30 counted from 0001-01-01 (day 0), proleptic Gregorian calendar.
constexpr std::int64_t kDayZeroOffset = 693593;

std::int64_t DaysBeforeYear(std::int64_t year) {
  const std::int64_t y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400;
}

}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0) && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12)
    return 0;
  return (month == 2 && IsLeapYear(year)) ? 29 : kDays[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return false;
  }
  std::int64_t days = DaysBeforeYear(year);
  for (int m = 1; m < month; ++m)
    days += DaysInMonth(year, m);
  days += day - 1;
  result = static_cast<double>(days - kDayZeroOffset);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999) {
    return false;
  }
  const double ms = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond;
  result = ms / kMillisecondsPerDay;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime result = 0;
  if (!TryEncodeDate(year, month, day, result)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return result;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  TDateTime result = 0;
  if (!TryEncodeTime(hour, minute, second, millisecond, result)) {
    throw EConvertError("Invalid argument to time encode");
  }
  return result;
}

namespace {

// Splits into whole days and milliseconds of the day, rounding to the nearest millisecond.
// Negative date-times keep the time as a forward fraction: -1.25 is 1899-12-29 06:00.
void SplitDateTime(TDateTime date_time, std::int64_t& days, std::int64_t& ms_of_day) {
  double whole = std::trunc(date_time);
  double fraction = std::fabs(date_time - whole);
  std::int64_t ms = std::llround(fraction * kMillisecondsPerDay);
  days = static_cast<std::int64_t>(whole);
  if (ms >= static_cast<std::int64_t>(kMillisecondsPerDay)) {
    ms -= static_cast<std::int64_t>(kMillisecondsPerDay);
    days += (date_time < 0) ? -1 : 1;
  }
  ms_of_day = ms;
}

}  // namespace

DateParts DecodeDate(TDateTime date_time) {
  std::int64_t days = 0;
  std::int64_t ms = 0;
  SplitDateTime(date_time, days, ms);
  std::int64_t n = days + kDayZeroOffset;  // days since 0001-01-01
  DateParts parts;
  if (n < 0)
    return parts;
  std::int64_t year = 1;
  // 400-year cycles have 146097 days, 100-year 36524, 4-year 1461.
  year += (n / 146097) * 400;
  n %= 146097;
  std::int64_t c = n / 36524;
  if (c == 4)
    c = 3;
  year += c * 100;
  n -= c * 36524;
  year += (n / 1461) * 4;
  n %= 1461;
  std::int64_t y = n / 365;
  if (y == 4)
    y = 3;
  year += y;
  n -= y * 365;
  int month = 1;
  while (n >= DaysInMonth(static_cast<int>(year), month)) {
    n -= DaysInMonth(static_cast<int>(year), month);
    ++month;
  }
  parts.year = static_cast<int>(year);
  parts.month = month;
  parts.day = static_cast<int>(n) + 1;
  return parts;
}

TimeParts DecodeTime(TDateTime date_time) {
  std::int64_t days = 0;
  std::int64_t ms = 0;
  SplitDateTime(date_time, days, ms);
  TimeParts parts;
  parts.millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  parts.second = static_cast<int>(ms % 60);
  ms /= 60;
  parts.minute = static_cast<int>(ms % 60);
  parts.hour = static_cast<int>(ms / 60);
  return parts;
}

TDateTime Now() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms));
}

TDateTime Date() {
  return std::trunc(Now());
}

std::uint64_t TickCount64() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string FormatDateTime(const std::string& pattern, TDateTime date_time) {
  const DateParts d = DecodeDate(date_time);
  const TimeParts t = DecodeTime(date_time);
  auto two = [](int v) {
    std::string s = std::to_string(v % 100);
    return s.size() < 2 ? "0" + s : s;
  };
  auto pad = [](int v, std::size_t width) {
    std::string s = std::to_string(v);
    while (s.size() < width)
      s.insert(s.begin(), '0');
    return s;
  };
  std::string out;
  std::size_t i = 0;
  auto at = [&](const char* token) {
    return pattern.compare(i, std::char_traits<char>::length(token), token) == 0;
  };
  while (i < pattern.size()) {
    if (at("yyyy")) {
      out += pad(d.year, 4);
      i += 4;
    } else if (at("yy")) {
      out += two(d.year);
      i += 2;
    } else if (at("mm")) {
      out += two(d.month);
      i += 2;
    } else if (at("dd")) {
      out += two(d.day);
      i += 2;
    } else if (at("hh")) {
      out += two(t.hour);
      i += 2;
    } else if (at("nn")) {
      out += two(t.minute);
      i += 2;
    } else if (at("ss")) {
      out += two(t.second);
      i += 2;
    } else if (at("zzz")) {
      out += pad(t.millisecond, 3);
      i += 3;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

}  // namespace qm
