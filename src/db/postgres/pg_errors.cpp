#include "db/postgres/pg_errors.h"

#include "db/db_errors.h"
#include "db/postgres/pg_connection.h"

namespace qm {

void TmncPGConnection::CheckResult(PGresult* result) {
  TmncPGLib& lib = PGLib();
  const auto status = static_cast<TExecStatusType>(lib.PQresultStatus(result));
  if (status != PGRES_BAD_RESPONSE_ && status != PGRES_NONFATAL_ERROR_ &&
      status != PGRES_FATAL_ERROR_)
    return;
  // Without a result the reason is on the connection.
  const std::string message = result != nullptr ? PGText(lib.PQresultErrorMessage(result))
                                                : PGText(lib.PQerrorMessage(Handle()));
  const std::string state =
      result != nullptr ? PGText(lib.PQresultErrorField(result, PG_DIAG_SQLSTATE)) : std::string();
  // No handle at all: the connection was never opened or has been closed, a misuse.
  const bool disconnected = Handle() == nullptr;
  const bool lost = disconnected || lib.PQstatus(Handle()) == CONNECTION_BAD;
  Reconnect();
  if (disconnected)
    throw EmncStateError("Postgre command: " + message);
  RaisePGError(lost, "Postgre command: " + message, state);
}

void RaisePGError(bool lost, const std::string& message, const std::string& sql_state) {
  if (lost)
    throw EmncConnectionLost(message, 0, sql_state);
  throw EmncSQLError(message, 0, sql_state);
}

}  // namespace qm
