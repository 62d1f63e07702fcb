#include "db/firebird/fb_transaction.h"

#include "db/db_errors.h"
#include "db/firebird/fb_command.h"
#include "db/firebird/fb_sql_text.h"

namespace qm {
namespace {

// One transaction-existence block of isc_start_multiple.
struct TFBTEB {
  isc_db_handle* db_ptr;
  ISC_LONG tpb_len;
  const char* tpb_ptr;
};

}  // namespace

TmncFBTransaction::TmncFBTransaction(TmncFBConnection* connection)
    : TmncSQLTransaction(connection) {}

TmncFBTransaction::~TmncFBTransaction() {
  BeforeDestruction();
  // A transaction of an attachment that is gone went with it; FHandle rolls back any other one.
  if (Connection() == nullptr || !Connection()->Connected())
    FHandle.Forget();
}

TmncFBConnection* TmncFBTransaction::Connection() const {
  return static_cast<TmncFBConnection*>(TmncSQLTransaction::Connection());
}

TmncFBConnection& TmncFBTransaction::RequireConnection() const {
  TmncFBConnection* connection = Connection();
  if (connection == nullptr || !connection->Connected())
    throw EmncStateError("Connection is not connected");
  return *connection;
}

ISC_STATUS TmncFBTransaction::CheckTransactionStatus(ISC_STATUS result, const ISC_STATUS* status,
                                                     bool raise_error) {
  if (result > 0 && Connection() != nullptr && IsConnectionLost(status)) {
    FHandle.Forget();  // went with the attachment
    return Connection()->CheckConnectionStatus(result, status, raise_error);
  }
  TmncFBLib& lib = Connection() != nullptr ? Connection()->Lib() : FBLib();
  return CheckFBStatus(lib, result, status, raise_error);
}

void TmncFBTransaction::DoStart() {
  TmncFBConnection& connection = RequireConnection();
  FTPB = BuildTPB(Params().Lines());
  TFBTEB block{connection.Handle(), static_cast<ISC_LONG>(FTPB.size()),
               FTPB.empty() ? nullptr : FTPB.data()};
  TFBStatus status;
  FHandle.Bind(connection.Lib());
  const ISC_STATUS result =
      connection.Lib().isc_start_multiple(status.Data(), FHandle.Address(), 1, &block);
  if (result > 0) {
    FHandle.Forget();  // none was started
    CheckTransactionStatus(result, status.Data());
  }
}

void TmncFBTransaction::DoStop(TmncTransactionAction how, bool retaining) {
  TmncFBConnection& connection = RequireConnection();
  TmncFBLib& lib = connection.Lib();
  TFBStatus status;
  ISC_STATUS result;
  if (how == sdaCommit)
    result = retaining ? lib.isc_commit_retaining(status.Data(), FHandle.Address())
                       : lib.isc_commit_transaction(status.Data(), FHandle.Address());
  else
    result = retaining ? lib.isc_rollback_retaining(status.Data(), FHandle.Address())
                       : lib.isc_rollback_transaction(status.Data(), FHandle.Address());
  CheckTransactionStatus(result, status.Data());
}

void TmncFBTransaction::Execute(const std::string& sql) {
  TmncFBConnection& connection = RequireConnection();
  FBCheckStatementText(sql);
  // Outside an opened transaction a statement runs in one of its own, committed when it
  // succeeded. SET TRANSACTION is the exception: it starts this transaction itself (the
  // library fills in the handle), and the statements after it run there until a COMMIT or
  // ROLLBACK statement ends it (the library clears the handle).
  const bool implicit = !Active() && !FBStartsTransaction(sql);
  if (implicit)
    Start();
  try {
    TFBStatus status;
    CheckTransactionStatus(connection.Lib().isc_dsql_execute_immediate(
                               status.Data(), connection.Handle(), FHandle.Address(), 0,
                               sql.c_str(), kFBSQLDialect, nullptr),
                           status.Data());
    if (implicit && Active())
      Commit();
  } catch (...) {
    if (implicit && Active()) {
      try {
        Rollback();
      } catch (...) {
      }
    }
    throw;
  }
}

std::unique_ptr<TmncSQLCommand> TmncFBTransaction::DoCreateCommand() {
  return std::make_unique<TmncFBCommand>(this);
}

}  // namespace qm
