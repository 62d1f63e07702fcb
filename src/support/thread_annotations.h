#pragma once

// Lock rules the compiler can check. With clang and -Wthread-safety a member marked
// GUARDED_BY(FLock) may only be touched while FLock is held, and a function marked
// REQUIRES(FLock) only called so. Other compilers ignore the marks.
//
// The standard mutexes carry no such marks in libstdc++, so a guarded member's lock is a
// `TMutex` or `TRecursiveMutex` (the standard types with the marks added; they still work with
// std::unique_lock and std::condition_variable), taken with `TLockGuard`. Code that waits on a
// condition variable takes the lock with `TUniqueLock`, which lends the standard lock to the
// wait.

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

template <typename StandardMutex>
class CAPABILITY("mutex") TAnnotatedMutex : public StandardMutex {
 public:
  using Base = StandardMutex;
  void lock() ACQUIRE() { Base::lock(); }
  void unlock() RELEASE() { Base::unlock(); }
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
  using StandardLock = std::unique_lock<typename Mutex::Base>;
  explicit TUniqueLock(Mutex& mutex) ACQUIRE(mutex) : FLock(mutex) {}
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
