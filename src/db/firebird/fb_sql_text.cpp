#include "db/firebird/fb_sql_text.h"

#include <string_view>

#include "db/db_errors.h"

namespace qm {

void FBCheckStatementText(const std::string& sql) {
  const std::size_t zero = sql.find('\0');
  if (zero != std::string::npos)
    throw EmncSQLError("Statement text holds a zero byte at offset " + std::to_string(zero) +
                       ": it is not run");
}

namespace {

bool IsIdentifierChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

// Moves `pos` past blanks and comments.
void SkipBlanks(const std::string& sql, std::size_t& pos) {
  while (pos < sql.size()) {
    if (static_cast<unsigned char>(sql[pos]) <= ' ') {
      ++pos;
    } else if (sql.compare(pos, 2, "--") == 0) {
      pos = sql.find('\n', pos);
      if (pos == std::string::npos)
        pos = sql.size();
    } else if (sql.compare(pos, 2, "/*") == 0) {
      pos = sql.find("*/", pos + 2);
      pos = pos == std::string::npos ? sql.size() : pos + 2;
    } else {
      return;
    }
  }
}

// The next word at `pos` (after blanks and comments) is `word`, ignoring case.
bool NextWordIs(const std::string& sql, std::size_t& pos, std::string_view word) {
  SkipBlanks(sql, pos);
  if (sql.size() - pos < word.size())
    return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = sql[pos + i];
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i])
      return false;
  }
  if (pos + word.size() < sql.size() && IsIdentifierChar(sql[pos + word.size()]))
    return false;
  pos += word.size();
  return true;
}

// A SET TRANSACTION statement: the library starts the transaction it describes.
}  // namespace

bool FBStartsTransaction(const std::string& sql) {
  std::size_t pos = 0;
  return NextWordIs(sql, pos, "SET") && NextWordIs(sql, pos, "TRANSACTION");
}

}  // namespace qm
