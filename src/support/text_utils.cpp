#include "support/text_utils.h"

#include <cmath>

#include "support/exception.h"
#include "support/number_text.h"

namespace qm {

std::string FirstNonEmpty(std::initializer_list<std::string_view> texts) {
  for (std::string_view t : texts) {
    if (!t.empty())
      return std::string(t);
  }
  return {};
}

int FirstNonEmpty(std::initializer_list<int> values) {
  for (int v : values) {
    if (v != 0)
      return v;
  }
  return 0;
}

double FirstNonEmpty(std::initializer_list<double> values) {
  for (double v : values) {
    if (v != 0.0)
      return v;
  }
  return 0.0;
}

std::string ChooseText(bool condition, std::string_view if_true, std::string_view if_false) {
  return std::string(condition ? if_true : if_false);
}

std::string TextPart(std::string_view text, const CharSet& separators, int index) {
  if (text.empty())
    return {};
  // Boundaries of every part: parts = separators + 1.
  std::vector<std::pair<std::size_t, std::size_t>> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (separators.Contains(text[i])) {
      parts.emplace_back(start, i);
      start = i + 1;
    }
  }
  parts.emplace_back(start, text.size());
  const long long count = static_cast<long long>(parts.size());
  long long at = index < 0 ? count + index : index;
  if (at < 0 || at >= count)
    return {};
  const auto& [from, to] = parts[static_cast<std::size_t>(at)];
  return std::string(text.substr(from, to - from));
}

int SplitTextWith(std::string_view text, const TSplitCallback& callback, const CharSet& separators,
                  const CharSet& blanks, const CharSet& quotes, TSplitOption options) {
  if (!callback)
    throw EprmException("StrToStrings: CallBackProc is nil");
  if (text.empty())
    return 0;
  const bool keep_empty = options == TSplitOption::EmptyParts;
  int count = 0;
  std::size_t start = 0;
  // `start == size` is one more round: a trailing separator leaves a final (empty) part.
  while (start <= text.size()) {
    if (!blanks.Empty()) {
      while (start < text.size() && blanks.Contains(text[start]))
        ++start;
    }
    char open_quote = '\0';
    bool quoted = false;
    std::size_t pos = start;
    for (; pos < text.size(); ++pos) {
      const char c = text[pos];
      if (quotes.Contains(c)) {
        if (!quoted) {
          quoted = true;
          open_quote = c;
        } else if (c == open_quote) {
          quoted = false;
        }
      } else if (!quoted && separators.Contains(c)) {
        break;
      }
    }
    const std::string part(text.substr(start, pos - start));
    if (keep_empty || !part.empty()) {
      bool resume = true;
      callback(count, part, resume);
      ++count;
      if (!resume)
        break;
    }
    start = pos + 1;
  }
  return count;
}

int StrToStrings(std::string_view text, TStrings& strings, const CharSet& separators,
                 const CharSet& blanks, const CharSet& quotes) {
  return SplitTextWith(
      text, [&strings](int, const std::string& part, bool&) { strings.push_back(part); },
      separators, blanks, quotes, TSplitOption::EmptyParts);
}

namespace {

std::string DropQuote(std::string_view text, char quote) {
  std::string_view rest = text.substr(1);
  if (!rest.empty() && rest.back() == quote)
    rest.remove_suffix(1);
  return std::string(rest);
}

}  // namespace

std::string Unquote(std::string_view text, std::string_view quote) {
  if (text.empty())
    return {};
  // A quote text is compared by its first character, like a single quote character.
  if (!quote.empty() && text.front() == quote.front())
    return DropQuote(text, quote.front());
  if (text.front() == '"' || text.front() == '\'')
    return DropQuote(text, text.front());
  return std::string(text);
}

std::string Unquote(std::string_view text, char quote) {
  if (!text.empty() && text.front() == quote)
    return DropQuote(text, quote);
  return std::string(text);
}

std::string StripChars(std::string_view text, const CharSet& chars, char replacement) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (!chars.Contains(c))
      result += c;
    else if (replacement != '\0')
      result += replacement;
  }
  return result;
}

std::string OneLineText(std::string_view text) {
  const std::string flat = StripChars(text, CharSet{'\r', '\n'}, ' ');
  std::string result;
  result.reserve(flat.size());
  for (char c : flat) {
    if (c == ' ' && !result.empty() && result.back() == ' ')
      continue;
    result += c;
  }
  return result;
}

namespace {

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool TextEquals(std::string_view a, std::string_view b, bool ignore_case) {
  return ignore_case ? SameText(a, b) : a == b;
}

template <typename Names>
int IndexIn(std::string_view text, const Names& names, bool ignore_case, int default_value) {
  int i = 0;
  for (const auto& name : names) {
    if (TextEquals(text, name, ignore_case))
      return i;
    ++i;
  }
  return default_value;
}

}  // namespace

int IndexOfText(std::string_view text, std::span<const std::string_view> names, bool ignore_case,
                int default_value) {
  return IndexIn(text, names, ignore_case, default_value);
}

int IndexOfText(std::string_view text, std::span<const std::string> names, bool ignore_case,
                int default_value) {
  return IndexIn(text, names, ignore_case, default_value);
}

int IndexOfText(std::string_view text, std::initializer_list<std::string_view> names,
                bool ignore_case, int default_value) {
  return IndexIn(text, names, ignore_case, default_value);
}

void AppendSeparated(std::string& text, std::string_view part, std::string_view separator) {
  if (part.empty())
    return;
  if (!text.empty()) {
    text += separator;
    text += ' ';
  }
  text += part;
}

std::string EscapeJson(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size() + 8);
  for (char c : text) {
    switch (c) {
      case '\b':
        result += "\\b";
        break;
      case '\t':
        result += "\\t";
        break;
      case '\n':
        result += "\\n";
        break;
      case '\f':
        result += "\\f";
        break;
      case '\r':
        result += "\\r";
        break;
      case '"':
        result += "\\\"";
        break;
      case '/':
        result += "\\/";
        break;
      case '\\':
        result += "\\\\";
        break;
      default: {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32) {
          result += "\\u00";
          result += kHex[u >> 4];
          result += kHex[u & 0x0F];
        } else {
          result += c;
        }
      }
    }
  }
  return result;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i]))
      return false;
  }
  return true;
}

std::string UpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    c = AsciiUpper(c);
  return result;
}

std::string LowerCase(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    c = AsciiLower(c);
  return result;
}

std::string Trim(std::string_view text) {
  // Like the platform's Trim: every control character and blank counts as white space.
  std::size_t from = 0;
  std::size_t to = text.size();
  while (from < to && static_cast<unsigned char>(text[from]) <= ' ')
    ++from;
  while (to > from && static_cast<unsigned char>(text[to - 1]) <= ' ')
    --to;
  return std::string(text.substr(from, to - from));
}

std::size_t SkipSqlBlanksAndComments(std::string_view text, bool skip_semicolons) {
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' ||
        (skip_semicolons && c == ';')) {
      ++i;
    } else if (text.substr(i, 2) == "--") {
      const std::size_t end = text.find('\n', i);
      i = end == std::string_view::npos ? text.size() : end + 1;
    } else if (text.substr(i, 2) == "/*") {
      const std::size_t end = text.find("*/", i + 2);
      i = end == std::string_view::npos ? text.size() : end + 2;
    } else {
      return i;
    }
  }
  return std::string_view::npos;
}

TDateTime ParseISODateTime(std::string_view text, char date_separator, char time_divider,
                           TDateTime default_date) {
  char divider = time_divider;
  if (divider == '\0')
    divider = text.find('T') != std::string_view::npos ? 'T' : ' ';

  const DateParts d = DecodeDate(default_date);
  int year = d.year;
  int month = d.month;
  int day = d.day;
  int hour = 0;
  int minute = 0;
  int second = 0;

  const CharSet divider_set{divider};
  std::string date_part = TextPart(text, divider_set, 0);
  std::string time_part = TextPart(text, divider_set, 1);
  if (time_part.empty() && date_part.find(':') != std::string::npos) {
    time_part = std::move(date_part);
    date_part.clear();
  }
  if (!date_part.empty()) {
    const CharSet sep{date_separator};
    year = StrToIntDef(TextPart(date_part, sep, 0), year);
    month = StrToIntDef(TextPart(date_part, sep, 1), month);
    day = StrToIntDef(TextPart(date_part, sep, 2), day);
  }
  if (!time_part.empty()) {
    const std::size_t zone = time_part.find('+');
    if (zone != std::string::npos)
      time_part.erase(zone);
    hour = StrToIntDef(TextPart(time_part, ":", 0), 0);
    minute = StrToIntDef(TextPart(time_part, ":", 1), 0);
    const double seconds = std::trunc(StrToFloatDef(TextPart(time_part, ":", 2), 0));
    // Out-of-range seconds must still reach the encoder as out of range (it raises), without
    // an undefined conversion to int.
    second = (seconds >= 0 && seconds < 60) ? static_cast<int>(seconds) : -1;
  }
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, 0);
}

TDateTime ParseISODateTime(std::string_view text, char date_separator, char time_divider,
                           bool use_now) {
  return ParseISODateTime(text, date_separator, time_divider, use_now ? Date() : 0.0);
}

}  // namespace qm
