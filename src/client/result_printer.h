#pragma once

// Text forms of a result set for people and scripts.
//
// table: a boxed, aligned table (numbers right-aligned, null shown as NULL) and a row count.
// csv:   RFC 4180 with a header line; null is an empty field, the empty text is "".
// json:  an array of objects keyed by column name, in column order; null is null, integer,
//        float, currency and boolean columns become JSON numbers and booleans when their text
//        reads as one.

#include <string>
#include <string_view>

#include "client/result_set.h"

namespace qm {

enum class TqmOutputFormat { Table, Csv, Json };

// "table", "csv", "json" ignoring case; false for anything else.
bool ParseOutputFormat(std::string_view Text, TqmOutputFormat& Format);

std::string FormatTable(const TqmResultSet& Result);
std::string FormatCsv(const TqmResultSet& Result);
std::string FormatJson(const TqmResultSet& Result);
std::string FormatResult(const TqmResultSet& Result, TqmOutputFormat Format);

// Display width of UTF-8 text in terminal columns: one per code point, two for the common
// East Asian wide ranges, none for combining marks.
std::size_t DisplayWidth(std::string_view Text);

}  // namespace qm
