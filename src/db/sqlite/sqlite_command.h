#pragma once

// A SQLite command over one prepared statement of its transaction's connection.
//
// Threads: used by the thread that uses its connection. Destruction: before its transaction.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

#include "db/sql_connections.h"
#include "db/sqlite/sqlite_api.h"
#include "db/sqlite/sqlite_owners.h"
#include "db/sqlite/sqlite_transaction.h"
#include "db/sqlite/sqlite_values.h"

namespace qm {

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
