#include "transport/hangup_watch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace qm {
namespace {

using namespace std::chrono_literals;

// Both ends of a connected stream socket pair, closed when they go.
class TSocketPair {
 public:
  TSocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, FEnds), 0); }
  ~TSocketPair() {
    CloseLocal();
    ClosePeer();
  }
  TSocketPair(const TSocketPair&) = delete;
  TSocketPair& operator=(const TSocketPair&) = delete;

  int Local() const { return FEnds[0]; }
  void ClosePeer() { Close(FEnds[1]); }
  void CloseLocal() { Close(FEnds[0]); }

 private:
  static void Close(int& End) {
    if (End >= 0)
      ::close(End);
    End = -1;
  }
  int FEnds[2] = {-1, -1};
};

// Waits up to Limit for Flag; the watch polls a few times a second, so a call comes well
// within the limit when it comes at all.
bool WaitFor(const std::atomic<int>& Flag, std::chrono::milliseconds Limit) {
  const auto until = std::chrono::steady_clock::now() + Limit;
  while (Flag.load() == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  return Flag.load() != 0;
}

// A peer that goes while a watch lives is noticed, whether the watching thread is still
// polling (right after another watch) or has gone to sleep after a long spell with nothing to
// watch; a peer that stays is never reported, and the call comes once.
TEST(HangupWatchTest, PeerThatLeavesIsNoticedAfterBusyAndIdleSpells) {
  struct Case {
    const char* name;
    std::chrono::milliseconds idle_before;  // nothing watched for this long first
    bool peer_leaves;
  };
  for (const Case& c : {Case{"peer stays", 0ms, false}, Case{"right after a watch", 0ms, true},
                        Case{"after an idle spell", 6500ms, true}}) {
    std::this_thread::sleep_for(c.idle_before);
    TSocketPair pair;
    std::atomic<int> calls{0};
    {
      const THangupWatch watch(pair.Local(), [&calls] { ++calls; });
      if (c.peer_leaves)
        pair.ClosePeer();
      EXPECT_EQ(WaitFor(calls, c.peer_leaves ? 5000ms : 700ms), c.peer_leaves) << c.name;
      std::this_thread::sleep_for(500ms);
    }
    EXPECT_EQ(calls.load(), c.peer_leaves ? 1 : 0) << c.name;
  }
}

}  // namespace
}  // namespace qm
