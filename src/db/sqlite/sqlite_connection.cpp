#include "db/sqlite/sqlite_connection.h"

#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "db/db_errors.h"
#include "db/sqlite/sqlite_errors.h"
#include "db/sqlite/sqlite_paths.h"
#include "db/sqlite/sqlite_transaction.h"
#include "db/sqlite/sqlite_values.h"
#include "support/format.h"
#include "support/text_utils.h"

namespace qm {

// ---- TmncSQLiteConnection ----

TmncSQLiteConnection::TmncSQLiteConnection() : TmncSQLiteConnection(SQLiteLib()) {}

TmncSQLiteConnection::TmncSQLiteConnection(TmncSQLiteLib& library)
    : FLib(&library), FDBHandle(library) {
  FLib->Load(false);
}

TmncSQLiteConnection::~TmncSQLiteConnection() {
  BeforeDestruction();
  // When statements still open kept the disconnect above from closing the database, FDBHandle
  // hands the handle to the library, which closes it when the last statement is finalized.
}

TmncCapabilities TmncSQLiteConnection::Capabilities() const {
  return {ccDB, ccPath, ccCreate, ccDrop, ccSQL, ccTransaction};
}

std::string TmncSQLiteConnection::GetNextIDSQL(const std::string& name, int step) {
  return Format("select max('%s')+%d", {name, step});
}

void TmncSQLiteConnection::CheckError(int result, const std::string& detail) const {
  if (result == SQLITE_OK)
    return;
  sqlite3* handle = DBHandle();
  const std::string message = SQLiteErrorMessage(*FLib, handle, result);
  const int code = SQLiteErrorCode(*FLib, handle, result);
  // A refusal of the authorizer fails its statement, whatever code the statement ends with
  // (VACUUM INTO reports its refused inner ATTACH as a plain error).
  const std::string denial = TakeDenial();
  RaiseSQLiteError(message, denial.empty() ? detail : denial, code);
}

void TmncSQLiteConnection::DoConnect() {
  // Always with the create flag: the files a later ATTACH names open with these flags too, and
  // attaching a new file must work whether or not the main file already existed. Whether a
  // missing main file may be made is decided here, before the open.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_SHAREDCACHE;
  std::string file;
  std::string why;
  if (!ResolveSQLiteFileName(FFolder, Resource(), FFolder, file, why)) {
    RaiseSQLiteConnectError("not allowed: " + why, Resource(), SQLITE_CANTOPEN);
  }
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    if (!FAutoCreate)
      throw EmncConnectFailed("Database not exist: \"" + Resource() + "\"", SQLITE_CANTOPEN);
    SetState(cstCreated);
  }

  sqlite3* handle = nullptr;
  const int result = FLib->sqlite3_open_v2(file.c_str(), &handle, flags, nullptr);
  // A failed open still hands out a handle for its message; it must be closed all the same.
  TSQLiteDatabase opened(*FLib);
  opened.Reset(handle);
  if (result != SQLITE_OK) {
    RaiseSQLiteConnectError(SQLiteErrorMessage(*FLib, handle, result), Resource(),
                            SQLiteErrorCode(*FLib, handle, result));
  }
  FDBHandle.Reset(opened.Release());
  try {
    // Sessions of this server share database files: a writer waits for another one's lock.
    if (FLib->sqlite3_busy_timeout != nullptr)
      CheckError(FLib->sqlite3_busy_timeout(handle, kBusyTimeout));
    // Before any SQL runs: a client's database file may carry a hostile schema.
    SetSafetySwitch(SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0);
    SetSafetySwitch(SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0);
    SetSafetySwitch(SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0);
    if (FLib->sqlite3_set_authorizer == nullptr)
      RaiseSQLiteError("the library offers no authorizer", Resource(), SQLITE_ERROR);
    CheckError(FLib->sqlite3_set_authorizer(handle, &TmncSQLiteConnection::Authorize, this));
    InitPragmas();
    // After the pragmas: it would turn a configured journal_mode=OFF into a silent no-op.
    SetSafetySwitch(SQLITE_DBCONFIG_DEFENSIVE, 1);
  } catch (const EmncSQLError& e) {
    // A file that is no database fails here: do not leave a half-usable connection open.
    DropHandle();
    throw EmncConnectFailed(e.Message(), e.Code());
  } catch (...) {
    DropHandle();
    throw;
  }
}

void TmncSQLiteConnection::SetSafetySwitch(int option, int value) {
  if (FLib->sqlite3_db_config == nullptr)
    RaiseSQLiteError("the library cannot be configured", Resource(), SQLITE_ERROR);
  int now = -1;
  CheckError(FLib->sqlite3_db_config(DBHandle(), option, value, &now));
  if (now != value)
    RaiseSQLiteError("the library refused a safety setting", std::to_string(option), SQLITE_ERROR);
}

namespace {

// Functions and pragmas whose effect reaches past the session, denied whatever their arguments:
// - fts3_tokenizer hands out the address of a tokenizer's function table and, given a pointer,
//   installs one. The library's "FTS3 tokenizer" switch stops only literal arguments: a bound
//   value counts as the application's own, so one client could plant any address in the
//   process and crash it (or worse) with the next full-text table.
// - load_extension runs any shared library in the process (its switch is off as well).
// - temp_store_directory and data_store_directory are one setting for the whole process: one
//   session would move every other session's files to a folder of its choosing.
// - soft_heap_limit and hard_heap_limit bound the memory of the whole process.
constexpr std::string_view kDeniedFunctions[] = {"fts3_tokenizer", "load_extension"};
constexpr std::string_view kDeniedPragmas[] = {"temp_store_directory", "data_store_directory",
                                               "soft_heap_limit", "hard_heap_limit"};

// The listed name that `name` is (any case), or empty.
std::string_view Listed(const char* name, const std::string_view* begin,
                        const std::string_view* end) {
  if (name == nullptr)
    return {};
  for (const std::string_view* item = begin; item != end; ++item) {
    if (SameText(*item, name))
      return *item;
  }
  return {};
}

}  // namespace

int TmncSQLiteConnection::Authorize(void* self, int action, const char* name, const char* detail,
                                    const char*, const char*) {
  const auto* connection = static_cast<const TmncSQLiteConnection*>(self);
  if (action == SQLITE_FUNCTION) {
    // For a function the library passes its name second.
    const std::string_view denied =
        Listed(detail, std::begin(kDeniedFunctions), std::end(kDeniedFunctions));
    if (denied.empty())
      return SQLITE_OK;
    connection->FDenial = std::string(denied) + "(): not available to sessions";
    return SQLITE_DENY;
  }
  if (action == SQLITE_PRAGMA) {
    const std::string_view denied =
        Listed(name, std::begin(kDeniedPragmas), std::end(kDeniedPragmas));
    if (denied.empty())
      return SQLITE_OK;
    connection->FDenial = "PRAGMA " + std::string(denied) + ": not available to sessions";
    return SQLITE_DENY;
  }
  if (action != SQLITE_ATTACH)
    return SQLITE_OK;
  std::string why;
  std::string path;
  if (name == nullptr) {
    // The file name is an expression the library computes later: nothing to check it by.
    if (connection->FFolder.empty())
      return SQLITE_OK;
    why = "the file name must be a literal text";
  } else {
    std::error_code ec;
    const std::filesystem::path working = std::filesystem::current_path(ec);
    if (ResolveSQLiteFileName(connection->FFolder, name, working, path, why))
      return SQLITE_OK;
  }
  connection->FDenial = "ATTACH \"" + std::string(name == nullptr ? "" : name) + "\": " + why;
  return SQLITE_DENY;
}

void TmncSQLiteConnection::InitPragmas() {
  Execute("PRAGMA encoding=\"UTF-8\"");
  Execute("PRAGMA foreign_keys=ON");
  Execute(FExclusive ? "PRAGMA locking_mode=EXCLUSIVE" : "PRAGMA locking_mode=NORMAL");
  if (FExclusive) {
    static const char* const kTempStore[] = {"0", "1", "2"};
    Execute(std::string("PRAGMA TEMP_STORE=") + kTempStore[FTempStore]);
  }
  static const char* const kJournal[] = {"DELETE", "DELETE", "TRUNCATE", "PERSIST",
                                         "MEMORY", "WAL",    "OFF"};
  Execute(std::string("PRAGMA journal_mode=") + kJournal[FJournalMode]);
  static const char* const kSynchronous[] = {"FULL", "OFF", "NORMAL", "FULL"};
  Execute(std::string("PRAGMA synchronous=") + kSynchronous[FSynchronous]);
}

void TmncSQLiteConnection::DoDisconnect() {
  // On failure (statements still open) the handle stays and the connection stays connected.
  CheckError(CloseHandle());
}

int TmncSQLiteConnection::CloseHandle() {
  TLockGuard<TMutex> lock(FCloseLock);
  return FDBHandle.Close();
}

void TmncSQLiteConnection::DropHandle() {
  TLockGuard<TMutex> lock(FCloseLock);
  FDBHandle.Reset();
}

void TmncSQLiteConnection::DirectExecute(const std::string& sql) {
  char* error = nullptr;
  const int result = FLib->sqlite3_exec(DBHandle(), sql.c_str(), nullptr, nullptr, &error);
  std::string detail;
  if (error != nullptr) {
    detail = error;
    FLib->sqlite3_free(error);
  }
  CheckError(result, detail);
}

std::unique_ptr<TmncSQLTransaction> TmncSQLiteConnection::DoCreateTransaction() {
  return std::make_unique<TmncSQLiteTransaction>(this);
}

bool TmncSQLiteConnection::IsDatabaseExists(const std::string& name) {
  std::error_code ec;
  return std::filesystem::exists(name, ec);
}

void TmncSQLiteConnection::CreateDatabase(const std::string& /*name*/, bool /*check_exists*/) {}

void TmncSQLiteConnection::DropDatabase(const std::string& name, bool check_exists) {
  if (check_exists && !IsDatabaseExists(name))
    return;
  std::error_code ec;
  std::filesystem::remove(name, ec);  // a failed deletion is ignored
}

void TmncSQLiteConnection::Vacuum() {
  if (Connected())
    Execute("vacuum");
}

void TmncSQLiteConnection::Interrupt() {
  TLockGuard<TMutex> lock(FCloseLock);
  if (sqlite3* handle = DBHandle())
    FLib->sqlite3_interrupt(handle);
}

std::string TmncSQLiteConnection::GetVersion() const {
  if (FLib->sqlite3_libversion == nullptr)
    return std::string();
  return SQLiteText(FLib->sqlite3_libversion());
}

void TmncSQLiteConnection::CheckOptionChange(const char* name) const {
  if (Connected())
    throw EmncStateError(std::string("You can not set ") + name + " when Transaction active");
}

void TmncSQLiteConnection::SetExclusive(bool value) {
  if (value == FExclusive)
    return;
  CheckOptionChange("Exclusive");
  FExclusive = value;
}

void TmncSQLiteConnection::SetJournalMode(TmncJournalMode value) {
  if (value == FJournalMode)
    return;
  CheckOptionChange("JournalMode");
  FJournalMode = value;
}

void TmncSQLiteConnection::SetReadCommited(bool value) {
  if (value == FReadCommited)
    return;
  CheckOptionChange("ReadCommited");
  FReadCommited = value;
}

void TmncSQLiteConnection::SetTempStore(TmncTempStore value) {
  if (value == FTempStore)
    return;
  CheckOptionChange("TempStore");
  FTempStore = value;
}

}  // namespace qm
