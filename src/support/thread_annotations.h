#pragma once

// Lock rules the compiler can check. With clang and -Wthread-safety a member marked
// GUARDED_BY(FLock) may only be touched while FLock is held, and a function marked
// REQUIRES(FLock) only called so. Other compilers ignore the marks.
//
// The standard mutexes carry no such marks in libstdc++, so a guarded member's lock is a
// `TMutex` or `TRecursiveMutex`: a standard mutex wrapped, not derived from, so no standard lock
// type can take it behind the analysis' back. It is taken with `TLockGuard`; code that waits on
// a condition variable takes it with `TUniqueLock`, which lends the standard lock to the wait.
// Use `TRecursiveMutex` only where a call really re-enters, and say where.

#include <mutex>

#if defined(__clang__)
#define QM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QM_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QM_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) QM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QM_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QM_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qm {

template <typename Mutex>
class TUniqueLock;

template <typename StandardMutex>
class CAPABILITY("mutex") TAnnotatedMutex {
 public:
  TAnnotatedMutex() = default;
  TAnnotatedMutex(const TAnnotatedMutex&) = delete;
  TAnnotatedMutex& operator=(const TAnnotatedMutex&) = delete;

  void lock() ACQUIRE() { FMutex.lock(); }
  void unlock() RELEASE() { FMutex.unlock(); }

 private:
  // Only the unique lock reaches the standard mutex, to lend it to a condition variable.
  template <typename Mutex>
  friend class TUniqueLock;
  StandardMutex FMutex;
};

using TMutex = TAnnotatedMutex<std::mutex>;
using TRecursiveMutex = TAnnotatedMutex<std::recursive_mutex>;

// std::lock_guard for the annotated mutexes.
template <typename Mutex>
class SCOPED_CAPABILITY TLockGuard {
 public:
  explicit TLockGuard(Mutex& mutex) ACQUIRE(mutex) : FMutex(mutex) { FMutex.lock(); }
  ~TLockGuard() RELEASE() { FMutex.unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  Mutex& FMutex;
};

// std::unique_lock for the annotated mutexes: may be let go and taken again inside its scope.
// `Standard()` is the lock a condition variable's wait releases and takes again (held again
// whenever the wait returns, so the analysis may treat it as held throughout).
template <typename Mutex>
class SCOPED_CAPABILITY TUniqueLock {
 public:
  using StandardLock = std::unique_lock<decltype(Mutex::FMutex)>;
  explicit TUniqueLock(Mutex& mutex) ACQUIRE(mutex) : FLock(mutex.FMutex) {}
  ~TUniqueLock() RELEASE() {}
  TUniqueLock(const TUniqueLock&) = delete;
  TUniqueLock& operator=(const TUniqueLock&) = delete;

  void Lock() ACQUIRE() { FLock.lock(); }
  void Unlock() RELEASE() { FLock.unlock(); }
  StandardLock& Standard() { return FLock; }

 private:
  StandardLock FLock;
};

}  // namespace qm
