#pragma once

// The PostgreSQL connection and transaction over the client library (db/postgres/pg_api.h).
//
// `TmncPGConnection` connects with a connection text (or separate arguments), collects server
// notices and hands them to `DoNotices` at every engine commit or rollback, runs statements
// outside commands, administers databases, listens for notifications and moves large objects.
// `TprmPGConnection` is the class the system uses: it fixes the session settings, frees results
// on the pool thread, sets session variables and offers the large-object API (`IPGAPI`).
// Transactions are emulated (one engine transaction shared by all transactions of a connection).
//
// Threads: a connection with its transactions and commands is used by one thread at a time.
// `Lock()` (with UseLock) additionally serialises prepare, execute and deallocate of commands.
// Destruction: a class derived from these must call `BeforeDestruction()` first in its
// destructor (see db/connections.h).
//
// The members are defined by topic: pg_connection.cpp (connect, session settings, liveness),
// pg_results.cpp, pg_notices.cpp, pg_admin.cpp, pg_listen.cpp, pg_large_objects.cpp and
// pg_transaction.cpp.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "db/postgres/pg_api.h"
#include "db/postgres/pg_notices.h"
#include "db/postgres/pg_owners.h"
#include "db/postgres/pg_quoting.h"
#include "db/sql_connections.h"
#include "support/byte_stream.h"
#include "support/object_list.h"
#include "support/pool.h"
#include "support/thread_annotations.h"

namespace qm {

class TmncPGTransaction;

// Failures raise the causes of db/db_errors.h: EmncConnectFailed "Postgre connection failed\r" +
// the library's message at connect; EmncSQLError (with the SQLSTATE) or EmncConnectionLost
// "Postgre command: " + the server's message for statements.
class TmncPGConnection : public TmncSQLConnection {
 public:
  // Loads the client library; a missing library raises the loader's EInOutError.
  TmncPGConnection();
  ~TmncPGConnection() override;

  TmncCapabilities Capabilities() const override { return {ccDB, ccSQL, ccNetwork, ccTransaction}; }
  std::string EngineName() const override { return "PostgreSQL"; }

  PPGconn Handle() const { return FHandle.get(); }

  const std::string& ClientEncoding() const { return FClientEncoding; }
  void SetClientEncoding(const std::string& value) { FClientEncoding = value; }
  const std::string& ByteaOutput() const { return FByteaOutput; }
  void SetByteaOutput(const std::string& value) { FByteaOutput = value; }
  const std::string& DateStyle() const { return FDateStyle; }
  void SetDateStyle(const std::string& value) { FDateStyle = value; }
  const std::string& AppName() const { return FAppName; }
  void SetAppName(const std::string& value) { FAppName = value; }
  // Connect with separate arguments (PQsetdbLogin) instead of a connection text.
  bool SimpleConnection() const { return FSimpleConnection; }
  void SetSimpleConnection(bool value) { FSimpleConnection = value; }
  bool UseSSL() const { return FUseSSL; }
  void SetUseSSL(bool value) { FUseSSL = value; }
  // When set, command prepare, execute and deallocate hold Lock() around the library call.
  bool UseLock() const { return FUseLock; }
  void SetUseLock(bool value) { FUseLock = value; }
  int LockTimeout() const { return FLockTimeout; }
  void SetLockTimeout(int value) { FLockTimeout = value; }
  std::mutex& Lock() { return FLock; }

  // Created on first use.
  TmncPGNoticeItems& Notices();
  bool HasNotices() const { return FNotices != nullptr; }

  // The connection text for `database` (Resource when empty), as DoConnect passes it to the
  // library: every value quoted with QuoteConnectionValue.
  std::string ConnectionText(const std::string& database = std::string()) const;

  // ---- Overrides of the SQL connection ----
  void AssignClone(const TmncSQLConnection& source) override;
  // step 0: currval, 1: nextval, other: setval advancing by `step`.
  std::string GetNextIDSQL(const std::string& name, int step) override;
  // PQexec; failures raise "Postgre command: " + the server's message.
  void DirectExecute(const std::string& sql) override;
  using TmncSQLConnection::CreateDatabase;
  using TmncSQLConnection::DropDatabase;
  using TmncSQLConnection::IsDatabaseExists;
  // Checked on a separate connection to the database "postgres".
  bool IsDatabaseExists(const std::string& name) override;
  void CreateDatabase(const std::string& name, bool check_exists) override;
  void DropDatabase(const std::string& name, bool check_exists) override;
  // `base`, else `base`1, `base`2 ... the first name without a database.
  std::string UniqueDBName(const std::string& base) override;
  // The non-template databases; empty on any error.
  TStrings EnumDatabases() override;
  std::string GetParamChar() const override { return "$"; }
  bool TestConnected() override;
  // An empty statement sent and its answer awaited (at most ConnectTimeout, 15 s when that is
  // 0): false when the server has ended the session or does not answer.
  bool TestAlive() override;
  // The notifications received since the last call (consumed), in arrival order.
  std::vector<TmncNotification> ReceiveNotifications() override;
  void RecoverConnection() override;
  // "listen <channel>;" / "unlisten <channel>;" when connected. A channel that is not a plain
  // identifier is sent double-quoted.
  void StartListen(const std::string& channel) override;
  void StopListen(const std::string& channel) override;

  // ---- Further operations ----
  // From another thread: a running statement is cancelled (PQcancel) and a connect under way
  // gives up with "Postgre connection failed\rinterrupted".
  void Interrupt() override;
  void RenameDatabase(const std::string& name, const std::string& to_name);
  void TerminateConnections(const std::string& resource);
  // Copies large object `oid` of `source` into a new object of this connection; the new id,
  // 0 when it could not be created.
  Oid loCopy(TmncPGConnection& source, Oid oid);
  bool TryAdvisoryLock(int id);
  bool AdvisoryUnlock(int id);
  // Frees a result through DoClearStatement and sets it to nil; nothing for nil.
  void ClearStatement(PPGresult& result);
  // A new transaction; with `start`, started, `proc` run and committed when still active (rolled
  // back and re-raised on failure); without, only `proc` is called.
  void TRExecute(const std::function<void(TmncPGTransaction&)>& proc, bool start = true);

  // Raises "Postgre command: " + the result's message for the error statuses (after a
  // Reconnect attempt) as EmncSQLError with the SQLSTATE, or EmncConnectionLost when the
  // connection was gone; every other status passes.
  void CheckResult(PGresult* result);
  // Hands the collected notices to DoNotices and empties the list (after an engine commit or
  // rollback).
  void FlushNotices(bool committed);
  // `value` as the inside of an SQL string literal (the library's escaping when connected).
  std::string EscapeLiteral(std::string_view value) const;

 protected:
  void DoConnect() override;
  void DoConnected() override;
  void DoDisconnect() override;
  bool GetConnected() const override { return FHandle != nullptr; }
  std::unique_ptr<TmncSQLTransaction> DoCreateTransaction() override;
  std::unique_ptr<TmncSQLConnection> CreateSameClass() const override;

  // Called when a transaction ends with the collected notices; does nothing here.
  virtual void DoNotices(TmncPGNoticeItems& notices, bool committed);
  // Frees a result (PQclear here).
  virtual void DoClearStatement(PPGresult& result);

  // Opens a library connection on `database` (Resource when empty); on failure raises
  // "Postgre connection failed\r" + the library's message.
  // The connect gives up after ConnectTimeout seconds and when Interrupt is called; the
  // connection gets TCP keepalives, so a server that vanishes is noticed.
  TPGConnOwner InternalConnect(const std::string& database);

 private:
  static void NoticeProcessor(void* argument, const char* message);
  // Drives a started connect to its end within ConnectTimeout; raises on failure.
  void CompleteConnect(PPGconn handle);
  // Puts `handle` (and its cancel key) in place under FInterruptLock; the handle it replaces,
  // to be finished outside the lock.
  TPGConnOwner ExchangeHandle(TPGConnOwner handle);
  // Reads the cancel key of FHandle anew (a reset connection has a new backend).
  void RenewCancelKey();

  TPGConnOwner FHandle;
  // FHandle's cancel key. Both change only under FInterruptLock, which Interrupt holds.
  TMutex FInterruptLock;
  TPGCancelOwner FCancel GUARDED_BY(FInterruptLock);
  // Set by Interrupt; a connect under way checks it.
  std::atomic<bool> FInterrupted{false};
  std::string FClientEncoding;
  std::string FByteaOutput;
  std::string FDateStyle;
  std::string FAppName;
  bool FSimpleConnection = false;
  bool FUseSSL = false;
  std::unique_ptr<TmncPGNoticeItems> FNotices;
  // Serialises library calls (see UseLock), not members: held around one call at a time and
  // never taken again inside, so a plain mutex.
  std::mutex FLock;
  bool FUseLock = false;
  int FLockTimeout = 0;
};

// Large-object transfer and settings, as the session's API command uses them. Large-object
// operations run inside the connection's open transaction when there is one, otherwise each
// in a short transaction of its own (descriptors live only inside a transaction).
// loCopy, loExport, loImport and loUnlink come from IDBAPIOperations (Oid is its numeric id).
class IPGAPI : public IDBAPIOperations {
 public:
  // The same as loExport into a file (truncated when it exists, created otherwise).
  virtual std::int64_t loExportFile(Oid oid, const std::string& file_name) = 0;
  // The same as loImport from a file; 0 when the file does not exist.
  virtual Oid loImportFile(const std::string& file_name, Oid oid = 0) = 0;
  // Reads the Boolean settings "UseSSL" and "SimpleConnection" from name=value lines.
  virtual void LoadSettings(const TmncStringList& params) = 0;
};

// The background job that frees one client-library result on the pool thread. It owns the
// result: a job that is dropped without running frees it all the same.
class TFreeStatementPool : public TPoolObject {
 public:
  explicit TFreeStatementPool(TPGResultOwner statement);
  // Whether the result is still held (not yet freed by DoWork).
  bool Holds() const { return FStatement != nullptr; }

 protected:
  void DoWork() override;

 private:
  TPGResultOwner FStatement;
};

// The connection the system uses: session settings "UNICODE", "escape", "iso, mdy"; results
// freed on the pool thread; session variables; the large-object API. As a client session's
// connection it labels the session with the client's address ("RemoteIP") and keeps the
// notices of the last commit.
class TprmPGConnection : public TmncPGConnection, public IPGAPI {
 public:
  TprmPGConnection();
  ~TprmPGConnection() override;

  // Connect, then the session variable "RemoteIP" set to the client's address.
  void ConnectSession(const TmncSessionSettings& settings) override;
  std::string CommitNotices() const override { return FLastNotices; }
  IDBAPIOperations* APIOperations() override { return this; }

  // "set globals.<name> = '<value>';". The name must be a plain identifier (else EprmException
  // "Invalid variable name: <name>"); the value is escaped as an SQL string.
  void SetVariable(const std::string& name, const std::string& value);

  using TmncPGConnection::loCopy;
  Oid loCopy(Oid oid) override;
  std::int64_t loExport(Oid oid, IByteSink& stream) override;
  std::int64_t loExportFile(Oid oid, const std::string& file_name) override;
  Oid loImport(IByteSource& stream, Oid oid = 0) override;
  Oid loImportFile(const std::string& file_name, Oid oid = 0) override;
  int loUnlink(Oid oid) override;
  void LoadSettings(const TmncStringList& params) override;

 protected:
  std::unique_ptr<TmncSQLTransaction> DoCreateTransaction() override;
  std::unique_ptr<TmncSQLConnection> CreateSameClass() const override;
  // Posts a TFreeStatementPool job instead of freeing on the calling thread.
  // Results of at least this many values (rows x columns) are freed on the pool thread.
  static constexpr std::int64_t kPoolFreeValues = 16384;
  void DoClearStatement(PPGresult& result) override;
  // Keeps the notices of a commit for CommitNotices.
  void DoNotices(TmncPGNoticeItems& notices, bool committed) override;

 private:
  std::string FLastNotices;
};

}  // namespace qm
