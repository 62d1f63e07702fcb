#pragma once

// Background jobs run one at a time, in arrival order, on a single pool thread.
//
// A job is a TPoolObject subclass that carries copies of its data as named text settings. Post
// it with PostPoolObject<T>(...): the pool owns it from then on, runs its DoWork later and frees
// it; the poster never waits. When the process ends normally (exit or return from main), jobs
// still queued are run before the pool thread stops, so the last log lines reach their file.
// Jobs posted after that run at once on the posting thread, still one at a time.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "support/format.h"
#include "support/thread_annotations.h"

namespace qm {

// One named text value.
class TprmSetting {
 public:
  explicit TprmSetting(std::string name, std::string data = {})
      : FName(std::move(name)), FData(std::move(data)) {}

  const std::string& Name() const { return FName; }
  const std::string& Data() const { return FData; }
  void SetData(std::string data) { FData = std::move(data); }
  // The value's storage, to read and write it in place.
  std::string& PData() { return FData; }

 private:
  std::string FName;
  std::string FData;
};

// An ordered list of settings whose names compare ignoring case. Not thread-safe: one owner.
class TprmSettings {
 public:
  TprmSetting* Find(std::string_view name);
  const TprmSetting* Find(std::string_view name) const;
  // Find, or a new empty setting of that name appended.
  TprmSetting& Force(std::string_view name);
  // The value's storage; the setting is created when missing.
  std::string& GetData(std::string_view name) { return Force(name).PData(); }
  std::string& operator[](std::string_view name) { return GetData(name); }

  // The value as a decimal integer, 0 when it does not convert (the setting is created when
  // missing, like GetData).
  std::int64_t AsInt64(std::string_view name);
  std::int32_t AsInteger(std::string_view name);

  // "" when empty; otherwise a JSON object of the non-empty values in list order.
  std::string AsJson() const;
  // Clears, then takes each member of a JSON object in order (non-string values as their JSON
  // text). Text that is not a JSON object leaves the list empty.
  void SetAsJson(std::string_view json);

  int Count() const { return static_cast<int>(FItems.size()); }
  TprmSetting& Items(int index) { return *FItems.at(static_cast<std::size_t>(index)); }
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TprmSetting>> FItems;
};

// One job. Derived classes put their work in DoWork and read their data from Settings(). A job
// that needs to stop early checks Terminated() now and then.
class TPoolObject {
 public:
  explicit TPoolObject(std::string name);
  // Each key gets the text form of the value of the same position (an integer its decimal
  // text); surplus keys or values are ignored.
  TPoolObject(std::string name, std::initializer_list<std::string_view> keys,
              std::initializer_list<FormatArg> values);
  virtual ~TPoolObject() = default;
  TPoolObject(const TPoolObject&) = delete;
  TPoolObject& operator=(const TPoolObject&) = delete;

  const std::string& Name() const { return FName; }
  TprmSettings& Settings() { return FSettings; }
  bool Terminated() const { return FTerminated.load(); }
  // Asks a running job to stop; called under the pool lock, so it must not post jobs.
  virtual void Terminate() { FTerminated = true; }

  // Runs the work at once on the calling thread (the job is not queued).
  void Execute() { DoWork(); }

 protected:
  virtual void DoWork() {}

 private:
  friend class TpoolServices;
  std::string FName;
  TprmSettings FSettings;
  std::atomic<bool> FTerminated{false};
  bool FSkip = false;         // guarded by the pool lock
  bool FErrorReport = false;  // posted while reporting another job's failure
};

// The job queue and its thread. Instance() is the process-wide pool; separate instances exist
// for tests. All members may be called from any thread.
// Lock: FLock guards the queue, FCurrent, the skip flags and the state flags, and is never held
// while a job runs.
class TpoolServices {
 public:
  TpoolServices() = default;
  // Shuts down (runs what is queued) and joins the thread.
  ~TpoolServices();
  TpoolServices(const TpoolServices&) = delete;
  TpoolServices& operator=(const TpoolServices&) = delete;

  // The process-wide pool: created on first use, shut down at normal process exit, never
  // destroyed (so that late jobs still find it).
  static TpoolServices& Instance();

  // Queues the job (starting the thread on first use) and returns at once. After Shutdown the
  // job runs on the calling thread instead.
  void Add(std::unique_ptr<TPoolObject> job);

  // True when a queued (not yet running) job is exactly of class `cls` and named `name`.
  bool FindName(const std::type_info& cls, std::string_view name);
  template <typename T>
  bool FindName(std::string_view name) {
    return FindName(typeid(T), name);
  }

  // Marks queued jobs of exactly class `cls` as skipped (freed without running), asks a running
  // one to terminate, then waits until no job runs. On the pool thread it does not wait.
  void SkipClass(const std::type_info& cls);
  template <typename T>
  void SkipClass() {
    SkipClass(typeid(T));
  }

  // Waits until the queue is empty and no job runs (jobs posted meanwhile included). Returns at
  // once on the pool thread.
  void WaitIdle();
  // The same, giving up after `timeout`; false when the pool was still busy.
  bool WaitIdle(std::chrono::milliseconds timeout);

  // Runs every queued job (and those they post), then stops the thread. Idempotent.
  void Shutdown();

  bool IsPoolThread() const;

 private:
  void Run();
  static void RunJob(TPoolObject& job);
  // Nothing queued and nothing running, or the thread has finished.
  bool Idle() const REQUIRES(FLock) { return FShutdown || (FPoolList.empty() && !FBusy); }

  mutable TMutex FLock;
  std::condition_variable FEvent;      // the queue became non-empty, or stop was asked
  std::condition_variable FIdleEvent;  // a job finished
  std::deque<std::unique_ptr<TPoolObject>> FPoolList GUARDED_BY(FLock);
  // the running job, owned by the pool thread's loop
  TPoolObject* FCurrent GUARDED_BY(FLock) = nullptr;
  bool FBusy GUARDED_BY(FLock) = false;  // a job is running or being freed
  std::thread FThread;                   // started once under FLock, joined by Shutdown
  std::thread::id FThreadId GUARDED_BY(FLock);
  bool FStarted GUARDED_BY(FLock) = false;
  bool FStopping GUARDED_BY(FLock) = false;
  // the thread has finished: Add runs jobs inline
  bool FShutdown GUARDED_BY(FLock) = false;
  // One inline job at a time after shutdown. Re-entrant: an inline job that posts a job (or whose
  // destructor does) runs that one inline too, inside Add on the same thread.
  TRecursiveMutex FInlineLock;
};

// Makes a job and posts it on the process-wide pool.
template <typename T, typename... Args>
void PostPoolObject(Args&&... args) {
  TpoolServices::Instance().Add(std::make_unique<T>(std::forward<Args>(args)...));
}

// The class name of a job for messages: "TFileLogPool" (no namespace).
std::string PoolObjectClassName(const TPoolObject& job);

}  // namespace qm
