#pragma once

// A bounded, process-wide set of idle objects that are dear to make (compression streams with
// their buffers). Take hands out a kept one that matches, Give keeps one for later or frees it
// (outside the lock) when the set is full. The most recently given comes first: its memory is
// the likeliest to be resident.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "support/thread_annotations.h"

namespace qm {

template <typename Item>
class TIdlePool {
 public:
  explicit TIdlePool(std::size_t capacity) : FCapacity(capacity) {}

  // The first kept item for which `matches(item)` holds, taken out; nullptr when none.
  template <typename Matches>
  std::unique_ptr<Item> Take(Matches matches) {
    TLockGuard lock(FLock);
    auto it = std::find_if(FIdle.begin(), FIdle.end(),
                           [&](const std::unique_ptr<Item>& item) { return matches(*item); });
    if (it == FIdle.end())
      return nullptr;
    std::unique_ptr<Item> taken = std::move(*it);
    FIdle.erase(it);
    return taken;
  }

  void Give(std::unique_ptr<Item> item) {
    {
      TLockGuard lock(FLock);
      if (FIdle.size() < FCapacity) {
        FIdle.insert(FIdle.begin(), std::move(item));
        return;
      }
    }
    item.reset();
  }

 private:
  const std::size_t FCapacity;
  TMutex FLock;
  std::vector<std::unique_ptr<Item>> FIdle GUARDED_BY(FLock);
};

}  // namespace qm
