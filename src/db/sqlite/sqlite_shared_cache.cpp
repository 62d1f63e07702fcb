#include "db/sqlite/sqlite_shared_cache.h"

#include <condition_variable>

#include "support/thread_annotations.h"

namespace qm {
namespace {

// Set by the library, from the thread that ends the blocking transaction.
struct TUnlockSignal {
  TMutex Lock;
  std::condition_variable Changed;
  bool Unlocked GUARDED_BY(Lock) = false;
};

void NotifyUnlocked(void** signals, int count) {
  for (int i = 0; i < count; ++i) {
    auto* signal = static_cast<TUnlockSignal*>(signals[i]);
    TLockGuard<TMutex> guard(signal->Lock);
    signal->Unlocked = true;
    signal->Changed.notify_all();
  }
}

}  // namespace

bool IsSharedCacheLock(TmncSQLiteLib& lib, sqlite3* handle, int result) {
  return (result & 0xFF) == SQLITE_LOCKED && handle != nullptr &&
         lib.sqlite3_extended_errcode != nullptr && lib.sqlite3_unlock_notify != nullptr &&
         lib.sqlite3_extended_errcode(handle) == SQLITE_LOCKED_SHAREDCACHE;
}

TUnlockWait WaitForUnlock(TmncSQLiteLib& lib, sqlite3* handle,
                          std::chrono::steady_clock::time_point deadline) {
  TUnlockSignal signal;
  if (lib.sqlite3_unlock_notify(handle, NotifyUnlocked, &signal) != SQLITE_OK)
    return TUnlockWait::kDeadlock;  // the holder waits for this connection
  bool unlocked;
  {
    TUniqueLock<TMutex> guard(signal.Lock);
    unlocked = signal.Changed.wait_until(guard.Standard(), deadline,
                                         [&signal]() NO_THREAD_SAFETY_ANALYSIS {
                                           // The wait holds the lock whenever it asks.
                                           return signal.Unlocked;
                                         });
  }
  // Withdraws a request still pending. The library calls back under the mutex this call takes,
  // so afterwards no call back can reach `signal` any more.
  lib.sqlite3_unlock_notify(handle, nullptr, nullptr);
  return unlocked ? TUnlockWait::kUnlocked : TUnlockWait::kTimedOut;
}

}  // namespace qm
