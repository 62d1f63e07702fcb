// Statement results: error checks and freeing, on the calling thread or the pool thread.

#include <algorithm>
#include <utility>

#include "db/postgres/pg_connection.h"

#include "db/db_errors.h"

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
  const bool lost = Handle() == nullptr || lib.PQstatus(Handle()) == CONNECTION_BAD;
  Reconnect();
  RaiseCommandError(lost, "Postgre command: " + message, state);
}

void TmncPGConnection::RaiseCommandError(bool lost, const std::string& message,
                                         const std::string& sql_state) {
  if (lost)
    throw EmncConnectionLost(message, 0, sql_state);
  throw EmncSQLError(message, 0, sql_state);
}

void TmncPGConnection::ClearStatement(PPGresult& result) {
  if (result == nullptr)
    return;
  PPGresult taken = result;
  result = nullptr;
  DoClearStatement(taken);
}

void TmncPGConnection::DoClearStatement(PPGresult& result) {
  TPGResultOwner freed(std::exchange(result, nullptr));
}

// ---- TFreeStatementPool ----

TFreeStatementPool::TFreeStatementPool(TPGResultOwner statement)
    : TPoolObject("PGStatment"), FStatement(std::move(statement)) {}

void TFreeStatementPool::DoWork() {
  FStatement.reset();
}

void TprmPGConnection::DoClearStatement(PPGresult& result) {
  PPGresult taken = result;
  result = nullptr;
  if (taken == nullptr)
    return;
  // Freeing a large result takes long enough to delay the reply, so the pool thread does it;
  // a small one is freed here, cheaper than waking another thread.
  TmncPGLib& lib = PGLib();
  const std::int64_t values =
      static_cast<std::int64_t>(lib.PQntuples(taken)) * std::max(1, lib.PQnfields(taken));
  if (values < kPoolFreeValues)
    TPGResultOwner freed(taken);
  else
    PostPoolObject<TFreeStatementPool>(TPGResultOwner(taken));
}

}  // namespace qm
