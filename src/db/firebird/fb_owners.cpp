#include "db/firebird/fb_owners.h"

#include "db/firebird/fb_errors.h"

namespace qm {

void FBDetachDatabase(TmncFBLib& lib, isc_db_handle* handle) {
  TFBStatus ignored;
  if (lib.isc_detach_database != nullptr)
    lib.isc_detach_database(ignored.Data(), handle);
}

void FBRollbackTransaction(TmncFBLib& lib, isc_tr_handle* handle) {
  TFBStatus ignored;
  if (lib.isc_rollback_transaction != nullptr)
    lib.isc_rollback_transaction(ignored.Data(), handle);
}

void FBDropStatement(TmncFBLib& lib, isc_stmt_handle* handle) {
  TFBStatus ignored;
  if (lib.isc_dsql_free_statement != nullptr)
    lib.isc_dsql_free_statement(ignored.Data(), handle, DSQL_drop);
}

void FBCancelBlob(TmncFBLib& lib, isc_blob_handle* handle) {
  TFBStatus ignored;
  if (lib.isc_cancel_blob != nullptr)
    lib.isc_cancel_blob(ignored.Data(), handle);
}

}  // namespace qm
