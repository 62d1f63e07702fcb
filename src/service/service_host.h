#pragma once

// TqmDBService: the service module of qmsrv. It owns the server, knows the name the service is
// registered and controlled under, and has the start and stop handlers that the process's
// signal handling calls. RunService is the foreground run that systemd (Type=simple) watches.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "service/db_server.h"
#include "service/metrics_endpoint.h"
#include "support/exception.h"

namespace qm {

// The service cannot be created or started; the message says why.
class EqmServiceError : public Exception {
 public:
  using Exception::Exception;
};

// A name the service may carry: a letter or "_", then letters, digits or "_". Anything else
// would also make an unsafe unit file name.
bool IsValidServiceName(std::string_view Name);

// The bound on a stop: once armed, it ends the process (exit code 0, after a log line) when it
// is still alive that long afterwards. The statements are cancelled well before, so this only
// catches work that does not listen (a database server that no longer answers, say).
class TqmStopDeadline {
 public:
  TqmStopDeadline() = default;
  // Disarms and waits for the watch to end.
  ~TqmStopDeadline();
  TqmStopDeadline(const TqmStopDeadline&) = delete;
  TqmStopDeadline& operator=(const TqmStopDeadline&) = delete;

  // Starts the watch once; later calls and a time of 0 do nothing.
  void Arm(std::chrono::seconds After);

 private:
  std::mutex FLock;
  std::condition_variable FWake;
  bool FDisarmed = false;
  std::thread FThread;
};

// Created, started and stopped from one controlling thread at a time.
class TqmDBService {
 public:
  static constexpr const char* kDefaultName = "qmDBService";
  static constexpr const char* kDisplayName = "QM DB Service";

  // ServiceCreate: creates the server (which reads ConfigFileName and registers the commands),
  // takes the configured "ServiceName" when there is one and logs "ServiceName: <name>".
  // Raises EqmServiceError for a service name that is not an identifier.
  explicit TqmDBService(const std::string& ConfigFileName);
  ~TqmDBService();

  const std::string& Name() const { return FName; }
  TqmDBServer& Server() { return *FDBServerServer; }

  // ServiceStart: starts the server and waits until its listener listens, then the metrics
  // endpoint when "MetricsListen" names one. Raises EqmServiceError when either cannot (the
  // port is taken, say); the server is stopped again then.
  void ServiceStart();
  // ServiceStop: the server's Stop (listener and client threads end; sessions stay). Arms the
  // stop deadline ("StopTimeout"), which holds until this object goes, so the freeing of the
  // sessions after the stop is bounded as well.
  void ServiceStop();
  // SIGHUP: the server re-reads its configuration (TqmDBServer::Reload). Never raises.
  void ServiceReload();

 private:
  std::string FName = kDefaultName;
  std::unique_ptr<TqmDBServer> FDBServerServer;
  std::unique_ptr<TqmMetricsEndpoint> FMetrics;  // while started, when configured
  TqmStopDeadline FStopDeadline;                 // after the server: disarmed before it goes
};

// Runs the service in the foreground: starts it, runs the main thread's queue of calls until
// SIGTERM or SIGINT (SIGHUP reloads the configuration meanwhile), then stops it and flushes the
// log. A start line and a stop line go to stderr, so the journal shows them. Returns the process
// exit code: 0 after a stop signal, 1 when the service could not start, 3 when the listener ended
// without a stop. SIGTERM and SIGINT must be blocked in every thread before any thread is made
// (BlockStopSignals), so that only this run receives them.
int RunService(TqmDBService& Service);

// The version of the programs, as the package carries it.
const char* QmVersion();

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread (and so in every thread it makes
// later) and ignores SIGPIPE. Call first thing in main().
void BlockStopSignals();

}  // namespace qm
