#pragma once

// Text and date helpers shared by every layer (numbers as text: support/number_text.h). All
// functions are stateless and may be called from any thread. Text is UTF-8; a character set holds
// byte values 0..255 and is used for ASCII separators, blanks and quotes, so cutting UTF-8 at its
// members never splits a multi-byte character.

#include <bitset>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/date_time.h"

namespace qm {

// A set of byte values. Built from the bytes of a text: CharSet(",;") or CharSet{'\r', '\n'}.
class CharSet {
 public:
  CharSet() = default;
  CharSet(std::string_view chars) {  // NOLINT(google-explicit-constructor): sets read as text
    for (char c : chars)
      bits_.set(static_cast<unsigned char>(c));
  }
  CharSet(const char* chars) : CharSet(std::string_view(chars)) {}  // NOLINT
  CharSet(std::initializer_list<char> chars) {
    for (char c : chars)
      bits_.set(static_cast<unsigned char>(c));
  }

  bool Contains(char c) const { return bits_.test(static_cast<unsigned char>(c)); }
  bool Empty() const { return bits_.none(); }

 private:
  std::bitset<256> bits_;
};

using TStrings = std::vector<std::string>;

// The first element that is not empty (not 0, not 0.0); empty (0, 0.0) when there is none.
// A blank is not empty: FirstNonEmpty({" ", "x"}) is " ".
std::string FirstNonEmpty(std::initializer_list<std::string_view> texts);
int FirstNonEmpty(std::initializer_list<int> values);
double FirstNonEmpty(std::initializer_list<double> values);

std::string ChooseText(bool condition, std::string_view if_true, std::string_view if_false);

// Part `index` of `text` cut at single separator bytes; adjacent separators enclose an empty
// part. A negative index counts from the end (-1 is the last part). Out of range gives "".
std::string TextPart(std::string_view text, const CharSet& separators, int index);

enum class TSplitOption : unsigned { None = 0, EmptyParts = 1 };

// Receives each part with its item number; clearing `resume` stops the split.
using TSplitCallback = std::function<void(int index, const std::string& part, bool& resume)>;

// Cuts `text` into parts: leading blanks of each part are skipped, separators inside a quote
// (opened and closed by the same quote byte, quotes kept in the part) do not cut, an unclosed
// quote runs to the end. Empty parts are delivered only with TSplitOption::EmptyParts.
// Returns the number of parts delivered. An empty callback raises EprmException
// "StrToStrings: CallBackProc is nil".
int SplitTextWith(std::string_view text, const TSplitCallback& callback, const CharSet& separators,
                  const CharSet& blanks = {}, const CharSet& quotes = {},
                  TSplitOption options = TSplitOption::None);

// SplitTextWith with empty parts kept, appending each part to `strings`. Returns the count added.
int StrToStrings(std::string_view text, TStrings& strings, const CharSet& separators,
                 const CharSet& blanks = {}, const CharSet& quotes = {});

// Drops an enclosing quote: `quote` when given and `text` starts with it, otherwise a leading
// double or single quote. The last character goes too only when it is the same quote.
std::string Unquote(std::string_view text, std::string_view quote = {});
// Drops `quote` at the start, and at the end when it is there as well.
std::string Unquote(std::string_view text, char quote);

// Every byte of `chars` dropped (replacement '\0') or replaced by `replacement`.
std::string StripChars(std::string_view text, const CharSet& chars, char replacement = '\0');

// CR and LF become blanks, then each run of blanks becomes one blank.
std::string OneLineText(std::string_view text);

// Index of the first name equal to `text` (ignoring ASCII case when `ignore_case`), else
// `default_value`.
int IndexOfText(std::string_view text, std::span<const std::string_view> names,
                bool ignore_case = false, int default_value = -1);
int IndexOfText(std::string_view text, std::span<const std::string> names, bool ignore_case = false,
                int default_value = -1);
int IndexOfText(std::string_view text, std::initializer_list<std::string_view> names,
                bool ignore_case = false, int default_value = -1);

// Appends `part` to `text`, after `separator` and one blank when `text` is not empty. An empty
// `part` changes nothing.
void AppendSeparated(std::string& text, std::string_view part, std::string_view separator);

// Escapes for the inside of a JSON string: \b \t \n \f \r \" \/ \\ and \u00XX for other
// control bytes. Bytes from 0x20 up (including UTF-8 sequences) are copied.
std::string EscapeJson(std::string_view text);

// ASCII case helpers for names that compare ignoring case.
bool SameText(std::string_view a, std::string_view b);
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
std::string Trim(std::string_view text);

// Where SQL code starts in `text`: past blanks, "-- ..." to the line end and "/* ... */" (one
// left open runs to the end, as SQLite allows), and past ";" too when `skip_semicolons`.
// std::string_view::npos when nothing else is there.
std::size_t SkipSqlBlanksAndComments(std::string_view text, bool skip_semicolons);

// Reads "yyyy-mm-dd", "yyyy-mm-ddThh:nn:ss[.fff][+zz]", "yyyy-mm-dd hh:nn:ss" or "hh:nn[:ss]".
// `time_divider` '\0' means "T" when the text holds one, else a blank. Unreadable date parts
// keep the default date's value, unreadable time parts read 0, fractions of a second and a zone
// after "+" are dropped. An impossible date or time raises EConvertError.
TDateTime ParseISODateTime(std::string_view text, char date_separator, char time_divider,
                           TDateTime default_date);
// Default date: today when `use_now`, else day 0 (1899-12-30).
TDateTime ParseISODateTime(std::string_view text, char date_separator = '-',
                           char time_divider = '\0', bool use_now = false);

// The utility class of the original design, kept as a name scope: pmu::FirstNonEmpty(...).
namespace pmu {
using qm::AppendSeparated;
using qm::ChooseText;
using qm::EscapeJson;
using qm::FirstNonEmpty;
using qm::IndexOfText;
using qm::OneLineText;
using qm::ParseISODateTime;
using qm::SplitTextWith;
using qm::StripChars;
using qm::StrToStrings;
using qm::TextPart;
using qm::Unquote;
}  // namespace pmu

}  // namespace qm
