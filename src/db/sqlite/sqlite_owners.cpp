#include "db/sqlite/sqlite_owners.h"

namespace qm {

int FinalizeStatement(TSQLiteStatementOwner& statement) {
  if (!statement)
    return SQLITE_OK;
  TmncSQLiteLib* lib = statement.get_deleter().lib;
  return lib->sqlite3_finalize(statement.release());
}

TSQLiteDatabase::~TSQLiteDatabase() {
  CloseAnyway(Release());
}

void TSQLiteDatabase::Reset(sqlite3* handle) {
  CloseAnyway(FHandle.exchange(handle));
}

int TSQLiteDatabase::Close() {
  sqlite3* handle = Get();
  if (handle == nullptr)
    return SQLITE_OK;
  const int result = FLib->sqlite3_close(handle);
  if (result == SQLITE_OK)
    FHandle = nullptr;
  return result;
}

void TSQLiteDatabase::CloseAnyway(sqlite3* handle) const {
  if (handle == nullptr)
    return;
  if (FLib->sqlite3_close_v2 != nullptr)
    FLib->sqlite3_close_v2(handle);
  else
    FLib->sqlite3_close(handle);
}

}  // namespace qm
