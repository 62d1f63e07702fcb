#pragma once

// A Firebird transaction: each is its own engine transaction on its connection's attachment,
// started with the transaction parameter buffer built from its Params. A statement run outside
// an opened transaction runs in one of its own.
//
// Threads: used by the thread that uses its connection. Destruction: before its connection; a
// transaction still open where it ends is rolled back.

#include <ibase.h>

#include <memory>
#include <string>

#include "db/firebird/fb_connection.h"
#include "db/firebird/fb_owners.h"
#include "db/firebird/fb_params.h"
#include "db/sql_connections.h"

namespace qm {

class TmncFBTransaction : public TmncSQLTransaction {
 public:
  explicit TmncFBTransaction(TmncFBConnection* connection);
  ~TmncFBTransaction() override;

  TmncFBConnection* Connection() const;
  bool GetActive() const override { return FHandle.Get() != 0; }
  // Each statement of the script runs directly (TprmFBDBScript).
  void RunScript(const std::string& script, const std::string& name) override;
  // execute immediate inside this transaction.
  void Execute(const std::string& sql) override;
  using TmncSQLTransaction::Execute;

  isc_tr_handle* Handle() { return FHandle.Address(); }
  const TFBBuffer& TPB() const { return FTPB; }
  ISC_STATUS CheckTransactionStatus(ISC_STATUS result, const ISC_STATUS* status,
                                    bool raise_error = true);

 protected:
  void DoStart() override;
  void DoStop(TmncTransactionAction how, bool retaining) override;
  std::unique_ptr<TmncSQLCommand> DoCreateCommand() override;

 private:
  TmncFBConnection& RequireConnection() const;

  TFBTransactionHandle FHandle{FBLib()};  // bound to the connection's binding at start
  TFBBuffer FTPB;
};

}  // namespace qm
