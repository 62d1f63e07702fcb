// Statement results: freed on the calling thread or the pool thread.

#include <algorithm>
#include <utility>

#include "db/postgres/pg_connection.h"

namespace qm {

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
