#pragma once

// Owners of the SQLite library's handles. Each calls the library through the binding that
// made its handle (a connection may use a binding of its own), where the owner ends.

#include <atomic>
#include <memory>

#include "db/sqlite/sqlite_api.h"

namespace qm {

// A prepared statement, finalized where the owner ends.
struct TSQLiteFinalize {
  TmncSQLiteLib* lib = nullptr;
  void operator()(sqlite3_stmt* statement) const { lib->sqlite3_finalize(statement); }
};
using TSQLiteStatementOwner = std::unique_ptr<sqlite3_stmt, TSQLiteFinalize>;

// Finalizes the statement held now: the library's result (SQLITE_OK when none is held), which
// repeats the error of the statement's last step.
int FinalizeStatement(TSQLiteStatementOwner& statement);

// A database handle. Close() is the orderly close, which the library refuses while statements
// are still open (the handle then stays held); a handle still held where the owner ends goes
// to sqlite3_close_v2, which closes it once the last statement is finalized. The handle is
// atomic because another thread may read it (to interrupt) while the owner's thread closes it.
class TSQLiteDatabase {
 public:
  explicit TSQLiteDatabase(TmncSQLiteLib& lib) : FLib(&lib) {}
  TSQLiteDatabase(const TSQLiteDatabase&) = delete;
  TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;
  ~TSQLiteDatabase();

  sqlite3* Get() const { return FHandle.load(); }
  // Takes `handle`, closing the one held before.
  void Reset(sqlite3* handle = nullptr);
  // Gives the handle up without closing it.
  sqlite3* Release() { return FHandle.exchange(nullptr); }
  // sqlite3_close; the handle is given up only when that succeeds. The library's result.
  int Close();

 private:
  void CloseAnyway(sqlite3* handle) const;

  TmncSQLiteLib* FLib;
  std::atomic<sqlite3*> FHandle{nullptr};
};

}  // namespace qm
