#pragma once

// PostgreSQL transactions: started and ended by SQL on the connection.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db/postgres/pg_connection.h"

namespace qm {

// A transaction of an emulated PostgreSQL connection: "begin isolation level read committed;"
// at the first start, "COMMIT" / "ROLLBACK" at the last stop, then the connection's notices are
// flushed.
class TmncPGTransaction : public TmncSQLTransaction {
 public:
  explicit TmncPGTransaction(TmncPGConnection* connection);
  ~TmncPGTransaction() override;

  TmncPGConnection* Connection() const;
  // The connection's handle, nil without a connection.
  PPGconn DBHandle() const;
  bool Exclusive() const { return FExclusive; }
  // Stores the value; a change while active then raises "You can not set Exclusive when
  // session active".
  void SetExclusive(bool value);

  using TmncSQLTransaction::Execute;
  // Runs `sql` once as the unnamed statement: one round trip, where a prepared statement
  // needs three (prepare, execute, deallocate). BEGIN and COMMIT go this way.
  void Execute(const std::string& sql) override;

  // Start, `proc`, Commit when still active; on failure Rollback and re-raise.
  void TRExecute(const std::function<void()>& proc);
  std::string ServerEncoding();
  std::string ClientEncoding();
  std::int64_t CountTable(const std::string& name);

 protected:
  void DoStart() override;
  void DoStop(TmncTransactionAction how, bool retaining) override;
  std::unique_ptr<TmncSQLCommand> DoCreateCommand() override;

 private:
  std::string ShowValue(const std::string& name);

  bool FExclusive = false;
};

class TprmPGTransaction : public TmncPGTransaction {
 public:
  using TmncPGTransaction::TmncPGTransaction;
  ~TprmPGTransaction() override;

 protected:
  std::unique_ptr<TmncSQLCommand> DoCreateCommand() override;
};

}  // namespace qm
