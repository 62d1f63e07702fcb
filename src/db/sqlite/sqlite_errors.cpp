#include "db/sqlite/sqlite_errors.h"

#include "db/sqlite/sqlite_values.h"

namespace qm {

std::string SQLiteErrorMessage(TmncSQLiteLib& lib, sqlite3* handle, int result) {
  return handle != nullptr ? SQLiteText(lib.sqlite3_errmsg(handle))
                           : SQLiteText(lib.sqlite3_errstr(result));
}

int SQLiteErrorCode(TmncSQLiteLib& lib, sqlite3* handle, int result) {
  if (handle == nullptr || lib.sqlite3_extended_errcode == nullptr)
    return result;
  const int extended = lib.sqlite3_extended_errcode(handle);
  // A call that fails without touching the connection's error state leaves an older code there.
  return (extended & 0xFF) == (result & 0xFF) ? extended : result;
}

std::string SQLiteErrorText(const std::string& message, const std::string& detail) {
  std::string text = "sqlite: " + message;
  if (!detail.empty())
    text += " - " + detail;
  return text;
}

void RaiseSQLiteError(const std::string& message, const std::string& detail, int code) {
  throw EmncSQLError(SQLiteErrorText(message, detail), code);
}

void RaiseSQLiteConnectError(const std::string& message, const std::string& detail, int code) {
  throw EmncConnectFailed(SQLiteErrorText(message, detail), code);
}

}  // namespace qm
