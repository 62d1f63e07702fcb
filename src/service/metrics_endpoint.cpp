#include "service/metrics_endpoint.h"

#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/exception.h"

namespace qm {

class TqmMetricsEndpoint::TImpl {
 public:
  httplib::Server Server;
  std::thread Thread;
};

TqmMetricsEndpoint::TqmMetricsEndpoint(const std::string& HostPort, std::function<bool()> Healthy,
                                       std::function<std::string()> Metrics)
    : FImpl(std::make_unique<TImpl>()) {
  const std::size_t colon = HostPort.rfind(':');
  std::string host = HostPort.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const int port = colon == std::string::npos ? 0 : std::atoi(HostPort.c_str() + colon + 1);

  httplib::Server& server = FImpl->Server;
  // Two threads serve the endpoint: a scrape is small and rare, and a client that holds them
  // cannot reach the data port anyway.
  server.new_task_queue = [] { return new httplib::ThreadPool(2); };
  // Requests carry nothing worth reading: bound what a client may make the endpoint hold.
  server.set_payload_max_length(1024);
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  server.set_keep_alive_max_count(10);
  server.set_keep_alive_timeout(2);
  server.Get("/health", [Healthy](const httplib::Request&, httplib::Response& response) {
    const bool healthy = Healthy();
    response.status = healthy ? 200 : 503;
    response.set_content(healthy ? "OK\n" : "Not accepting connections\n", "text/plain");
  });
  server.Get("/metrics", [Metrics](const httplib::Request&, httplib::Response& response) {
    response.set_content(Metrics(), "text/plain; version=0.0.4; charset=utf-8");
  });
  if (port <= 0 || !server.bind_to_port(host, port))
    throw Exception("MetricsListen: cannot listen on " + HostPort);
  FImpl->Thread = std::thread([this] { FImpl->Server.listen_after_bind(); });
  // A stop before the loop runs would find nothing to stop: wait until it runs (it sets the
  // flag first thing; the bound only guards against a library that never does).
  for (int i = 0; i < 5000 && !server.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TqmMetricsEndpoint::~TqmMetricsEndpoint() {
  FImpl->Server.stop();
  if (FImpl->Thread.joinable())
    FImpl->Thread.join();
}

}  // namespace qm
