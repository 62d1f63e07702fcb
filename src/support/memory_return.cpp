#include "support/memory_return.h"

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qm {

namespace {

// Returning walks every arena under its lock: at most once per this many milliseconds.
constexpr std::int64_t kMinInterval = 1000;

std::atomic<bool> gFreed{false};
std::atomic<std::int64_t> gLastReturn{0};

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void NoteMemoryFreed() {
  gFreed.store(true, std::memory_order_relaxed);
}

void ReturnFreedMemoryIfDue() {
  if (!gFreed.load(std::memory_order_relaxed))
    return;
  const std::int64_t now = NowMs();
  std::int64_t last = gLastReturn.load();
  if (now - last < kMinInterval || !gLastReturn.compare_exchange_strong(last, now))
    return;
  gFreed.store(false, std::memory_order_relaxed);
  ::malloc_trim(0);
}

}  // namespace qm
