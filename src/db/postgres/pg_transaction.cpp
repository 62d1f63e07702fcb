#include "db/postgres/pg_transaction.h"

#include "db/postgres/pg_command.h"
#include "db/postgres/pg_quoting.h"
#include "support/log.h"

namespace qm {

void TmncPGConnection::TRExecute(const std::function<void(TmncPGTransaction&)>& proc, bool start) {
  std::unique_ptr<TmncSQLTransaction> created = DoCreateTransaction();
  auto& transaction = static_cast<TmncPGTransaction&>(*created);
  if (start)
    transaction.TRExecute([&] { proc(transaction); });
  else
    proc(transaction);
}

// ---- TmncPGTransaction ----

TmncPGTransaction::TmncPGTransaction(TmncPGConnection* connection)
    : TmncSQLTransaction(connection) {}

TmncPGTransaction::~TmncPGTransaction() {
  BeforeDestruction();
}

TmncPGConnection* TmncPGTransaction::Connection() const {
  return dynamic_cast<TmncPGConnection*>(TmncTransaction::Connection());
}

PPGconn TmncPGTransaction::DBHandle() const {
  TmncPGConnection* connection = Connection();
  return connection == nullptr ? nullptr : connection->Handle();
}

void TmncPGTransaction::SetExclusive(bool value) {
  if (value == FExclusive)
    return;
  FExclusive = value;
  if (Active())
    throw EprmException("You can not set Exclusive when session active");
}

void TmncPGTransaction::Execute(const std::string& sql) {
  std::unique_ptr<TmncSQLCommand> command = CreateCommand();
  static_cast<TmncPGCommand&>(*command).SetOneShot(true);
  command->SetSQL(sql);
  command->Execute();
}

void TmncPGTransaction::DoStart() {
  Execute("begin isolation level read committed;");
}

void TmncPGTransaction::DoStop(TmncTransactionAction how, bool retaining) {
  // After an error the server has aborted the transaction and answers COMMIT with a rollback,
  // without an error of its own: that must not reach the caller as a successful commit.
  PPGconn handle = DBHandle();
  const bool aborted = how == sdaCommit && handle != nullptr &&
                       PGLib().PQtransactionStatus(handle) == PQTRANS_INERROR;
  Execute(how == sdaCommit ? "COMMIT" : "ROLLBACK");
  if (TmncPGConnection* connection = Connection())
    connection->FlushNotices(how == sdaCommit && !aborted);
  if (aborted)
    throw EprmException(
        "Postgre command: COMMIT rolled back the transaction, which an earlier error had "
        "aborted");
  // A retaining stop keeps the transaction open: without a new engine transaction the
  // statements after it would run in autocommit and the final stop would end nothing.
  if (retaining)
    DoStart();
}

std::unique_ptr<TmncSQLCommand> TmncPGTransaction::DoCreateCommand() {
  return std::make_unique<TmncPGCommand>(this);
}

void TmncPGTransaction::TRExecute(const std::function<void()>& proc) {
  TLogTick tick([] { return std::string("TRExecute"); });
  try {
    Start();
    proc();
    if (Active())
      Commit();
  } catch (...) {
    try {
      if (Active())
        Rollback();
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
}

std::string TmncPGTransaction::ShowValue(const std::string& name) {
  std::unique_ptr<TmncSQLCommand> command = CreateCommand("show " + name);
  if (!command->Execute())
    return std::string();
  return command->FieldItem(0)->AsString();
}

std::string TmncPGTransaction::ServerEncoding() {
  return ShowValue("Server_Encoding");
}

std::string TmncPGTransaction::ClientEncoding() {
  return ShowValue("Client_Encoding");
}

std::int64_t TmncPGTransaction::CountTable(const std::string& name) {
  std::unique_ptr<TmncSQLCommand> command =
      CreateCommand("select count(*) from " + TableNameText(name));
  if (!command->Execute())
    return 0;
  return command->FieldItem(0)->AsInt64();
}

TprmPGTransaction::~TprmPGTransaction() {
  BeforeDestruction();
}

std::unique_ptr<TmncSQLCommand> TprmPGTransaction::DoCreateCommand() {
  return std::make_unique<TprmPGCommand>(this);
}

}  // namespace qm
