#pragma once

// The HTTP endpoint for monitoring, on an address and port of its own (never the data port):
//   GET /health   200 "OK" while the server accepts connections, else 503
//   GET /metrics  the figures in the Prometheus text format
// Anything else is 404. The HTTP library lives in metrics_endpoint.cpp alone.

#include <functional>
#include <memory>
#include <string>

namespace qm {

class TqmMetricsEndpoint {
 public:
  // Binds HostPort ("127.0.0.1:9187") at once and serves on threads of its own. Raises
  // Exception when the address cannot be bound. Healthy and Metrics are called on those
  // threads.
  TqmMetricsEndpoint(const std::string& HostPort, std::function<bool()> Healthy,
                     std::function<std::string()> Metrics);
  // Stops serving and waits for the threads.
  ~TqmMetricsEndpoint();
  TqmMetricsEndpoint(const TqmMetricsEndpoint&) = delete;
  TqmMetricsEndpoint& operator=(const TqmMetricsEndpoint&) = delete;

 private:
  class TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace qm
