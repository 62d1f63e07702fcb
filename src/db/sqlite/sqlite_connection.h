#pragma once

// The SQLite engine of the database access layer: a connection on one database file
// (`Resource`), transactions that share the connection's single engine transaction (emulated
// nesting: SQLite has one transaction per connection, sqlite_transaction.h) and commands over
// prepared statements (sqlite_command.h).
//
// Errors of the library raise "sqlite: <library message>[ - <detail>]" typed by cause
// (sqlite_errors.h); a call that does not fit the connection's state raises EmncStateError.
//
// Threads: a connection with its transactions and commands is used by one thread at a time.
// `Interrupt` is the one call meant for another thread while a statement runs.
//
// Destruction: free the commands, then the transactions, then the connection. A connection
// freed while commands still hold statements closes the database when the last of them is
// finalized.
//
// Sharing a file: connections of this process share one cache per file, where a write
// transaction locks out the other connections' writers and readers of its tables; other
// processes lock the file. A command's first step and its preparation wait for such a lock (up
// to kBusyTimeout ms, on either kind) instead of failing at once; a wait that would deadlock
// fails at once with "database is deadlocked".
//
// Every connection is opened defensively, whatever its options: a database name is never read
// as a URI, the FTS3 tokenizer switch and extension loading are off, the schema is not trusted
// (no functions with side effects run from views or triggers) and the defensive flag keeps SQL
// from corrupting the file. With a `Folder`, the connection reaches only files inside it.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "db/sql_connections.h"
#include "db/sqlite/sqlite_api.h"
#include "db/sqlite/sqlite_owners.h"
#include "support/thread_annotations.h"

namespace qm {

enum TmncJournalMode : std::uint8_t {
  jrmDefault,
  jrmDelete,
  jrmTruncate,
  jrmPersist,
  jrmMemory,
  jrmWal,
  jrmOff,
};
enum TmncSynchronous : std::uint8_t { syncDefault, syncOFF, syncNormal, syncFull };
enum TmncTempStore : std::uint8_t { tmpDefault, tmpFile, tmpMemory };

class TmncSQLiteConnection : public TmncSQLConnection {
 public:
  // How long a statement waits for a lock that another connection holds on the database, in ms.
  static constexpr int kBusyTimeout = 5000;

  // Loads the process-wide binding; a missing library raises the loader's EInOutError
  // "Can not load library "libsqlite3.so.0". Check your installation.".
  TmncSQLiteConnection();
  // The same over another binding (which must outlive the connection).
  explicit TmncSQLiteConnection(TmncSQLiteLib& library);
  ~TmncSQLiteConnection() override;

  // ccDB, ccPath, ccCreate, ccDrop, ccSQL, ccTransaction.
  TmncCapabilities Capabilities() const override;
  std::string EngineName() const override { return "SQLite"; }
  std::string GetExtension() const override { return ".sqlite"; }
  // "select max('<name>')+<step>".
  std::string GetNextIDSQL(const std::string& name, int step) override;
  // Runs every statement of `sql` (UTF-8) without reading rows.
  void DirectExecute(const std::string& sql) override;

  using TmncSQLConnection::CreateDatabase;
  using TmncSQLConnection::DropDatabase;
  using TmncSQLConnection::IsDatabaseExists;
  // The file exists.
  bool IsDatabaseExists(const std::string& name) override;
  // Nothing: connecting creates the file.
  void CreateDatabase(const std::string& name, bool check_exists) override;
  // Deletes the file (when check_exists is false or it exists); a failed deletion is ignored.
  void DropDatabase(const std::string& name, bool check_exists) override;
  // "vacuum" when connected.
  void Vacuum() override;

  // Stops the running statement (sqlite3_interrupt); may be called from another thread.
  void Interrupt() override EXCLUDES(FCloseLock);
  // The library's version text, or "" when the library does not tell.
  std::string GetVersion() const;

  sqlite3* DBHandle() const { return FDBHandle.Get(); }
  TmncSQLiteLib& Lib() const { return *FLib; }

  // Raises "sqlite: <message>[ - <detail>]" unless `result` is SQLITE_OK.
  void CheckError(int result, const std::string& detail = std::string()) const;

  // Options. Exclusive, JournalMode, ReadCommited and TempStore change only while disconnected
  // (else EmncStateError "You can not set <Name> when Transaction active"); the others take
  // effect at the next connect.
  bool CorrectDateTime() const { return FCorrectDateTime; }
  void SetCorrectDateTime(bool value) { FCorrectDateTime = value; }
  bool Exclusive() const { return FExclusive; }
  void SetExclusive(bool value);
  TmncJournalMode JournalMode() const { return FJournalMode; }
  void SetJournalMode(TmncJournalMode value);
  bool ReadCommited() const { return FReadCommited; }
  void SetReadCommited(bool value);
  TmncSynchronous Synchronous() const { return FSynchronous; }
  void SetSynchronous(TmncSynchronous value) { FSynchronous = value; }
  TmncTempStore TempStore() const { return FTempStore; }
  void SetTempStore(TmncTempStore value);
  // A missing database file is created on connect (and cstCreated is added to States).
  bool AutoCreate() const { return FAutoCreate; }
  void SetAutoCreate(bool value) { FAutoCreate = value; }
  // The folder that holds every file of this connection, or "" for any path the process may
  // open (see ResolveSQLiteFileName). Resource then resolves inside it, and ATTACH (VACUUM INTO
  // as well) may only name files inside it; relative ATTACH names resolve against the working
  // folder, as the library reads them. Takes effect at the next connect.
  const std::string& Folder() const { return FFolder; }
  void SetFolder(const std::string& value) { FFolder = value; }

  // Why the authorizer refused the last statement ("" when it did not), and forgets it.
  std::string TakeDenial() const { return std::exchange(FDenial, std::string()); }

 protected:
  void DoConnect() override;
  void DoDisconnect() override;
  bool GetConnected() const override { return FDBHandle.Get() != nullptr; }
  std::unique_ptr<TmncSQLTransaction> DoCreateTransaction() override;
  // The session pragmas, run at the end of every successful connect.
  virtual void InitPragmas();

 private:
  void CheckOptionChange(const char* name) const;
  // Close (orderly, the library's result) and drop (closed whatever is still open) the database
  // handle under FCloseLock.
  int CloseHandle() EXCLUDES(FCloseLock);
  void DropHandle() EXCLUDES(FCloseLock);
  // The library's safety switches, each checked; the defensive flag comes after the pragmas.
  void SetSafetySwitch(int option, int value);
  // Refuses the functions and pragmas that reach past the session, and ATTACH of a file
  // outside the folder (see the list in the source).
  static int Authorize(void* self, int action, const char* name, const char* detail, const char*,
                       const char*);

  TmncSQLiteLib* FLib;  // process-wide binding, outlives every connection
  // Written only by the owning thread; Interrupt reads it from another one (the pointer is
  // atomic, so reading it needs no lock).
  TSQLiteDatabase FDBHandle;
  // Held by Interrupt while it uses the handle and by whoever closes it (CloseHandle,
  // DropHandle), so that another thread never interrupts a handle that is being closed.
  TMutex FCloseLock;
  bool FCorrectDateTime = true;
  bool FExclusive = false;
  TmncJournalMode FJournalMode = jrmDefault;
  bool FReadCommited = false;
  TmncSynchronous FSynchronous = syncDefault;
  TmncTempStore FTempStore = tmpDefault;
  bool FAutoCreate = true;
  std::string FFolder;
  mutable std::string FDenial;  // written by the authorizer on the owning thread
};

// The connection the session service creates (a session's requests come one at a time, so it
// needs no lock of its own).
class TprmSQLiteConnection : public TmncSQLiteConnection {
 public:
  using TmncSQLiteConnection::TmncSQLiteConnection;
};

}  // namespace qm
