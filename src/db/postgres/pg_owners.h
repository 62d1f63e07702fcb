#pragma once

// Owners of the client library's objects: each frees its object through the process-wide
// binding (db/postgres/pg_api.h) where the owner ends, so no path can leak or free twice.

#include <memory>

#include "db/postgres/pg_api.h"

namespace qm {

struct TPGResultFree {
  void operator()(PGresult* result) const { PGLib().PQclear(result); }
};
using TPGResultOwner = std::unique_ptr<PGresult, TPGResultFree>;

// A connection, finished (its socket closed, the server told) where the owner ends.
struct TPGConnFinish {
  void operator()(PGconn* handle) const { PGLib().PQfinish(handle); }
};
using TPGConnOwner = std::unique_ptr<PGconn, TPGConnFinish>;

// A connection's cancel key (the data PQcancel needs, valid without the connection).
struct TPGCancelFree {
  void operator()(PGcancel* cancel) const { PGLib().PQfreeCancel(cancel); }
};
using TPGCancelOwner = std::unique_ptr<PGcancel, TPGCancelFree>;

// Memory the library allocated for the caller (a notification, an escaped text).
template <typename T>
struct TPGMemoryFree {
  void operator()(T* memory) const { PGLib().PQfreemem(memory); }
};
template <typename T>
using TPGMemoryOwner = std::unique_ptr<T, TPGMemoryFree<T>>;

}  // namespace qm
