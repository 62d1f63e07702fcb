#pragma once

// The Firebird engine of the database access layer: a connection attached to one database on a
// server (`Resource` is the database path or alias, `Host` and `Port` the server), transactions
// that are each their own engine transaction, and commands over prepared statements.
//
// Library errors raise EFBError (fb_errors.h) with the library's text and the code line. Errors
// that show a lost server connection close the connection object while they propagate, so the
// session sees a disconnected connection afterwards.
//
// Threads: a connection with its transactions and commands is used by one thread at a time;
// `Interrupt` is the one call meant for another thread while a statement runs.
//
// Destruction: free the commands, then the transactions, then the connection.

#include <ibase.h>

#include <cstdint>
#include <memory>
#include <string>

#include "db/db_script.h"
#include "db/firebird/fb_api.h"
#include "db/firebird/fb_errors.h"
#include "db/firebird/fb_params.h"
#include "db/firebird/fb_values.h"
#include "db/sql_connections.h"
#include "support/thread_annotations.h"

namespace qm {

enum TFBErrorHandle { eonExecute, eonDisconnect };
using TFBErrorHandles = EnumSet<TFBErrorHandle>;

// Statement types as the client API numbers them.
enum TFBDSQLTypes {
  SQLUnknown,
  SQLSelect,
  SQLInsert,
  SQLUpdate,
  SQLDelete,
  SQLDDL,
  SQLGetSegment,
  SQLPutSegment,
  SQLExecProcedure,
  SQLStartTransaction,
  SQLCommit,
  SQLRollback,
  SQLSelectForUpdate,
  SQLSetSequence,
  SQLSavePoint,
};

// "host/port:resource", "host:resource" (no port, or the host names its own port) or
// "resource" (no host).
std::string FBConnectString(const std::string& resource, const std::string& host,
                            const std::string& port);
// Text between single quotes for SQL, inner quotes doubled.
std::string FBQuoted(const std::string& text);

class TmncFBTransaction;
class TmncFBCommand;

class TmncFBConnection : public TmncSQLConnection {
 public:
  // Loads the process-wide binding; a missing library raises the loader's EInOutError.
  TmncFBConnection();
  explicit TmncFBConnection(TmncFBLib& library);
  ~TmncFBConnection() override;

  // ccDB, ccAlias, ccPath, ccCreate, ccSQL, ccNetwork, ccTransaction, ccMultiTransaction.
  TmncCapabilities Capabilities() const override;
  std::string EngineName() const override { return "FirebirdSQL"; }
  std::string GetExtension() const override { return ".fdb"; }
  // execute immediate outside any transaction.
  void DirectExecute(const std::string& sql) override;

  using TmncSQLConnection::CreateDatabase;
  using TmncSQLConnection::DropDatabase;
  using TmncSQLConnection::IsDatabaseExists;
  bool IsDatabaseExists(const std::string& /*name*/) override { return false; }
  // CREATE DATABASE with the connection's user, password and character set; detached at once.
  void CreateDatabase(const std::string& name, bool check_exists) override;
  void DropDatabase(const std::string& name, bool check_exists) override;
  // Attached, and the server still answers.
  bool TestConnected() override;

  // Cancels the running statement of this attachment; may be called from another thread.
  void Interrupt() override;
  std::string GetVersion();
  bool IsReadOnly();
  int GetSQLDialect();
  // A context variable of the USER_TRANSACTION namespace, set in a transaction of its own.
  void SetVariable(const std::string& name, const std::string& value);

  // The reply to one database information item (512 bytes).
  TFBBuffer DatabaseInfo(std::uint8_t item);
  // Raises (and closes this connection first when the vector shows a lost connection) when
  // `raise_error` and the call failed.
  ISC_STATUS CheckConnectionStatus(ISC_STATUS result, const ISC_STATUS* status,
                                   bool raise_error = true);

  isc_db_handle* Handle() { return &FHandle; }
  TmncFBLib& Lib() const { return *FLib; }
  // Whether a connect without a user name (or password) takes the driver's default ones (the
  // administrator account with its well-known password). Off: such a connect is refused.
  bool DefaultCredentials() const { return FDefaultCredentials; }
  void SetDefaultCredentials(bool value) { FDefaultCredentials = value; }
  const std::string& CharacterSet() const { return FCharacterSet; }
  void SetCharacterSet(const std::string& value) { FCharacterSet = value; }
  TFBErrorHandles ErrorHandles() const { return FErrorHandles; }
  void SetErrorHandles(TFBErrorHandles value) { FErrorHandles = value; }

 protected:
  void DoConnect() override;
  void DoDisconnect() override;
  bool GetConnected() const override { return FHandle != 0; }
  std::unique_ptr<TmncSQLTransaction> DoCreateTransaction() override;
  std::unique_ptr<TmncSQLConnection> CreateSameClass() const override {
    return std::make_unique<TmncFBConnection>(*FLib);
  }

 private:
  // Forgets a lost attachment (the library frees what it still holds).
  void DropLostHandle();
  // The handle that Interrupt cancels on.
  void PublishHandle(isc_db_handle handle);
  void ExecuteDatabaseStatement(const std::string& statement, bool detach);

  TmncFBLib* FLib;  // process-wide binding, outlives every connection
  TFBErrorHandles FErrorHandles{eonExecute, eonDisconnect};
  isc_db_handle FHandle = 0;
  TMutex FInterruptLock;
  // FHandle for Interrupt on another thread; cleared before the handle is detached.
  isc_db_handle FSharedHandle GUARDED_BY(FInterruptLock) = 0;
  std::string FCharacterSet = "UTF8";
  bool FDefaultCredentials = false;
};

class TmncFBTransaction : public TmncSQLTransaction {
 public:
  explicit TmncFBTransaction(TmncFBConnection* connection);
  ~TmncFBTransaction() override;

  TmncFBConnection* Connection() const;
  bool GetActive() const override { return FHandle != 0; }
  // Each statement of the script runs directly (TprmFBDBScript).
  void RunScript(const std::string& script, const std::string& name) override;
  // execute immediate inside this transaction.
  void Execute(const std::string& sql) override;
  using TmncSQLTransaction::Execute;

  isc_tr_handle* Handle() { return &FHandle; }
  const TFBBuffer& TPB() const { return FTPB; }
  ISC_STATUS CheckTransactionStatus(ISC_STATUS result, const ISC_STATUS* status,
                                    bool raise_error = true);

 protected:
  void DoStart() override;
  void DoStop(TmncTransactionAction how, bool retaining) override;
  std::unique_ptr<TmncSQLCommand> DoCreateCommand() override;

 private:
  TmncFBConnection& RequireConnection() const;

  isc_tr_handle FHandle = 0;
  TFBBuffer FTPB;
  bool FTPBBuilt = false;
};

// A prepared statement. Columns and fields are described at preparation; every fetched row is
// converted into the fields.
class TmncFBCommand : public TmncSQLCommand {
 public:
  explicit TmncFBCommand(TmncFBTransaction* transaction = nullptr);
  ~TmncFBCommand() override;

  TmncFBTransaction* Transaction() const;
  TmncFBConnection* Connection() const;
  bool GetActive() const override { return FActive; }
  void SetActive(bool value) override;
  int GetRowsChanged() override;
  TFBDSQLTypes SQLType() const { return FSQLType; }
  const std::string& Cursor() const { return FCursor; }
  void SetCursor(const std::string& value);
  // Runs `sql` directly in the transaction; the command's own statement is not used.
  void RunSQL(const std::string& sql);

 protected:
  void DoPrepare() override;
  void DoUnprepare() override;
  void DoExecute() override;
  void DoNext() override;
  void DoClose() override;
  std::unique_ptr<TmncFields> CreateFields(TmncColumns* columns) override;
  std::unique_ptr<TmncParams> CreateParams() override;

 private:
  ISC_STATUS CheckCommandStatus(ISC_STATUS result, const ISC_STATUS* status,
                                bool raise_error = true);
  TFBHandles Handles() const;
  void FreeHandle();
  // A statement outside an opened transaction runs in one of its own: started here, committed
  // when the statement is through (for a select: when its rows are read or it is closed),
  // rolled back when it fails.
  void BeginImplicit();
  void EndImplicit(bool commit);
  int ReadRowsChanged();
  void LoadRow();
  TmncFBLib& Lib() const;

  isc_stmt_handle FHandle = 0;
  bool FActive = false;
  std::string FCursor;
  TFBDSQLTypes FSQLType = SQLUnknown;
  TFBSQLDA FInput;   // the parameters as the library described them
  TFBSQLDA FOutput;  // the row buffers
  int FColumnCount = 0;
  bool FImplicit = false;
  int FRowsChanged = -2;  // -2: not read yet
};

// Runs a "^"-separated script with one direct execution per statement, in the transaction.
class TprmFBDBScript : public TprmDBScript {
 public:
  using TprmDBScript::TprmDBScript;

 protected:
  void DoExecuteScript(TmncSQLTransaction* transaction, const std::string& script,
                       const std::string& name) override;
};

}  // namespace qm
