#pragma once

// Quoting of values and names for connection texts and SQL statements.

#include <string>
#include <string_view>

#include "db/postgres/pg_api.h"

namespace qm {

// A value for a connection text: in single quotes, with a backslash before ' and \.
std::string QuoteConnectionValue(std::string_view value);
// A plain SQL identifier: a letter or "_", then letters, digits, "_" or "$" (ASCII only).
bool IsPlainIdentifier(std::string_view name);
// The inside of a double-quoted identifier: every " doubled.
std::string EscapeIdentifier(std::string_view name);
// `value` as the inside of an SQL string literal, escaped on `handle` (the library knows the
// session's string rules); without a usable handle, quotes are doubled (standard-conforming
// strings). A zero byte or an encoding error raises EprmException "Postgre command: ...".
std::string EscapeLiteralOn(PPGconn handle, std::string_view value);
// A name as written after "listen" and the like: unchanged when plain, else double-quoted.
std::string IdentifierText(std::string_view name);
// A table name for the conveniences: dotted plain parts stay as written, anything else is
// double-quoted as a whole.
std::string TableNameText(std::string_view name);

}  // namespace qm
