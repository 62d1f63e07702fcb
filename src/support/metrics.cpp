#include "support/metrics.h"

namespace qm {

TServerMetrics& TServerMetrics::Instance() {
  static TServerMetrics instance;
  return instance;
}

void TServerMetrics::CountRequest(std::string_view Command, std::string_view Outcome,
                                  double Seconds) {
  std::size_t bucket = 0;
  while (bucket < kDurationBounds.size() && Seconds > kDurationBounds[bucket])
    ++bucket;
  try {
    TLockGuard lock(FLock);
    ++FData.Requests[{std::string(Command), std::string(Outcome)}];
    if (Seconds >= 0) {
      ++FData.DurationBuckets[bucket];
      FData.DurationSum += Seconds;
    }
  } catch (...) {
    // A figure lost is better than a request lost.
  }
}

void TServerMetrics::CountConnectFailed(std::string_view Engine) {
  try {
    TLockGuard lock(FLock);
    ++FData.ConnectsFailed[std::string(Engine)];
  } catch (...) {
  }
}

TServerMetrics::TSnapshot TServerMetrics::Snapshot() const {
  TLockGuard lock(FLock);
  return FData;
}

}  // namespace qm
