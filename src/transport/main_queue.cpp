#include "transport/main_queue.h"

#include <algorithm>
#include <chrono>

namespace qm {

namespace {
// How long RunPending waits for a busy main loop before giving up.
constexpr std::chrono::seconds kPendingWait{5};
}  // namespace

void TMainQueueGuard::Revoke() {
  std::lock_guard<std::mutex> lock(FLock);
  FAlive = false;
}

TMainQueue& TMainQueue::Instance() {
  static TMainQueue instance;
  return instance;
}

void TMainQueue::Queue(std::function<void()> Call, std::shared_ptr<TMainQueueGuard> Guard) {
  if (Guard) {
    Call = [call = std::move(Call), guard = std::move(Guard)] {
      std::lock_guard<std::mutex> lock(guard->FLock);
      if (guard->FAlive)
        call();
    };
  }
  {
    std::lock_guard<std::mutex> lock(FLock);
    FCalls.push_back({std::move(Call), ++FQueued});
  }
  FChanged.notify_all();
}

void TMainQueue::Invoke(const std::function<void()>& Call) {
  try {
    Call();
  } catch (...) {
    // A failing hook must not stop the main thread's loop.
  }
}

void TMainQueue::RunUpTo(std::uint64_t Last) {
  while (true) {
    TQueuedCall call;
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (FCalls.empty() || FCalls.front().Number > Last)
        return;
      call = std::move(FCalls.front());
      FCalls.pop_front();
    }
    Invoke(call.Call);
    {
      std::lock_guard<std::mutex> lock(FLock);
      FDone = std::max(FDone, call.Number);
    }
    FChanged.notify_all();
  }
}

void TMainQueue::Run() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FRunning = true;
    FRunner = std::this_thread::get_id();
  }
  while (true) {
    TQueuedCall call;
    {
      std::unique_lock<std::mutex> lock(FLock);
      FChanged.wait(lock, [this] { return FTerminated || !FCalls.empty(); });
      if (FTerminated)
        break;
      call = std::move(FCalls.front());
      FCalls.pop_front();
    }
    Invoke(call.Call);
    {
      std::lock_guard<std::mutex> lock(FLock);
      FDone = std::max(FDone, call.Number);
    }
    FChanged.notify_all();
  }
  std::lock_guard<std::mutex> lock(FLock);
  FRunning = false;
  FTerminated = false;
  FRunner = {};
}

void TMainQueue::Terminate() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FTerminated = true;
  }
  FChanged.notify_all();
}

void TMainQueue::RunPending() {
  std::unique_lock<std::mutex> lock(FLock);
  const std::uint64_t last = FQueued;
  if (!FRunning || FRunner == std::this_thread::get_id()) {
    lock.unlock();
    RunUpTo(last);
    return;
  }
  FChanged.wait_for(lock, kPendingWait, [&] { return FDone >= last || !FRunning; });
  if (FDone < last && !FRunning) {
    lock.unlock();
    RunUpTo(last);
  }
}

std::size_t TMainQueue::Count() {
  std::lock_guard<std::mutex> lock(FLock);
  return FCalls.size();
}

}  // namespace qm
