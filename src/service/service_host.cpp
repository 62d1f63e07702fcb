#include "service/service_host.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <thread>

#include "service/metrics_text.h"
#include "support/log.h"
#include "support/metrics.h"
#include "transport/main_queue.h"
#include "transport/server.h"

namespace qm {

namespace {

// The stop signals and SIGHUP (reload), which would otherwise end the process.
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// The start line: what an operator needs to know the service is the one meant.
std::string StartLine(TqmDBServer& Server) {
  std::string line = std::string("qmsrv ") + QmVersion() + " listening on " + Server.Bind() + ":" +
                     Server.UsedPort() + ", TLS " + (Server.IsSecure() ? "on" : "off") +
                     ", password " + (Server.Password().empty() ? "off" : "on") +
                     ", SQLite folder " +
                     (Server.SQLiteFolder().empty() ? "(any)" : Server.SQLiteFolder()) +
                     ", log folder " + LogFolder();
  if (!Server.MetricsListen().empty())
    line += ", metrics on http://" + Server.MetricsListen() + "/metrics";
  return line;
}

// How long the end of the process waits for log entries still on their way to the disk.
constexpr std::chrono::seconds kFinalFlushWait{10};

}  // namespace

bool IsValidServiceName(std::string_view Name) {
  if (Name.empty()) {
    return false;
  }
  const auto letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  if (!letter(Name.front())) {
    return false;
  }
  for (char c : Name) {
    if (!letter(c) && !(c >= '0' && c <= '9')) {
      return false;
    }
  }
  return true;
}

TqmStopDeadline::~TqmStopDeadline() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FDisarmed = true;
  }
  FWake.notify_all();
  if (FThread.joinable())
    FThread.join();
}

void TqmStopDeadline::Arm(std::chrono::seconds After) {
  if (After.count() <= 0 || FThread.joinable())
    return;
  FThread = std::thread([this, After] {
    std::unique_lock<std::mutex> lock(FLock);
    if (FWake.wait_for(lock, After, [this] { return FDisarmed; }))
      return;
    WriteLog("Stop did not end within " + std::to_string(After.count()) +
             " s: the process ends now");
    FlushLog(std::chrono::seconds(2));
    std::_Exit(0);
  });
}

TqmDBService::TqmDBService(const std::string& ConfigFileName)
    : FDBServerServer(std::make_unique<TqmDBServer>(ConfigFileName)) {
  const std::string& configured = FDBServerServer->ServiceName();
  if (!configured.empty()) {
    if (!IsValidServiceName(configured)) {
      throw EqmServiceError("Invalid ServiceName \"" + configured +
                            "\": it must be a letter or underscore followed by letters, digits "
                            "or underscores");
    }
    FName = configured;
  }
  WriteLog("ServiceName: " + FName);
}

TqmDBService::~TqmDBService() = default;

void TqmDBService::ServiceStart() {
  FDBServerServer->Start(false);
  TmnListener* listener = FDBServerServer->Listener();
  // Under systemd a service that cannot listen must fail, so that it is reported and restarted.
  if (listener == nullptr || !listener->WaitForStart()) {
    const std::string port = FDBServerServer->Port();
    FDBServerServer->Stop();
    throw EqmServiceError("Cannot listen on port " + port);
  }
  if (const std::string& address = FDBServerServer->MetricsListen(); !address.empty()) {
    TqmDBServer* server = FDBServerServer.get();
    try {
      FMetrics = std::make_unique<TqmMetricsEndpoint>(
          address, [server] { return server->Accepting(); },
          [] { return FormatMetricsText(TServerMetrics::Instance(), CountSessionsByEngine()); });
    } catch (const std::exception& e) {
      FDBServerServer->Stop();
      throw EqmServiceError(e.what());
    }
  }
}

void TqmDBService::ServiceReload() {
  try {
    FDBServerServer->Reload();
  } catch (const std::exception& e) {
    WriteLog(std::string("Reload: ") + e.what());
  }
}

void TqmDBService::ServiceStop() {
  FMetrics.reset();
  FStopDeadline.Arm(std::chrono::seconds(FDBServerServer->StopTimeout()));
  FDBServerServer->Stop();
}

const char* QmVersion() {
  return QM_VERSION;
}

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int RunService(TqmDBService& Service) {
  TMainQueue& queue = TMainQueue::Instance();
  int exit_code = 0;
  // A listener that ends by itself leaves a process that serves nobody: stop as if told to and
  // exit non-zero, so that the service manager restarts the service.
  std::atomic<bool> listener_lost{false};
  Service.Server().OnListenerLost = [&listener_lost](TmnServer&) {
    listener_lost = true;
    kill(getpid(), SIGTERM);
  };

  // The service thread: start, wait for the stop signal, stop, end the main loop. The main
  // thread meanwhile runs the queued calls that Start and Stop rely on.
  std::thread control([&] {
    try {
      Service.ServiceStart();
    } catch (const std::exception& e) {
      WriteLog(e.what());
      std::cerr << "qmsrv: " << e.what() << std::endl;
      exit_code = 1;
      queue.Terminate();
      return;
    }
    std::cerr << StartLine(Service.Server()) << std::endl;
    const sigset_t set = StopSignals();
    int signal_number = 0;
    while (sigwait(&set, &signal_number) != 0 || signal_number == SIGHUP) {
      if (signal_number == SIGHUP) {
        WriteLog("SIGHUP: reloading " + Service.Server().ConfigFileName());
        Service.ServiceReload();
        signal_number = 0;
      }
    }
    try {
      Service.ServiceStop();
    } catch (const std::exception& e) {
      WriteLog(e.what());
      std::cerr << "qmsrv: " << e.what() << std::endl;
    }
    queue.Terminate();
  });

  queue.Run();
  control.join();
  // Whatever was queued after the loop ended (the last log deliveries) still runs.
  queue.RunPending();
  Service.Server().OnListenerLost = nullptr;
  if (listener_lost && exit_code == 0) {
    WriteLog("Listener lost: exiting with code 3");
    exit_code = 3;
  }
  if (exit_code != 1)
    std::cerr << "qmsrv " << QmVersion() << " stopped (exit code " << exit_code << ")" << std::endl;
  FlushLog(kFinalFlushWait);
  return exit_code;
}

}  // namespace qm
