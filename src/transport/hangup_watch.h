#pragma once

// Noticing that the peer of a socket has gone while the socket's own thread is busy elsewhere
// (running a long statement, say), so that the work done for that peer can be stopped.

#include <cstdint>
#include <functional>

namespace qm {

// While it lives, calls OnHangup once (on the process's watching thread) if the peer of
// Descriptor closes the connection, resets it, or shuts down its sending side. One thread polls
// every watched descriptor a few times a second while there are any, and sleeps otherwise.
// OnHangup must be short and must not raise; the destructor waits for a call under way, so
// whatever OnHangup uses needs to outlive only this object. A negative Descriptor watches
// nothing. The descriptor must stay open while this object lives.
class THangupWatch {
 public:
  THangupWatch(int Descriptor, std::function<void()> OnHangup);
  ~THangupWatch();
  THangupWatch(const THangupWatch&) = delete;
  THangupWatch& operator=(const THangupWatch&) = delete;

 private:
  std::uint64_t FID = 0;  // 0: not watching
};

}  // namespace qm
