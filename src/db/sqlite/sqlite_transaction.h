#pragma once

// A SQLite transaction: all transactions of a connection share its single engine transaction
// (SQLite has one per connection), started with BEGIN and ended with COMMIT or ROLLBACK.
//
// Threads: used by the thread that uses its connection.

#include <cstdint>
#include <memory>
#include <string>

#include "db/sql_connections.h"
#include "db/sqlite/sqlite_connection.h"

namespace qm {

class TmncSQLiteTransaction : public TmncSQLTransaction {
 public:
  explicit TmncSQLiteTransaction(TmncSQLiteConnection* connection);
  ~TmncSQLiteTransaction() override;

  TmncSQLiteConnection* Connection() const;
  // Runs `sql` directly on the connection (all its statements, no rows).
  void Execute(const std::string& sql) override;
  using TmncSQLTransaction::Execute;

  // Need an active transaction (else "Transaction is not active/opened").
  std::int64_t GetLastRowID();
  int GetRowsChanged();

 protected:
  void DoStart() override;  // "BEGIN"
  // "COMMIT" or "ROLLBACK"; with retaining "BEGIN" again.
  void DoStop(TmncTransactionAction how, bool retaining) override;
  std::unique_ptr<TmncSQLCommand> DoCreateCommand() override;
};

}  // namespace qm
