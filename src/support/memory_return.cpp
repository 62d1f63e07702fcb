#include "support/memory_return.h"

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qm {

namespace {

// Returning walks every arena under its lock: at most once per this many milliseconds.
constexpr std::int64_t kMinInterval = 1000;
// Memory goes on being freed for a while after connections end (their log lines and background
// jobs drain), so returning goes on until a return came this long after the last note.
constexpr std::int64_t kSettle = 30000;

std::atomic<std::int64_t> gLastFreed{-1};
std::atomic<std::int64_t> gLastReturn{-1};

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void NoteMemoryFreed() {
  gLastFreed.store(NowMs());
}

void ReturnFreedMemoryIfDue() {
  const std::int64_t freed = gLastFreed.load();
  std::int64_t last = gLastReturn.load();
  if (freed < 0 || last > freed + kSettle)
    return;
  const std::int64_t now = NowMs();
  if ((last >= 0 && now - last < kMinInterval) || !gLastReturn.compare_exchange_strong(last, now))
    return;
  ::malloc_trim(0);
}

}  // namespace qm
