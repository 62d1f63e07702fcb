#include "service/session_sweeper.h"

#include <exception>
#include <string>
#include <vector>

#include "session/session_registry.h"
#include "support/log.h"

namespace qm {

int SweepDeadSessions() {
  std::vector<TqmdConnectionPtr> dead;
  {
    TqmdConnections& sessions = TqmdConnections::Instance();
    TLockGuard lock(sessions.Lock());
    dead = sessions.EnumDeadConnections();
  }
  const int count = static_cast<int>(dead.size());
  // Freed here, outside the registry lock: closing a database connection may take a while. A
  // session that a command still holds goes when that command lets it go.
  dead.clear();
  return count;
}

TqmSessionSweeper::TqmSessionSweeper(std::chrono::milliseconds Interval)
    : FInterval(Interval), FThread([this] { Run(); }) {}

TqmSessionSweeper::~TqmSessionSweeper() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FDone = true;
  }
  FWake.notify_all();
  FThread.join();
}

void TqmSessionSweeper::Run() {
  std::unique_lock<std::mutex> lock(FLock);
  while (!FWake.wait_for(lock, FInterval, [this] { return FDone; })) {
    lock.unlock();
    try {
      SweepDeadSessions();
    } catch (const std::exception& e) {
      WriteLog(std::string("Sweep: ") + e.what());
    }
    lock.lock();
  }
}

}  // namespace qm
