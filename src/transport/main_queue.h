#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qm {

// Revokes queued calls whose objects are going away: a call queued with a guard runs only while
// the guard is alive, and Revoke waits for a call that is running under it.
class TMainQueueGuard {
 public:
  void Revoke();

 private:
  friend class TMainQueue;
  std::mutex FLock;
  bool FAlive = true;
};

// The main thread's queue of calls: any thread queues, the main thread runs them in order
// (listener log delivery, DoIdle, DoChanged, DoStarted). Thread-safe. A call that raises is
// dropped; it does not stop the queue.
class TMainQueue {
 public:
  static TMainQueue& Instance();

  void Queue(std::function<void()> Call, std::shared_ptr<TMainQueueGuard> Guard = nullptr);
  // Runs calls on this thread until Terminate; the calling thread is then the main thread.
  void Run();
  // Ends the running loop; when none runs yet, the next Run returns at once.
  void Terminate();
  // Runs every call queued so far: on this thread when no Run loop is active or this is its
  // thread; otherwise waits (at most a few seconds) for the loop to reach them.
  void RunPending();
  std::size_t Count();

 private:
  struct TQueuedCall {
    std::function<void()> Call;
    std::uint64_t Number = 0;
  };
  static void Invoke(const std::function<void()>& Call);
  // Runs queued calls numbered up to Last; the caller holds no lock.
  void RunUpTo(std::uint64_t Last);

  std::mutex FLock;  // guards everything below
  std::condition_variable FChanged;
  std::deque<TQueuedCall> FCalls;
  std::uint64_t FQueued = 0;  // number of the last call queued
  std::uint64_t FDone = 0;    // number of the last call run
  bool FRunning = false;
  bool FTerminated = false;
  std::thread::id FRunner;
};

}  // namespace qm
