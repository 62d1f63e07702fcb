#include "db/sqlite/sqlite_connection.h"

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "support/format.h"
#include "support/text_utils.h"

namespace qm {
namespace {

// Date-time numbers count days from 1899-12-30; SQLite's date functions count Julian days.
constexpr double kJulianDayOffset = 2415018.5;

std::string Text(const char* text) {
  return text == nullptr ? std::string() : std::string(text);
}

// One pair of surrounding single or double quotes removed.
std::string UnquoteName(std::string name) {
  if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') &&
      name.back() == name.front())
    return name.substr(1, name.size() - 2);
  return name;
}

bool IsDateDeclaration(const std::string& declared) {
  return SameText(declared, "date") || SameText(declared, "timestamp") ||
         SameText(declared, "datetime");
}

// The column's data type from the first row's storage class and the declared type.
TmnDataType ColumnDataType(int storage, const std::string& declared) {
  switch (storage) {
    case SQLITE_INTEGER:
      return IsDateDeclaration(declared) ? dtDate : dtInteger;
    case SQLITE_FLOAT:
      return IsDateDeclaration(declared) ? dtDateTime : dtFloat;
    case SQLITE_TEXT:
      if (SameText(declared, "Blob"))
        return dtBlob;
      if (SameText(declared, "timestamp"))
        return dtDateTime;
      return dtString;
    case SQLITE_BLOB:
      return dtBlob;
    default:
      return dtUnknown;
  }
}

// The storage class that a non-null value of a column declared `declared` takes, by the
// library's column affinity rules, for a result without a row to look at. No declared type (an
// expression) reads as text; BOOLEAN as an integer (Booleans are bound as 0 and 1); any other
// numeric column (NUMERIC, DECIMAL, DATE ...) as a float, which holds every number and is how
// date-times are stored.
int DeclaredStorage(const std::string& declared) {
  const std::string type = UpperCase(declared);
  auto has = [&type](const char* part) { return type.find(part) != std::string::npos; };
  if (type.empty())
    return SQLITE_TEXT;
  if (has("INT") || has("BOOL"))
    return SQLITE_INTEGER;
  if (has("CHAR") || has("CLOB") || has("TEXT"))
    return SQLITE_TEXT;
  if (has("BLOB"))
    return SQLITE_BLOB;
  return SQLITE_FLOAT;
}

bool IsDateColumn(const TmncColumn* column) {
  if (column == nullptr)
    return false;
  const TmnDataType type = column->DataType();
  return type == dtDate || type == dtTime || type == dtDateTime;
}

TBytes Bytes(const void* data, int size) {
  if (data == nullptr || size <= 0)
    return TBytes();
  const auto* begin = static_cast<const std::uint8_t*>(data);
  return TBytes(begin, begin + size);
}

// A table lock that another connection of the shared cache holds (the library's busy handler
// covers only file locks).
bool IsSharedCacheLock(TmncSQLiteLib& lib, sqlite3* handle, int result) {
  return (result & 0xFF) == SQLITE_LOCKED && handle != nullptr &&
         lib.sqlite3_extended_errcode != nullptr && lib.sqlite3_unlock_notify != nullptr &&
         lib.sqlite3_extended_errcode(handle) == SQLITE_LOCKED_SHAREDCACHE;
}

enum class TUnlockWait { kUnlocked, kTimedOut, kDeadlock };

// Set by the library, from the thread that ends the blocking transaction.
struct TUnlockSignal {
  std::mutex Lock;  // guards Unlocked
  std::condition_variable Changed;
  bool Unlocked = false;
};

void NotifyUnlocked(void** signals, int count) {
  for (int i = 0; i < count; ++i) {
    auto* signal = static_cast<TUnlockSignal*>(signals[i]);
    std::lock_guard<std::mutex> guard(signal->Lock);
    signal->Unlocked = true;
    signal->Changed.notify_all();
  }
}

// Waits until the connection whose lock stopped `handle` ends its transaction, or `deadline`.
TUnlockWait WaitForUnlock(TmncSQLiteLib& lib, sqlite3* handle,
                          std::chrono::steady_clock::time_point deadline) {
  TUnlockSignal signal;
  if (lib.sqlite3_unlock_notify(handle, NotifyUnlocked, &signal) != SQLITE_OK)
    return TUnlockWait::kDeadlock;  // the holder waits for this connection
  bool unlocked;
  {
    std::unique_lock<std::mutex> guard(signal.Lock);
    unlocked = signal.Changed.wait_until(guard, deadline, [&signal] { return signal.Unlocked; });
  }
  // Withdraws a request still pending. The library calls back under the mutex this call takes,
  // so afterwards no call back can reach `signal` any more.
  lib.sqlite3_unlock_notify(handle, nullptr, nullptr);
  return unlocked ? TUnlockWait::kUnlocked : TUnlockWait::kTimedOut;
}

// Runs `attempt(retry)` and, while it fails on another connection's shared-cache lock, waits for
// that lock to go and runs it again, up to the busy time-out. A wait that times out gets one
// more attempt, whose result (and message) is the answer.
template <typename Attempt>
int WaitingForSharedCache(TmncSQLiteLib& lib, sqlite3* handle, Attempt attempt) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(TmncSQLiteConnection::kBusyTimeout);
  int result = attempt(false);
  while (IsSharedCacheLock(lib, handle, result)) {
    const TUnlockWait wait = WaitForUnlock(lib, handle, deadline);
    if (wait == TUnlockWait::kDeadlock)
      break;  // the library's message says so
    result = attempt(true);
    if (wait == TUnlockWait::kTimedOut)
      break;
  }
  return result;
}

// "sqlite: <message>[ - <detail>]". Clients match these texts, so a detail is written even when
// it repeats the message (a failed step's finalize reports the same error again).
[[noreturn]] void RaiseSQLiteError(const std::string& message, const std::string& detail) {
  std::string text = "sqlite: " + message;
  if (!detail.empty())
    text += " - " + detail;
  throw EmncException(text);
}

// How much of a refused second statement an error message shows.
constexpr std::size_t kStatementShown = 60;

// Where a statement starts in the text SQLite left after the first one, or npos when the text
// holds only blanks, ";" and comments.
std::size_t StatementAfterFirst(std::string_view text) {
  return SkipSqlBlanksAndComments(text, true);
}

bool IsURIName(const std::string& name) {
  return name.size() >= 5 && SameText(std::string_view(name).substr(0, 5), "file:");
}

}  // namespace

namespace {

// The path that opening `start` (absolute) reaches, found one component at a time the way the
// kernel walks it: every link is followed, also one whose target does not exist yet (an open
// that creates the file creates it at the target), and ".." goes up from where the links led.
// Components that do not exist are taken as written. Empty when the links go round in circles
// or cannot be read.
std::optional<std::filesystem::path> FollowLinks(const std::filesystem::path& start) {
  namespace fs = std::filesystem;
  constexpr int kMaxLinks = 40;  // as the kernel's own bound
  std::deque<std::string> rest;
  for (const fs::path& part : start.relative_path())
    rest.push_back(part.string());
  fs::path now = start.root_path();
  int links = 0;
  while (!rest.empty()) {
    const std::string part = std::move(rest.front());
    rest.pop_front();
    if (part.empty() || part == ".")
      continue;
    if (part == "..") {
      now = now.parent_path();
      continue;
    }
    fs::path next = now / part;
    struct stat status {};
    if (::lstat(next.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      now = std::move(next);
      continue;
    }
    std::error_code ec;
    const fs::path target = fs::read_symlink(next, ec);
    if (ec || ++links > kMaxLinks)
      return std::nullopt;
    std::vector<std::string> parts;
    for (const fs::path& target_part : target.relative_path())
      parts.push_back(target_part.string());
    rest.insert(rest.begin(), parts.begin(), parts.end());
    if (target.is_absolute())
      now = target.root_path();
  }
  return now;
}

}  // namespace

bool ResolveSQLiteFileName(const std::string& Folder, const std::string& Name,
                           const std::filesystem::path& RelativeTo, std::string& Path,
                           std::string& Why) {
  namespace fs = std::filesystem;
  if (Name.empty() || Name == ":memory:") {
    Path = Name;
    return true;
  }
  if (IsURIName(Name)) {
    Why = "URI file names are not accepted";
    return false;
  }
  if (Folder.empty()) {
    Path = Name;
    return true;
  }
  // Compared as the library will open them: every link followed, a dangling one included (a
  // weakly canonical path would take a dangling link as a plain name inside the folder, while
  // the open creates its target wherever it points).
  std::error_code ec;
  const fs::path name(Name);
  const fs::path folder = fs::absolute(Folder, ec);
  const fs::path relative_to = fs::absolute(RelativeTo, ec);
  const std::optional<fs::path> base = FollowLinks(folder);
  const std::optional<fs::path> target =
      FollowLinks(name.is_absolute() ? name : relative_to / name);
  if (ec || !base || !target) {
    Why = "the file is outside the SQLite folder";
    return false;
  }
  const fs::path inside = target->lexically_relative(*base);
  if (inside.empty() || inside == "." || *inside.begin() == "..") {
    Why = "the file is outside the SQLite folder";
    return false;
  }
  Path = target->string();
  return true;
}

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
  const std::string message =
      handle != nullptr ? Text(FLib->sqlite3_errmsg(handle)) : Text(FLib->sqlite3_errstr(result));
  // A refusal of the authorizer fails its statement, whatever code the statement ends with
  // (VACUUM INTO reports its refused inner ATTACH as a plain error).
  const std::string denial = TakeDenial();
  RaiseSQLiteError(message, denial.empty() ? detail : denial);
}

void TmncSQLiteConnection::DoConnect() {
  // Always with the create flag: the files a later ATTACH names open with these flags too, and
  // attaching a new file must work whether or not the main file already existed. Whether a
  // missing main file may be made is decided here, before the open.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_SHAREDCACHE;
  std::string file;
  std::string why;
  if (!ResolveSQLiteFileName(FFolder, Resource(), FFolder, file, why)) {
    RaiseSQLiteError("not allowed: " + why, Resource());
  }
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    if (!FAutoCreate)
      throw EmncException("Database not exist: \"" + Resource() + "\"");
    SetState(cstCreated);
  }

  sqlite3* handle = nullptr;
  const int result = FLib->sqlite3_open_v2(file.c_str(), &handle, flags, nullptr);
  // A failed open still hands out a handle for its message; it must be closed all the same.
  TSQLiteDatabase opened(*FLib);
  opened.Reset(handle);
  if (result != SQLITE_OK) {
    const std::string message =
        handle != nullptr ? Text(FLib->sqlite3_errmsg(handle)) : Text(FLib->sqlite3_errstr(result));
    RaiseSQLiteError(message, Resource());
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
      RaiseSQLiteError("the library offers no authorizer", Resource());
    CheckError(FLib->sqlite3_set_authorizer(handle, &TmncSQLiteConnection::Authorize, this));
    InitPragmas();
    // After the pragmas: it would turn a configured journal_mode=OFF into a silent no-op.
    SetSafetySwitch(SQLITE_DBCONFIG_DEFENSIVE, 1);
  } catch (...) {
    // A file that is no database fails here: do not leave a half-usable connection open.
    std::lock_guard<std::mutex> lock(FCloseLock);
    FDBHandle.Reset();
    throw;
  }
}

void TmncSQLiteConnection::SetSafetySwitch(int option, int value) {
  if (FLib->sqlite3_db_config == nullptr)
    RaiseSQLiteError("the library cannot be configured", Resource());
  int now = -1;
  CheckError(FLib->sqlite3_db_config(DBHandle(), option, value, &now));
  if (now != value)
    RaiseSQLiteError("the library refused a safety setting", std::to_string(option));
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
  int result = SQLITE_OK;
  {
    std::lock_guard<std::mutex> lock(FCloseLock);
    result = FDBHandle.Close();
  }
  CheckError(result);
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
  std::lock_guard<std::mutex> lock(FCloseLock);
  if (sqlite3* handle = DBHandle())
    FLib->sqlite3_interrupt(handle);
}

std::string TmncSQLiteConnection::GetVersion() const {
  if (FLib->sqlite3_libversion == nullptr)
    return std::string();
  return Text(FLib->sqlite3_libversion());
}

void TmncSQLiteConnection::CheckOptionChange(const char* name) const {
  if (Connected())
    throw EmncException(std::string("You can not set ") + name + " when Transaction active");
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

// ---- TmncSQLiteTransaction ----

TmncSQLiteTransaction::TmncSQLiteTransaction(TmncSQLiteConnection* connection)
    : TmncSQLTransaction(connection) {}

TmncSQLiteTransaction::~TmncSQLiteTransaction() {
  BeforeDestruction();
}

TmncSQLiteConnection* TmncSQLiteTransaction::Connection() const {
  return static_cast<TmncSQLiteConnection*>(TmncSQLTransaction::Connection());
}

void TmncSQLiteTransaction::Execute(const std::string& sql) {
  if (Connection() == nullptr)
    throw EmncException("Connection is not connected");
  Connection()->Execute(sql);
}

void TmncSQLiteTransaction::DoStart() {
  Execute("BEGIN");
}

void TmncSQLiteTransaction::DoStop(TmncTransactionAction how, bool retaining) {
  Execute(how == sdaCommit ? "COMMIT" : "ROLLBACK");
  if (retaining)
    Execute("BEGIN");
}

std::int64_t TmncSQLiteTransaction::GetLastRowID() {
  CheckActive();
  TmncSQLiteConnection* connection = Connection();
  if (connection == nullptr || connection->DBHandle() == nullptr)
    throw EmncException("Connection is not connected");
  return connection->Lib().sqlite3_last_insert_rowid(connection->DBHandle());
}

int TmncSQLiteTransaction::GetRowsChanged() {
  CheckActive();
  TmncSQLiteConnection* connection = Connection();
  if (connection == nullptr || connection->DBHandle() == nullptr)
    throw EmncException("Connection is not connected");
  return connection->Lib().sqlite3_changes(connection->DBHandle());
}

std::unique_ptr<TmncSQLCommand> TmncSQLiteTransaction::DoCreateCommand() {
  return std::make_unique<TmncSQLiteCommand>(this);
}

// ---- TmncSQLiteCommand ----

TmncSQLiteCommand::TmncSQLiteCommand(TmncSQLiteTransaction* transaction)
    : TmncSQLCommand(transaction) {}

TmncSQLiteCommand::~TmncSQLiteCommand() {
  BeforeDestruction();
  // A statement that Close could not finalize goes with FStatment (Close clears it first, so
  // this is a guard).
}

TmncSQLiteTransaction* TmncSQLiteCommand::Transaction() const {
  return static_cast<TmncSQLiteTransaction*>(TmncSQLCommand::Transaction());
}

TmncSQLiteConnection* TmncSQLiteCommand::Connection() const {
  TmncSQLiteTransaction* transaction = Transaction();
  return transaction == nullptr ? nullptr : transaction->Connection();
}

TmncSQLiteConnection& TmncSQLiteCommand::RequireConnection() const {
  TmncSQLiteConnection* connection = Connection();
  if (connection == nullptr || !connection->Connected())
    throw EmncException("Connection is not connected");
  return *connection;
}

std::int64_t TmncSQLiteCommand::GetLastRowID() {
  if (Transaction() == nullptr)
    throw EmncException("Transaction not assigned");
  return Transaction()->GetLastRowID();
}

int TmncSQLiteCommand::GetRowsChanged() {
  if (Transaction() == nullptr)
    throw EmncException("Transaction not assigned");
  return Transaction()->GetRowsChanged();
}

void TmncSQLiteCommand::CheckError(int result) {
  if (result == SQLITE_OK)
    return;
  // The message now: finalizing may reset the connection's error state.
  TmncSQLiteConnection* connection = Connection();
  sqlite3* handle = connection != nullptr ? connection->DBHandle() : nullptr;
  auto read_message = [&](int code) {
    return handle != nullptr ? Text(FLib->sqlite3_errmsg(handle))
                             : Text(FLib->sqlite3_errstr(code));
  };
  const std::string message = read_message(result);
  std::string detail = connection != nullptr ? connection->TakeDenial() : std::string();
  if (FStatment != nullptr) {
    const int finalized = FinalizeStatement(FStatment);
    if (finalized != SQLITE_OK && detail.empty())
      detail = read_message(finalized);
  }
  RaiseSQLiteError(message, detail);
}

void TmncSQLiteCommand::DoPrepare() {
  FLastStepResult = 0;
  TmncSQLiteConnection& connection = RequireConnection();
  FLib = &connection.Lib();
  FStatment.reset();
  const std::string sql = ProcessedSQL().SQL();
  const char* tail = nullptr;
  // The v2 form re-prepares a statement by itself after a schema change (another command's
  // CREATE or ALTER), so a prepared command stays usable; it also reports the precise error
  // at the failing step.
  const int result = WaitingForSharedCache(*FLib, connection.DBHandle(), [&](bool) {
    sqlite3_stmt* prepared = nullptr;
    const int prepare_result =
        FLib->sqlite3_prepare_v2(connection.DBHandle(), sql.c_str(), -1, &prepared, &tail);
    FStatment = TSQLiteStatementOwner(prepared, TSQLiteFinalize{FLib});
    return prepare_result;
  });
  FTail = tail != nullptr ? std::string(tail) : std::string();
  CheckError(result);
  // One command runs one statement. SQLite would prepare the first and leave the rest unrun
  // while the client is told "OK"; refuse the text instead, as PostgreSQL does.
  const std::size_t rest = StatementAfterFirst(FTail);
  if (rest != std::string::npos) {
    FStatment.reset();
    std::string shown = FTail.substr(rest, kStatementShown);
    while (!shown.empty() && static_cast<unsigned char>(shown.back()) <= ' ')
      shown.pop_back();
    RaiseSQLiteError("more than one statement in one command", shown);
  }
}

void TmncSQLiteCommand::DoExecute() {
  // No result of an earlier execution may outlive this one.
  SetFields(nullptr);
  if (FStatment != nullptr) {
    CheckError(FLib->sqlite3_reset(FStatment.get()));
  } else {
    // An earlier error finalized the statement: make it again.
    DoPrepare();
    if (FStatment == nullptr) {
      // Text without a statement (only a comment): nothing to run.
      Columns().Clear();
      HitDone();
      return;
    }
  }
  BindParams();
  // A lock met here stopped the statement before it did anything: it can run again.
  sqlite3* handle = Connection() != nullptr ? Connection()->DBHandle() : nullptr;
  FLastStepResult = WaitingForSharedCache(*FLib, handle, [this](bool retry) {
    if (retry)
      FLib->sqlite3_reset(FStatment.get());  // repeats the lock error; the next step tells
    return FLib->sqlite3_step(FStatment.get());
  });
  if (FLastStepResult == SQLITE_DONE) {
    HitDone();
    // No row: the declared types still give the result its columns.
    BuildColumns(false);
    BuildFields(false);
    CheckError(FLib->sqlite3_reset(FStatment.get()));
  }
  // A row or an error is for DoNext, which the model calls right after when a row is wanted.
}

void TmncSQLiteCommand::BindParams() {
  TmncBinds& binds = Binds();
  for (TmncBind* bind : binds)
    static_cast<TmncSQLiteBind*>(bind)->FreeBuffer();

  const bool correct_date = Connection() != nullptr && Connection()->CorrectDateTime();
  for (int i = 0; i < binds.Count(); ++i) {
    auto* bind = static_cast<TmncSQLiteBind*>(binds.Items(i));
    const int index = i + 1;
    const Variant value = bind->Param() != nullptr ? bind->Param()->GetValue() : Variant();
    int result = SQLITE_OK;
    switch (value.Kind()) {
      case VariantKind::kNull:
        result = FLib->sqlite3_bind_null(FStatment.get(), index);
        break;
      case VariantKind::kInt32:
        result = FLib->sqlite3_bind_int(FStatment.get(), index, value.ToInt32());
        break;
      case VariantKind::kInt64:
        result = FLib->sqlite3_bind_int64(FStatment.get(), index, value.ToInt64());
        break;
      case VariantKind::kDouble:
      case VariantKind::kCurrency:
        result = FLib->sqlite3_bind_double(FStatment.get(), index, value.ToDouble());
        break;
      case VariantKind::kDateTime:
        result = FLib->sqlite3_bind_double(
            FStatment.get(), index, value.ToDateTime() + (correct_date ? kJulianDayOffset : 0.0));
        break;
      case VariantKind::kBoolean:
        result = FLib->sqlite3_bind_int(FStatment.get(), index, value.ToBoolean() ? 1 : 0);
        break;
      case VariantKind::kBytes: {
        // Bytes go as a blob, whole: as text they would end at the first zero byte.
        const TBytes bytes = value.ToBytes();
        if (bytes.empty()) {
          result = FLib->sqlite3_bind_null(FStatment.get(), index);
        } else {
          const std::string& buffer = bind->SetBuffer(std::string(bytes.begin(), bytes.end()));
          result = FLib->sqlite3_bind_blob(FStatment.get(), index, buffer.data(),
                                           bind->BufferSize(), SQLITE_STATIC);
        }
        break;
      }
      default: {
        // Text, and every other kind in its text form; the empty text is stored as NULL.
        std::string text = value.ToString();
        if (text.empty()) {
          result = FLib->sqlite3_bind_null(FStatment.get(), index);
        } else {
          const std::string& buffer = bind->SetBuffer(std::move(text));
          result = FLib->sqlite3_bind_text(FStatment.get(), index, buffer.c_str(),
                                           bind->BufferSize(), SQLITE_STATIC);
        }
        break;
      }
    }
    CheckError(result);
  }
}

void TmncSQLiteCommand::DoNext() {
  // Past the end (or after an error) there is nothing to step: stepping a reset statement would
  // start the query over.
  if (FStatment == nullptr || (Done() && !Ready())) {
    HitDone();
    return;
  }
  if (!Ready())
    FLastStepResult = FLib->sqlite3_step(FStatment.get());
  if (FLastStepResult == SQLITE_ROW) {
    if (Ready())
      BuildColumns(true);
    BuildFields(true);
  } else if (FLastStepResult == SQLITE_DONE) {
    if (Done())
      return;
    HitDone();
    CheckError(FLib->sqlite3_reset(FStatment.get()));
  } else {
    CheckError(FLastStepResult);
  }
}

void TmncSQLiteCommand::BuildColumns(bool from_row) {
  // The fields of the previous row point at the columns about to be freed.
  SetFields(nullptr);
  TmncColumns& columns = Columns();
  columns.Clear();
  const int count = FLib->sqlite3_column_count(FStatment.get());
  for (int i = 0; i < count; ++i) {
    const std::string name = UnquoteName(Text(FLib->sqlite3_column_name(FStatment.get(), i)));
    const std::string declared = Text(FLib->sqlite3_column_decltype(FStatment.get(), i));
    const int storage =
        from_row ? FLib->sqlite3_column_type(FStatment.get(), i) : DeclaredStorage(declared);
    TmncColumn* column = columns.Add(i, name, ColumnDataType(storage, declared));
    column->SetMetaType(declared);
  }
}

Variant TmncSQLiteCommand::ColumnValue(int index, const TmncColumn* column) const {
  const bool correct_date = Connection() == nullptr || Connection()->CorrectDateTime();
  switch (FLib->sqlite3_column_type(FStatment.get(), index)) {
    case SQLITE_INTEGER: {
      const std::int64_t value = FLib->sqlite3_column_int64(FStatment.get(), index);
      if (IsDateColumn(column)) {
        const double days = static_cast<double>(value);
        return Variant::FromDateTime(correct_date ? std::trunc(days - kJulianDayOffset) : days);
      }
      // Whole 64-bit values; those that fit keep the 32-bit kind.
      if (value >= std::numeric_limits<std::int32_t>::min() &&
          value <= std::numeric_limits<std::int32_t>::max())
        return Variant(static_cast<std::int32_t>(value));
      return Variant(value);
    }
    case SQLITE_FLOAT: {
      const double value = FLib->sqlite3_column_double(FStatment.get(), index);
      if (IsDateColumn(column))
        return Variant::FromDateTime(correct_date ? value - kJulianDayOffset : value);
      return Variant(value);
    }
    case SQLITE_TEXT: {
      if (column != nullptr && SameText(column->MetaType(), "Blob")) {
        const void* data = FLib->sqlite3_column_blob(FStatment.get(), index);
        return Variant(Bytes(data, FLib->sqlite3_column_bytes(FStatment.get(), index)));
      }
      const auto* data = FLib->sqlite3_column_text(FStatment.get(), index);
      const int size = FLib->sqlite3_column_bytes(FStatment.get(), index);
      std::string text =
          data == nullptr || size <= 0
              ? std::string()
              : std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
      if (IsDateColumn(column)) {
        try {
          return Variant::FromDateTime(ParseISODateTime(text, '-', '\0', false));
        } catch (const EConvertError&) {
          // An impossible date stays readable as the text it is.
        }
      }
      return Variant(std::move(text));
    }
    case SQLITE_BLOB: {
      const void* data = FLib->sqlite3_column_blob(FStatment.get(), index);
      return Variant(Bytes(data, FLib->sqlite3_column_bytes(FStatment.get(), index)));
    }
    default:
      return Variant::MakeNull();
  }
}

void TmncSQLiteCommand::BuildFields(bool from_row) {
  const int count = FLib->sqlite3_column_count(FStatment.get());
  if (count == 0)
    return;
  TmncColumns& columns = Columns();
  auto fields = CreateFields(&columns);
  for (int i = 0; i < count; ++i) {
    TmncColumn* column = i < columns.Count() ? columns.Items(i) : nullptr;
    TmncField* field = fields->Add(column, from_row ? ColumnValue(i, column) : Variant::MakeNull());
    if (column != nullptr)
      field->SetDataType(column->DataType());
  }
  SetFields(std::move(fields));
}

void TmncSQLiteCommand::DoClose() {
  if (FStatment == nullptr)
    return;
  const int result = FinalizeStatement(FStatment);
  if (result == SQLITE_OK)
    return;
  TmncSQLiteConnection* connection = Connection();
  if (connection != nullptr && connection->Connected())
    connection->CheckError(result);
  RaiseSQLiteError(Text(FLib->sqlite3_errstr(result)), std::string());
}

std::unique_ptr<TmncFields> TmncSQLiteCommand::CreateFields(TmncColumns* columns) {
  return std::make_unique<TmncSQLiteFields>(columns);
}

std::unique_ptr<TmncParams> TmncSQLiteCommand::CreateParams() {
  return std::make_unique<TmncSQLiteParams>();
}

std::unique_ptr<TmncBinds> TmncSQLiteCommand::CreateBinds() {
  return std::make_unique<TmncSQLiteBinds>();
}

}  // namespace qm
