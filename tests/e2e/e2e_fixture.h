#pragma once

// Helpers for tests that run the real qmsrv and qmcli: a throw-away folder, a free loopback
// port, child processes with captured output and time-outs, and a running server with its own
// configuration file and log folder.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/temp_folder.h"

namespace qm::e2e {

// A fresh folder under /tmp, removed with everything in it when the object goes.
using TempDir = qm::testing::TempFolder;

void WriteFile(const std::string& Path, const std::string& Text);
std::string ReadFile(const std::string& Path);
bool FileExists(const std::string& Path);

// A port on 127.0.0.1 that was free a moment ago.
int FreePort();
// Whether something accepts connections on 127.0.0.1:Port.
bool PortAnswers(int Port);

struct ProcessResult {
  int ExitCode = -1;  // -1 when killed by a signal or timed out
  bool TimedOut = false;
  std::string Out;
  std::string Err;
};

// Extra environment on top of the test's own; a value of std::nullopt removes the variable.
using Environment = std::map<std::string, std::optional<std::string>>;

// Runs Program with Args, waits at most Timeout, and returns its exit code and output.
ProcessResult RunProcess(const std::string& Program, const std::vector<std::string>& Args,
                         const Environment& Env = {},
                         std::chrono::seconds Timeout = std::chrono::seconds(60));

// A child process started in the background. The destructor kills one that is still running.
class ChildProcess {
 public:
  ChildProcess(const std::string& Program, const std::vector<std::string>& Args,
               const Environment& Env, const std::string& OutFile, const std::string& ErrFile);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return FPid; }
  bool Running();
  void Signal(int Number);
  // The exit code after waiting at most Timeout; std::nullopt when it is still running or was
  // ended by a signal.
  std::optional<int> Wait(std::chrono::seconds Timeout);

 private:
  pid_t FPid = -1;
  bool FDone = false;
  int FStatus = 0;
};

// A qmsrv of its own: configuration file, HOME and XDG_DATA_HOME in a temporary folder, logs in
// that folder (--user-log, so a test run as root does not write to /var/log).
class ServerProcess {
 public:
  // ConfigText is the configuration file's content; std::nullopt leaves the file missing.
  explicit ServerProcess(std::optional<std::string> ConfigText);
  // A configuration that names a fresh free port and nothing else.
  static std::string PortConfig(int Port);

  // Starts qmsrv and waits until Port answers; false (with Err() telling why) when the server
  // ended first or did not answer in time.
  bool Start(int Port, const std::vector<std::string>& ExtraArgs = {});
  // Starts qmsrv without waiting for it to listen.
  void Launch(const std::vector<std::string>& ExtraArgs = {});
  ChildProcess& Process() { return *FProcess; }

  TempDir& Dir() { return FDir; }
  const std::string& ConfigFile() const { return FConfigFile; }
  Environment Env() const;
  std::string Out() const;
  std::string Err() const;
  // Every log file of the server as UTF-8 text, in file name order.
  std::string LogText() const;

 private:
  TempDir FDir;
  std::string FConfigFile;
  std::optional<ChildProcess> FProcess;
};

// Runs qmcli against 127.0.0.1:Port with Args after the connection options, without the
// password variables of the test's own environment (unless Env sets them).
ProcessResult RunClient(int Port, const std::vector<std::string>& Args,
                        const Environment& Env = {});

// Whether something accepts connections on Address:Port (IPv4 or IPv6 text).
bool Connects(const std::string& Address, int Port);
// Connects to 127.0.0.1:Port, sends Bytes, and returns what came back until the server closed
// the connection or nothing came for Quiet; Closed tells which.
// From, when given, is the local address to connect from (any of 127.0.0.0/8).
std::string Exchange(int Port, const std::string& Bytes, bool& Closed,
                     std::chrono::milliseconds Quiet = std::chrono::milliseconds(5000),
                     const std::string& From = "");
// A socket connected to 127.0.0.1:Port from the local address From ("": any); the caller
// closes it.
int ConnectFrom(int Port, const std::string& From);

}  // namespace qm::e2e
