#pragma once

// Database errors typed by cause. Every driver raises these, so a caller asks "is the connection
// gone?" or "what SQLSTATE did the statement fail with?" once, for every engine. The message is
// the engine's text exactly as clients read it; the cause is only in the type.
//
//   EmncException                 the database layer's base
//   ├── EmncEngineError           the engine reported a failure (its code and SQLSTATE)
//   │   ├── EmncSQLError          a statement failed: syntax, constraint, permission, cancel
//   │   ├── EmncConnectionLost    the connection is gone; the session cannot go on with it
//   │   └── EmncConnectFailed     opening a connection failed: login, database, host
//   └── EmncStateError            a call that does not fit the object's state (our own check)

#include <cstdint>
#include <string>
#include <utility>

#include "support/exception.h"

namespace qm {

class EmncEngineError : public EmncException {
 public:
  // Code is the engine's native number (Firebird: the SQL code; SQLite: the extended result
  // code; PostgreSQL: 0), SQLState the five-character state where the engine has one.
  explicit EmncEngineError(std::string message, std::int32_t code = 0, std::string sql_state = {})
      : EmncException(std::move(message)), FCode(code), FSQLState(std::move(sql_state)) {}
  std::int32_t Code() const noexcept { return FCode; }
  const std::string& SQLState() const noexcept { return FSQLState; }

 private:
  std::int32_t FCode;
  std::string FSQLState;
};

class EmncSQLError : public EmncEngineError {
 public:
  using EmncEngineError::EmncEngineError;
};

class EmncConnectionLost : public EmncEngineError {
 public:
  using EmncEngineError::EmncEngineError;
};

class EmncConnectFailed : public EmncEngineError {
 public:
  using EmncEngineError::EmncEngineError;
};

class EmncStateError : public EmncException {
 public:
  using EmncException::EmncException;
};

}  // namespace qm
