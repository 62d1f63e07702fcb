#pragma once

// The server's counters for monitoring: process-wide, lock-free where a request path touches
// them, read by the metrics endpoint. Counting never raises and never blocks on I/O.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "support/thread_annotations.h"

namespace qm {

class TServerMetrics {
 public:
  // Upper bounds (seconds) of the request-duration histogram; a last bucket takes the rest.
  static constexpr std::array<double, 10> kDurationBounds = {0.001, 0.0025, 0.005, 0.01, 0.025,
                                                             0.05,  0.1,    0.5,   1.0,  5.0};

  static TServerMetrics& Instance();

  // Client connections whose thread started, and those of them that ended.
  std::atomic<std::uint64_t> ConnectionsAccepted{0};
  std::atomic<std::uint64_t> ConnectionsClosed{0};
  std::atomic<std::uint64_t> RefusedBusy{0};      // MaxConnections reached
  std::atomic<std::uint64_t> RefusedPassword{0};  // header line with a wrong password
  std::atomic<std::uint64_t> RefusedTLS{0};       // TLS handshake failed
  std::atomic<std::uint64_t> BytesReceived{0};    // on accepted client sockets
  std::atomic<std::uint64_t> BytesSent{0};
  std::atomic<std::uint64_t> BlockBytesRaw{0};         // result blocks before compression
  std::atomic<std::uint64_t> BlockBytesCompressed{0};  // and after

  // One request: Command is a registered command name or a fixed word (never client text that
  // was not checked), Outcome "ok", "error" or "refused". Seconds below 0: not timed (the
  // one-letter probes, refusals), so the histogram holds data commands only.
  void CountRequest(std::string_view Command, std::string_view Outcome, double Seconds);
  // A database connect that failed, by engine name ("SQLite", "PostgreSQL", "Firebird", other).
  void CountConnectFailed(std::string_view Engine);

  struct TSnapshot {
    std::map<std::pair<std::string, std::string>, std::uint64_t> Requests;
    std::array<std::uint64_t, kDurationBounds.size() + 1> DurationBuckets{};  // not cumulative
    double DurationSum = 0;
    std::map<std::string, std::uint64_t> ConnectsFailed;
  };
  TSnapshot Snapshot() const;

 private:
  mutable TMutex FLock;
  TSnapshot FData GUARDED_BY(FLock);
};

}  // namespace qm
