#pragma once

// Owners of the Firebird client library's handles. Each holds one handle and the binding that
// made it, hands the library the handle's address to fill in or clear, and frees a handle it
// still holds where the owner ends, ignoring the library's answer (there is nobody left to tell):
// an attachment is detached, a transaction rolled back, a statement dropped, a blob cancelled. The
// orderly calls whose failure matters (a commit, a detach the caller reports) go through Address();
// the library clears the handle when it succeeds, so the owner frees each handle once.
//
// Not thread-safe: an owner belongs to the object that uses the handle on one thread.

#include <ibase.h>

#include <utility>

#include "db/firebird/fb_api.h"

namespace qm {

template <typename Handle, void (*Free)(TmncFBLib&, Handle*)>
class TFBHandleOwner {
 public:
  explicit TFBHandleOwner(TmncFBLib& lib) : FLib(&lib) {}
  TFBHandleOwner(const TFBHandleOwner&) = delete;
  TFBHandleOwner& operator=(const TFBHandleOwner&) = delete;
  ~TFBHandleOwner() { Reset(); }

  Handle Get() const { return FHandle; }
  // The binding that frees the handle: the one that makes the next handle.
  void Bind(TmncFBLib& lib) { FLib = &lib; }
  explicit operator bool() const { return FHandle != 0; }
  // For the library to fill in (or clear, when it frees the handle itself).
  Handle* Address() { return &FHandle; }
  // Frees the handle held now (the library's answer ignored).
  void Reset() {
    if (FHandle != 0)
      Free(*FLib, &FHandle);
    FHandle = 0;
  }
  // Gives the handle up without freeing it: the library already freed it with its attachment.
  Handle Forget() { return std::exchange(FHandle, 0); }

 private:
  TmncFBLib* FLib;
  Handle FHandle = 0;
};

void FBDetachDatabase(TmncFBLib& lib, isc_db_handle* handle);
void FBRollbackTransaction(TmncFBLib& lib, isc_tr_handle* handle);
void FBDropStatement(TmncFBLib& lib, isc_stmt_handle* handle);
void FBCancelBlob(TmncFBLib& lib, isc_blob_handle* handle);

// An attachment, detached where the owner ends.
using TFBAttachment = TFBHandleOwner<isc_db_handle, FBDetachDatabase>;
// A transaction, rolled back where the owner ends.
using TFBTransactionHandle = TFBHandleOwner<isc_tr_handle, FBRollbackTransaction>;
// A statement, dropped where the owner ends.
using TFBStatementHandle = TFBHandleOwner<isc_stmt_handle, FBDropStatement>;
// An open blob, cancelled where the owner ends (a blob closed on purpose is closed through
// Address()).
using TFBBlobHandle = TFBHandleOwner<isc_blob_handle, FBCancelBlob>;

}  // namespace qm
