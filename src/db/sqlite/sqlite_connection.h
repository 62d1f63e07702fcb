#pragma once

// The SQLite engine of the database access layer: a connection on one database file
// (`Resource`), transactions that share the connection's single engine transaction (emulated
// nesting: SQLite has one transaction per connection) and commands over prepared statements.
//
// Errors of the library raise EmncException "sqlite: <library message>[ - <detail>]".
//
// Threads: a connection with its transactions and commands is used by one thread at a time;
// `TprmSQLiteConnection::Enter`/`Leave` serialise callers that share a connection. `Interrupt`
// is the one call meant for another thread while a statement runs.
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

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "db/sql_connections.h"
#include "db/sqlite/sqlite_api.h"
#include "db/sqlite/sqlite_fields.h"
#include "db/sqlite/sqlite_owners.h"

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

class TmncSQLiteTransaction;
class TmncSQLiteCommand;

// Where a database name leads when the files must stay inside Folder ("" for no such limit).
// Relative names resolve against RelativeTo. "" and ":memory:" need no file and pass as they
// are; names starting with "file:" (any case) are refused, folder or not; with a Folder, a name
// leading outside it (an absolute path elsewhere, "..", a link out of it, also a link whose
// target does not exist yet) or to the folder itself is refused; links are followed one
// component at a time, as opening the file would. Returns false with the reason in Why, else
// true with the path to open in Path.
bool ResolveSQLiteFileName(const std::string& Folder, const std::string& Name,
                           const std::filesystem::path& RelativeTo, std::string& Path,
                           std::string& Why);

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
  void Interrupt() override;
  // The library's version text, or "" when the library does not tell.
  std::string GetVersion() const;

  sqlite3* DBHandle() const { return FDBHandle.Get(); }
  TmncSQLiteLib& Lib() const { return *FLib; }

  // Raises "sqlite: <message>[ - <detail>]" unless `result` is SQLITE_OK.
  void CheckError(int result, const std::string& detail = std::string()) const;

  // Options. Exclusive, JournalMode, ReadCommited and TempStore change only while disconnected
  // (else EmncException "You can not set <Name> when Transaction active"); the others take
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
  // The library's safety switches, each checked; the defensive flag comes after the pragmas.
  void SetSafetySwitch(int option, int value);
  // Refuses the functions and pragmas that reach past the session, and ATTACH of a file
  // outside the folder (see the list in the source).
  static int Authorize(void* self, int action, const char* name, const char* detail, const char*,
                       const char*);

  TmncSQLiteLib* FLib;  // process-wide binding, outlives every connection
  // Written only by the owning thread; Interrupt reads it from another one.
  TSQLiteDatabase FDBHandle;
  // Held by Interrupt while it uses the handle and by whoever closes it, so that another
  // thread never interrupts a handle that is being closed.
  mutable std::mutex FCloseLock;
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

// The connection the session service creates: adds a re-entrant lock for callers that share it.
class TprmSQLiteConnection : public TmncSQLiteConnection {
 public:
  using TmncSQLiteConnection::TmncSQLiteConnection;
  // Waits without time limit; re-entrant.
  void Enter() { FLock.lock(); }
  void Leave() { FLock.unlock(); }
  // So that std::lock_guard / std::unique_lock can hold it.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex FLock;
};

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

// A prepared statement. Only the first statement of the text is prepared; parameter markers
// "?name" are bound by position. Rows are read into Fields. Every execution builds the columns
// anew: from the first row's values when there is a row, else from the declared types, so that a
// result without rows still has its columns (and Fields, holding nulls). A library error
// finalizes the statement; the next Execute prepares it again.
class TmncSQLiteCommand : public TmncSQLCommand {
 public:
  explicit TmncSQLiteCommand(TmncSQLiteTransaction* transaction = nullptr);
  ~TmncSQLiteCommand() override;

  TmncSQLiteTransaction* Transaction() const;
  TmncSQLiteConnection* Connection() const;
  sqlite3_stmt* Statment() const { return FStatment.get(); }
  int LastStepResult() const { return FLastStepResult; }

  bool GetActive() const override { return FStatment != nullptr; }
  std::int64_t GetLastRowID() override;
  int GetRowsChanged() override;

 protected:
  void DoPrepare() override;
  void DoExecute() override;
  void DoNext() override;
  void DoClose() override;
  std::unique_ptr<TmncFields> CreateFields(TmncColumns* columns) override;
  std::unique_ptr<TmncParams> CreateParams() override;
  std::unique_ptr<TmncBinds> CreateBinds() override;

 private:
  TmncSQLiteConnection& RequireConnection() const;
  // Raises "sqlite: ..." unless `result` is SQLITE_OK, finalizing the statement first.
  void CheckError(int result);
  void BindParams();
  // `from_row`: the statement stands on a row, whose values give the types and the fields.
  // Otherwise the declared types give them and every field is null.
  void BuildColumns(bool from_row);
  void BuildFields(bool from_row);
  Variant ColumnValue(int index, const TmncColumn* column) const;

  TmncSQLiteLib* FLib = nullptr;  // the binding that made FStatment (process-wide)
  TSQLiteStatementOwner FStatment;
  std::string FTail;  // the text after the prepared statement; kept for diagnostics
  int FLastStepResult = 0;
};

}  // namespace qm
