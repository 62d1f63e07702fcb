#include "client/result_printer.h"

#include <algorithm>
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

// Control characters would break the grid or drive the terminal: line breaks and tabs are shown
// as blanks, the others (escape sequences from stored data, say) as "?".
std::string CellText(const TqmValueView& Value) {
  if (!Value) {
    return std::string(kNullText);
  }
  std::string text(*Value);
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
  const std::string_view text = *Value;
  if (!text.empty() && text.find_first_of(",\"\r\n") == std::string_view::npos) {
    return std::string(text);
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
      double number = 0;
      if (TryStrToFloat(text, number)) {
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
  return std::string(text);
}

}  // namespace

bool ParseOutputFormat(std::string_view Text, TqmOutputFormat& Format) {
  if (SameText(Text, "table")) {
    Format = TqmOutputFormat::Table;
  } else if (SameText(Text, "csv")) {
    Format = TqmOutputFormat::Csv;
  } else if (SameText(Text, "json")) {
    Format = TqmOutputFormat::Json;
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

std::string FormatJson(const TqmResultSet& Result) {
  if (Result.Columns.empty()) {
    return {};
  }
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (const TqmRowView& row : Result.Rows) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (std::size_t c = 0; c < Result.Columns.size() && c < row.size(); ++c) {
      object[Result.Columns[c].Name] = JsonValue(row[c], Result.Columns[c].DataType);
    }
    rows.push_back(std::move(object));
  }
  return rows.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string FormatResult(const TqmResultSet& Result, TqmOutputFormat Format) {
  switch (Format) {
    case TqmOutputFormat::Csv:
      return FormatCsv(Result);
    case TqmOutputFormat::Json:
      return FormatJson(Result);
    case TqmOutputFormat::Table:
    default:
      return FormatTable(Result);
  }
}

}  // namespace qm
