#pragma once

// The Firebird engine of the database access layer: a connection attached to one database on a
// server (`Resource` is the database path or alias, `Host` and `Port` the server), transactions
// that are each their own engine transaction (fb_transaction.h), and commands over prepared
// statements (fb_command.h).
//
// Library errors raise the exceptions of fb_errors.h with the library's text and the code line:
// EFBConnectFailed when attaching fails, EFBConnectionLost when the server connection is gone,
// EFBError otherwise. Errors that show a lost server connection close the connection object
// while they propagate, so the session sees a disconnected connection afterwards.
//
// Threads: a connection with its transactions and commands is used by one thread at a time;
// `Interrupt` is the one call meant for another thread while a statement runs.
//
// Destruction: free the commands, then the transactions, then the connection.

#include <ibase.h>

#include <cstdint>
#include <memory>
#include <string>

#include "db/firebird/fb_api.h"
#include "db/firebird/fb_errors.h"
#include "db/firebird/fb_owners.h"
#include "db/firebird/fb_params.h"
#include "db/sql_connections.h"
#include "support/thread_annotations.h"

namespace qm {

enum TFBErrorHandle { eonExecute, eonDisconnect };
using TFBErrorHandles = EnumSet<TFBErrorHandle>;

// "host/port:resource", "host:resource" (no port, or the host names its own port) or
// "resource" (no host).
std::string FBConnectString(const std::string& resource, const std::string& host,
                            const std::string& port);
// Text between single quotes for SQL, inner quotes doubled.
std::string FBQuoted(const std::string& text);

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
  void Interrupt() override EXCLUDES(FInterruptLock);
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

  isc_db_handle* Handle() { return FHandle.Address(); }
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
  bool GetConnected() const override { return FHandle.Get() != 0; }
  std::unique_ptr<TmncSQLTransaction> DoCreateTransaction() override;
  std::unique_ptr<TmncSQLConnection> CreateSameClass() const override {
    return std::make_unique<TmncFBConnection>(*FLib);
  }

 private:
  // Forgets a lost attachment (the library frees what it still holds).
  void DropLostHandle();
  // The handle that Interrupt cancels on.
  void PublishHandle(isc_db_handle handle) EXCLUDES(FInterruptLock);
  void ExecuteDatabaseStatement(const std::string& statement, bool detach);

  TmncFBLib* FLib;  // process-wide binding, outlives every connection
  TFBErrorHandles FErrorHandles{eonExecute, eonDisconnect};
  TFBAttachment FHandle;
  TMutex FInterruptLock;
  // FHandle for Interrupt on another thread; cleared before the handle is detached.
  isc_db_handle FSharedHandle GUARDED_BY(FInterruptLock) = 0;
  std::string FCharacterSet = "UTF8";
  bool FDefaultCredentials = false;
};

}  // namespace qm
