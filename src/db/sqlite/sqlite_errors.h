#pragma once

// Errors of the SQLite driver. The library's failures raise the database layer's exceptions by
// cause (db/db_errors.h), with the text "sqlite: <library message>[ - <detail>]" that clients
// match, and the library's extended result code. SQLite has no SQLSTATE and no connection that
// can be lost: a failure while connecting is EmncConnectFailed, any other one EmncSQLError.

#include <sqlite3.h>

#include <string>

#include "db/db_errors.h"
#include "db/sqlite/sqlite_api.h"

namespace qm {

// The library's text for the failed call: the connection's message when there is a connection,
// else the text of `result`.
std::string SQLiteErrorMessage(TmncSQLiteLib& lib, sqlite3* handle, int result);
// The extended result code of the failed call: the connection's when it reports the same
// failure, else `result`. Read it before anything else runs on the connection.
int SQLiteErrorCode(TmncSQLiteLib& lib, sqlite3* handle, int result);

// "sqlite: <message>[ - <detail>]". Clients match these texts, so a detail is written even when
// it repeats the message (a failed step's finalize reports the same error again).
std::string SQLiteErrorText(const std::string& message, const std::string& detail);
// EmncSQLError with that text.
[[noreturn]] void RaiseSQLiteError(const std::string& message, const std::string& detail, int code);
// EmncConnectFailed with that text.
[[noreturn]] void RaiseSQLiteConnectError(const std::string& message, const std::string& detail,
                                          int code);

}  // namespace qm
