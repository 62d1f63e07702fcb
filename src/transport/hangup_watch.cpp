#include "transport/hangup_watch.h"

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace qm {

namespace {

// How often the watched descriptors are looked at (ms).
constexpr int kPollInterval = 200;
// Rounds with nothing to watch before the thread sleeps until the next watch (about 5 s).
constexpr int kIdleRounds = 25;

struct TWatched {
  int Descriptor;
  std::function<void()> OnHangup;
};

// The watched descriptors and the thread that polls them. The lock guards the list. A callback
// runs without it (an interrupt may wait on a network round trip, and other watches must not
// wait for that), but a watch that ends meanwhile waits until its callback has returned. The
// poll runs without the lock on a copy of the list; an entry that ended during the poll is no
// longer in the list afterwards and is skipped, so a descriptor number closed and reused
// meanwhile never reaches a callback that is not its own.
class THangupWatcher {
 public:
  static THangupWatcher& Instance() {
    // Never destroyed: a connection thread may still end a watch while the process exits.
    static THangupWatcher* watcher = new THangupWatcher();
    return *watcher;
  }

  std::uint64_t Add(int Descriptor, std::function<void()> OnHangup) {
    std::lock_guard<std::mutex> lock(FLock);
    const std::uint64_t id = ++FLastID;
    FWatched.emplace(id, TWatched{Descriptor, std::move(OnHangup)});
    if (!FStarted) {
      std::thread([this] { Run(); }).detach();
      FStarted = true;
    }
    // A thread still polling looks at the new entry on its next round; waking it for every
    // short request would cost a thread switch each. Only a thread asleep after a long idle
    // spell is woken.
    if (FAsleep) {
      FAsleep = false;
      FChanged.notify_one();
    }
    return id;
  }

  void Remove(std::uint64_t ID) {
    std::unique_lock<std::mutex> lock(FLock);
    FCalled.wait(lock, [&] { return FCalling != ID; });
    FWatched.erase(ID);
  }

 private:
  THangupWatcher() = default;

  void Run() {
    std::vector<std::uint64_t> ids;
    std::vector<pollfd> fds;
    std::unique_lock<std::mutex> lock(FLock);
    int idle_rounds = 0;
    for (;;) {
      if (FWatched.empty()) {
        if (++idle_rounds < kIdleRounds) {
          FChanged.wait_for(lock, std::chrono::milliseconds(kPollInterval));
        } else {
          FAsleep = true;
          FChanged.wait(lock, [this] { return !FAsleep; });
          idle_rounds = 0;
        }
        continue;
      }
      idle_rounds = 0;
      ids.clear();
      fds.clear();
      for (const auto& [id, watched] : FWatched) {
        ids.push_back(id);
        fds.push_back(pollfd{watched.Descriptor, POLLRDHUP, 0});
      }
      lock.unlock();
      const int ready = ::poll(fds.data(), fds.size(), 0);
      lock.lock();
      if (ready > 0) {
        for (std::size_t i = 0; i < fds.size(); ++i) {
          if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)
            continue;
          auto found = FWatched.find(ids[i]);
          if (found == FWatched.end())
            continue;
          // Once: the entry stays (its owner removes it) but no longer calls.
          std::function<void()> call = std::move(found->second.OnHangup);
          found->second.Descriptor = -1;
          if (!call)
            continue;
          FCalling = ids[i];
          lock.unlock();
          call();
          lock.lock();
          FCalling = 0;
          FCalled.notify_all();
        }
      }
      FChanged.wait_for(lock, std::chrono::milliseconds(kPollInterval));
    }
  }

  std::mutex FLock;
  std::condition_variable FChanged;
  std::condition_variable FCalled;
  std::uint64_t FCalling = 0;  // the watch whose callback runs, 0 for none
  std::map<std::uint64_t, TWatched> FWatched;
  std::uint64_t FLastID = 0;
  bool FStarted = false;
  bool FAsleep = false;  // the thread waits for Add, not for its next round
};

}  // namespace

THangupWatch::THangupWatch(int Descriptor, std::function<void()> OnHangup) {
  if (Descriptor >= 0)
    FID = THangupWatcher::Instance().Add(Descriptor, std::move(OnHangup));
}

THangupWatch::~THangupWatch() {
  if (FID != 0)
    THangupWatcher::Instance().Remove(FID);
}

}  // namespace qm
