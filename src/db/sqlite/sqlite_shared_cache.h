#pragma once

// Waiting for another connection's table lock in the shared cache. Connections of this process
// share one cache per file, where a write transaction locks out the other connections' writers
// and readers of its tables; the library's busy handler covers only file locks, so a statement
// stopped by such a lock waits here for the holder to end its transaction.

#include <sqlite3.h>

#include <chrono>

#include "db/sqlite/sqlite_api.h"

namespace qm {

// A table lock that another connection of the shared cache holds.
bool IsSharedCacheLock(TmncSQLiteLib& lib, sqlite3* handle, int result);

enum class TUnlockWait { kUnlocked, kTimedOut, kDeadlock };

// Waits until the connection whose lock stopped `handle` ends its transaction, or `deadline`.
TUnlockWait WaitForUnlock(TmncSQLiteLib& lib, sqlite3* handle,
                          std::chrono::steady_clock::time_point deadline);

// Runs `attempt(retry)` and, while it fails on another connection's shared-cache lock, waits for
// that lock to go and runs it again, up to `timeout`. A wait that times out gets one more
// attempt, whose result (and message) is the answer.
template <typename Attempt>
int WaitingForSharedCache(TmncSQLiteLib& lib, sqlite3* handle, std::chrono::milliseconds timeout,
                          Attempt attempt) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
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

}  // namespace qm
