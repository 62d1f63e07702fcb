#include "client/result_printer.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/number_text.h"
#include "support/text_utils.h"
#include "support/utf16.h"

namespace qm {

namespace {

constexpr std::string_view kNullText = "NULL";

bool IsNumeric(TDataHeaderType Type) {
  return Type == dhtInteger || Type == dhtCardinal || Type == dhtCurrency || Type == dhtDouble;
}

bool IsWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6);
}

bool IsCombining(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0xFE20 && c <= 0xFE2F);
}

}  // namespace

std::optional<std::string> BinaryAsHex(std::string_view Text) {
  bool binary = false;
  for (char c : Text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F) {
      binary = true;
      break;
    }
  }
  const std::u16string units = Utf8ToUtf16(Text);
  const bool valid = Utf16ToUtf8(units) == Text;
  if (!binary && valid)
    return std::nullopt;
  // Blobs of SQLite and Firebird arrive one character per byte (U+0000..U+00FF).
  std::string bytes;
  bool latin1 = valid;
  for (char16_t unit : units) {
    if (unit > 0xFF) {
      latin1 = false;
      break;
    }
    bytes += static_cast<char>(unit);
  }
  if (!latin1)
    bytes.assign(Text);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex = "\\x";
  hex.reserve(2 + bytes.size() * 2);
  for (unsigned char b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

namespace {

std::string Shown(std::string_view Text) {
  std::optional<std::string> hex = BinaryAsHex(Text);
  return hex ? *hex : std::string(Text);
}

// Whether a decimal number's text survives a double: at most 15 significant digits.
bool FitsADouble(std::string_view Text) {
  std::size_t digits = 0;
  std::size_t zeros = 0;  // trailing zeros not yet known to be significant
  bool leading = true;
  bool fraction = false;
  for (char c : Text) {
    if (c == 'e' || c == 'E')
      break;
    if (c == '.') {
      fraction = true;
      continue;
    }
    if (c < '0' || c > '9')
      continue;
    if (leading && c == '0')
      continue;
    leading = false;
    if (c == '0') {
      ++zeros;
    } else {
      digits += zeros + 1;
      zeros = 0;
    }
  }
  // Zeros before the point count; zeros at the end of a fraction do not change the value.
  if (!fraction)
    digits += zeros;
  return digits <= 15;
}

// Control characters would break the grid or drive the terminal: line breaks and tabs are shown
// as blanks, the others (escape sequences from stored data, say) as "?".
std::string CellText(const TqmValueView& Value) {
  if (!Value) {
    return std::string(kNullText);
  }
  std::string text = Shown(*Value);
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\t') {
      c = ' ';
    } else if ((c >= 0 && c < 0x20) || c == 0x7F) {
      c = '?';
    }
  }
  return text;
}

void Pad(std::string& Out, std::size_t Count) {
  Out.append(Count, ' ');
}

std::string CsvField(const TqmValueView& Value) {
  if (!Value) {
    return {};
  }
  const std::string shown = Shown(*Value);
  const std::string_view text = shown;
  if (!text.empty() && text.find_first_of(",\"\r\n") == std::string_view::npos) {
    return shown;
  }
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') {
      quoted += '"';
    }
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

nlohmann::ordered_json JsonValue(const TqmValueView& Value, TDataHeaderType Type) {
  if (!Value) {
    return nullptr;
  }
  const std::string_view text = *Value;
  switch (Type) {
    case dhtInteger:
    case dhtCardinal: {
      std::int64_t number = 0;
      if (TryStrToInt64(text, number)) {
        return number;
      }
      break;
    }
    case dhtCurrency:
    case dhtDouble: {
      // Exact numbers keep every digit: as a string when a double would lose some.
      double number = 0;
      if (FitsADouble(text) && TryStrToFloat(text, number) && std::isfinite(number)) {
        return number;
      }
      break;
    }
    case dhtBoolean: {
      const std::string lower = LowerCase(text);
      if (lower == "true" || lower == "t" || lower == "1") {
        return true;
      }
      if (lower == "false" || lower == "f" || lower == "0") {
        return false;
      }
      break;
    }
    default:
      break;
  }
  return Shown(text);
}

}  // namespace

bool ParseOutputFormat(std::string_view Text, TqmOutputFormat& Format) {
  if (SameText(Text, "table")) {
    Format = TqmOutputFormat::Table;
  } else if (SameText(Text, "csv")) {
    Format = TqmOutputFormat::Csv;
  } else if (SameText(Text, "json")) {
    Format = TqmOutputFormat::Json;
  } else if (SameText(Text, "jsonl")) {
    Format = TqmOutputFormat::JsonLines;
  } else {
    return false;
  }
  return true;
}

std::size_t DisplayWidth(std::string_view Text) {
  std::size_t width = 0;
  for (char16_t unit : Utf8ToUtf16(Text)) {
    // A surrogate pair counts once, as wide: above 0xFFFF are mostly emoji and ideographs.
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      continue;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      width += 2;
      continue;
    }
    const char32_t c = unit;
    if (IsCombining(c)) {
      continue;
    }
    width += IsWide(c) ? 2 : 1;
  }
  return width;
}

std::string FormatTable(const TqmResultSet& Result) {
  const std::size_t columns = Result.Columns.size();
  if (columns == 0) {
    return "OK\n";
  }
  std::vector<std::vector<std::string>> cells;
  cells.reserve(Result.Rows.size());
  std::vector<std::size_t> widths(columns, 0);
  for (std::size_t c = 0; c < columns; ++c) {
    widths[c] = DisplayWidth(Result.Columns[c].Name);
  }
  for (const TqmRowView& row : Result.Rows) {
    std::vector<std::string>& line = cells.emplace_back();
    for (std::size_t c = 0; c < columns; ++c) {
      line.push_back(c < row.size() ? CellText(row[c]) : std::string());
      widths[c] = std::max(widths[c], DisplayWidth(line.back()));
    }
  }

  std::string rule = "+";
  for (std::size_t width : widths) {
    rule.append(width + 2, '-');
    rule += '+';
  }
  rule += '\n';

  std::string out = rule;
  out += '|';
  for (std::size_t c = 0; c < columns; ++c) {
    out += ' ';
    out += Result.Columns[c].Name;
    Pad(out, widths[c] - DisplayWidth(Result.Columns[c].Name));
    out += " |";
  }
  out += '\n';
  out += rule;
  for (const std::vector<std::string>& line : cells) {
    out += '|';
    for (std::size_t c = 0; c < columns; ++c) {
      const std::size_t gap = widths[c] - DisplayWidth(line[c]);
      out += ' ';
      if (IsNumeric(Result.Columns[c].DataType)) {
        Pad(out, gap);
        out += line[c];
      } else {
        out += line[c];
        Pad(out, gap);
      }
      out += " |";
    }
    out += '\n';
  }
  out += rule;
  const std::size_t count = Result.Rows.size();
  out += "(" + std::to_string(count) + (count == 1 ? " row)\n" : " rows)\n");
  return out;
}

std::string FormatCsv(const TqmResultSet& Result) {
  if (Result.Columns.empty()) {
    return {};
  }
  std::string out;
  auto add_line = [&out](const std::vector<std::string>& fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i > 0) {
        out += ',';
      }
      out += fields[i];
    }
    out += "\r\n";
  };
  std::vector<std::string> fields;
  for (const TqmColumn& column : Result.Columns) {
    fields.push_back(CsvField(column.Name));
  }
  add_line(fields);
  for (const TqmRowView& row : Result.Rows) {
    fields.clear();
    for (const TqmValueView& value : row) {
      fields.push_back(CsvField(value));
    }
    add_line(fields);
  }
  return out;
}

namespace {

nlohmann::ordered_json JsonRow(const TqmResultSet& Result, const TqmRowView& Row) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (std::size_t c = 0; c < Result.Columns.size() && c < Row.size(); ++c) {
    object[Result.Columns[c].Name] = JsonValue(Row[c], Result.Columns[c].DataType);
  }
  return object;
}

std::string DumpJson(const nlohmann::ordered_json& Value) {
  return Value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

std::string JsonRows(const TqmResultSet& Result) {
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (const TqmRowView& row : Result.Rows) {
    rows.push_back(JsonRow(Result, row));
  }
  return DumpJson(rows);
}

std::string FormatJson(const TqmResultSet& Result) {
  if (Result.Columns.empty()) {
    return {};
  }
  return JsonRows(Result) + "\n";
}

std::string FormatJsonLines(const TqmResultSet& Result) {
  std::string out;
  for (const TqmRowView& row : Result.Rows) {
    out += DumpJson(JsonRow(Result, row));
    out += '\n';
  }
  return out;
}

std::string FormatResult(const TqmResultSet& Result, TqmOutputFormat Format) {
  switch (Format) {
    case TqmOutputFormat::Csv:
      return FormatCsv(Result);
    case TqmOutputFormat::Json:
      return FormatJson(Result);
    case TqmOutputFormat::JsonLines:
      return FormatJsonLines(Result);
    case TqmOutputFormat::Table:
    default:
      return FormatTable(Result);
  }
}

}  // namespace qm
