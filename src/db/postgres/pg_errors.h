#pragma once

// PostgreSQL failures as the database layer's errors by cause (db/db_errors.h).

#include <string>

namespace qm {

// EmncConnectionLost when `lost` (the connection is gone), else EmncSQLError; both carry
// the SQLSTATE when the server gave one. The message is passed on unchanged.
[[noreturn]] void RaisePGError(bool lost, const std::string& message,
                               const std::string& sql_state = std::string());

}  // namespace qm
