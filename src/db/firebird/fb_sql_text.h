#pragma once

// Statement text as the Firebird driver hands it to the client library.

#include <string>

namespace qm {

// The SQL dialect of every statement (dialects 1 and 2 are refused at connect).
inline constexpr int kFBSQLDialect = 3;

// Statement text goes to the library zero-terminated (its length argument is 16 bits wide, so
// a longer text could only be cut short). A zero byte inside would end it early: such a text is
// refused (EmncSQLError) rather than run in part.
void FBCheckStatementText(const std::string& sql);

// A SET TRANSACTION statement: the library starts the transaction it describes.
bool FBStartsTransaction(const std::string& sql);

}  // namespace qm
