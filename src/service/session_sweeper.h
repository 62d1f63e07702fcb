#pragma once

// Closes dead sessions on a timer. A session whose client went away (and took its open
// transaction and locks with it) would otherwise stay until some other client sends a
// "Disconnect", which may never come.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qm {

// Takes every dead session out of the registry (logging "%s: Delete Dead [%s]" for each) and
// frees them outside the registry lock, as a "Disconnect" sweep does: each logs its disconnect
// and its open transactions end as a freed session's do. Returns how many were taken out.
int SweepDeadSessions();

// Runs SweepDeadSessions every Interval on a thread of its own until it goes.
class TqmSessionSweeper {
 public:
  explicit TqmSessionSweeper(std::chrono::milliseconds Interval);
  // Wakes the thread and waits for it (a sweep under way finishes first).
  ~TqmSessionSweeper();
  TqmSessionSweeper(const TqmSessionSweeper&) = delete;
  TqmSessionSweeper& operator=(const TqmSessionSweeper&) = delete;

 private:
  void Run();

  std::chrono::milliseconds FInterval;
  std::mutex FLock;
  std::condition_variable FWake;
  bool FDone = false;   // guarded by FLock
  std::thread FThread;  // last: starts once the rest is made
};

}  // namespace qm
