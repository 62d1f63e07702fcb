#pragma once

// Text forms of a result set for people and scripts.
//
// table: a boxed, aligned table (numbers right-aligned, null shown as NULL) and a row count.
// csv:   RFC 4180 with a header line; null is an empty field, the empty text is "".
// json:  an array of objects keyed by column name, in column order; null is null, integer,
//        float, currency and boolean columns become JSON numbers and booleans when their text
//        reads as one and a number keeps every digit (otherwise the text is a string).
// jsonl: one such object per line, per row.
// Binary values (text holding control characters other than tab and line breaks, or bytes that
// are no UTF-8) are shown as \x and their bytes in hex in every format.

#include <optional>
#include <string>
#include <string_view>

#include "client/result_set.h"

namespace qm {

enum class TqmOutputFormat { Table, Csv, Json, JsonLines };

// "table", "csv", "json", "jsonl" ignoring case; false for anything else.
bool ParseOutputFormat(std::string_view Text, TqmOutputFormat& Format);

std::string FormatTable(const TqmResultSet& Result);
std::string FormatCsv(const TqmResultSet& Result);
std::string FormatJson(const TqmResultSet& Result);
std::string FormatJsonLines(const TqmResultSet& Result);
// The rows as one JSON array (no line end), for a caller that joins several results.
std::string JsonRows(const TqmResultSet& Result);
std::string FormatResult(const TqmResultSet& Result, TqmOutputFormat Format);

// "\x" and the hex of a value's bytes when the value is binary (see above), nothing otherwise.
// A text of characters up to U+00FF stands for those bytes; text that is no UTF-8 for itself.
std::optional<std::string> BinaryAsHex(std::string_view Text);

// Display width of UTF-8 text in terminal columns: one per code point, two for the common
// East Asian wide ranges, none for combining marks.
std::size_t DisplayWidth(std::string_view Text);

}  // namespace qm
