#include "db/sqlite/sqlite_command.h"

#include <chrono>
#include <string_view>
#include <utility>

#include "db/db_errors.h"
#include "db/sqlite/sqlite_errors.h"
#include "db/sqlite/sqlite_shared_cache.h"
#include "support/text_utils.h"

namespace qm {
namespace {

// How much of a refused second statement an error message shows.
constexpr std::size_t kStatementShown = 60;

// Where a statement starts in the text SQLite left after the first one, or npos when the text
// holds only blanks, ";" and comments.
std::size_t StatementAfterFirst(std::string_view text) {
  return SkipSqlBlanksAndComments(text, true);
}

// How long a statement waits for another connection's table lock.
constexpr std::chrono::milliseconds kLockWait{TmncSQLiteConnection::kBusyTimeout};

}  // namespace

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
    throw EmncStateError("Connection is not connected");
  return *connection;
}

std::int64_t TmncSQLiteCommand::GetLastRowID() {
  if (Transaction() == nullptr)
    throw EmncStateError("Transaction not assigned");
  return Transaction()->GetLastRowID();
}

int TmncSQLiteCommand::GetRowsChanged() {
  if (Transaction() == nullptr)
    throw EmncStateError("Transaction not assigned");
  return Transaction()->GetRowsChanged();
}

void TmncSQLiteCommand::CheckError(int result) {
  if (result == SQLITE_OK)
    return;
  // The message now: finalizing may reset the connection's error state.
  TmncSQLiteConnection* connection = Connection();
  sqlite3* handle = connection != nullptr ? connection->DBHandle() : nullptr;
  auto read_message = [&](int code) { return SQLiteErrorMessage(*FLib, handle, code); };
  const std::string message = read_message(result);
  const int code = SQLiteErrorCode(*FLib, handle, result);
  std::string detail = connection != nullptr ? connection->TakeDenial() : std::string();
  if (FStatment != nullptr) {
    const int finalized = FinalizeStatement(FStatment);
    if (finalized != SQLITE_OK && detail.empty())
      detail = read_message(finalized);
  }
  RaiseSQLiteError(message, detail, code);
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
  const int result = WaitingForSharedCache(*FLib, connection.DBHandle(), kLockWait, [&](bool) {
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
    RaiseSQLiteError("more than one statement in one command", shown, SQLITE_ERROR);
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
  FLastStepResult = WaitingForSharedCache(*FLib, handle, kLockWait, [this](bool retry) {
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
    const Variant value = bind->Param() != nullptr ? bind->Param()->GetValue() : Variant();
    CheckError(SQLiteBindValue(*FLib, FStatment.get(), i + 1, value, *bind, correct_date));
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
    const std::string name =
        SQLiteColumnName(SQLiteText(FLib->sqlite3_column_name(FStatment.get(), i)));
    const std::string declared = SQLiteText(FLib->sqlite3_column_decltype(FStatment.get(), i));
    const int storage =
        from_row ? FLib->sqlite3_column_type(FStatment.get(), i) : SQLiteDeclaredStorage(declared);
    TmncColumn* column = columns.Add(i, name, SQLiteColumnDataType(storage, declared));
    column->SetMetaType(declared);
  }
}

Variant TmncSQLiteCommand::ColumnValue(int index, const TmncColumn* column) const {
  const bool correct_date = Connection() == nullptr || Connection()->CorrectDateTime();
  return SQLiteColumnValue(*FLib, FStatment.get(), index, column, correct_date);
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
  RaiseSQLiteError(SQLiteText(FLib->sqlite3_errstr(result)), std::string(), result);
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
