#pragma once

// Whole blobs read and written through one memory buffer. Reading or writing without both
// handles raises EFBClientError "Handles not opened"; library errors raise as fb_errors.h says.
// An open blob is cancelled when reading or writing it fails.

#include <ibase.h>

#include <string>
#include <string_view>

namespace qm {

class TmncFBLib;

// The handles a value needs for its blobs: the connection's database handle and the
// transaction's handle (not owned).
struct TFBHandles {
  TmncFBLib* Lib = nullptr;
  isc_db_handle* DB = nullptr;
  isc_tr_handle* TR = nullptr;
};

// The content of blob `id`.
std::string FBReadBlob(const TFBHandles& handles, const ISC_QUAD& id);
// A new blob holding `bytes`; its id.
ISC_QUAD FBWriteBlob(const TFBHandles& handles, std::string_view bytes);

}  // namespace qm
