#include "db/sqlite/sqlite_transaction.h"

#include "db/db_errors.h"
#include "db/sqlite/sqlite_command.h"

namespace qm {

TmncSQLiteTransaction::TmncSQLiteTransaction(TmncSQLiteConnection* connection)
    : TmncSQLTransaction(connection) {}

TmncSQLiteTransaction::~TmncSQLiteTransaction() {
  BeforeDestruction();
}

TmncSQLiteConnection* TmncSQLiteTransaction::Connection() const {
  return static_cast<TmncSQLiteConnection*>(TmncSQLTransaction::Connection());
}

void TmncSQLiteTransaction::Execute(const std::string& sql) {
  if (Connection() == nullptr)
    throw EmncStateError("Connection is not connected");
  Connection()->Execute(sql);
}

void TmncSQLiteTransaction::DoStart() {
  Execute("BEGIN");
}

void TmncSQLiteTransaction::DoStop(TmncTransactionAction how, bool retaining) {
  Execute(how == sdaCommit ? "COMMIT" : "ROLLBACK");
  if (retaining)
    Execute("BEGIN");
}

std::int64_t TmncSQLiteTransaction::GetLastRowID() {
  CheckActive();
  TmncSQLiteConnection* connection = Connection();
  if (connection == nullptr || connection->DBHandle() == nullptr)
    throw EmncStateError("Connection is not connected");
  return connection->Lib().sqlite3_last_insert_rowid(connection->DBHandle());
}

int TmncSQLiteTransaction::GetRowsChanged() {
  CheckActive();
  TmncSQLiteConnection* connection = Connection();
  if (connection == nullptr || connection->DBHandle() == nullptr)
    throw EmncStateError("Connection is not connected");
  return connection->Lib().sqlite3_changes(connection->DBHandle());
}

std::unique_ptr<TmncSQLCommand> TmncSQLiteTransaction::DoCreateCommand() {
  return std::make_unique<TmncSQLiteCommand>(this);
}

}  // namespace qm
