#pragma once

// The database command server: the data command server with the twelve session commands, the
// host names of the database servers handed to every client connection as roles, and a session
// registry that is emptied at every start.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/data_command_server.h"
#include "service/server_config.h"

namespace qm {

class TqmSessionSweeper;

// A configuration file that does not pass its checks; the message holds one line per problem
// ("<file>:<line>: <key>: ...").
class EqmConfigError : public Exception {
 public:
  using Exception::Exception;
};

// Adds the roles "Server.PGHost", "Server.FBHost" and "Server.SQLiteFolder" to every new client
// connection, and, when the server has a password, the secret role "Password" with it, so
// that header lines with another "Password" are refused.
class TqmCommandListener : public TpdcDataCommandListener {
 protected:
  std::unique_ptr<TmnServerConnection> DoCreateConnection(
      std::unique_ptr<TmnConnectionStream> Stream) override;
};

// Created, configured and started or stopped from one controlling thread (TmnServer rules).
// The configuration is read in the constructor. Reload, from the controlling thread, applies the
// keys that can change live (each through a setter that is safe against the connection
// threads); the other fields are not written after construction, so the connection threads
// read them without a lock.
class TqmDBServer : public TpdcDataCommandServer {
 public:
  static constexpr const char* kDefaultPort = "979";
  // Seconds a database connect may wait ("ConnectTimeout"; 0: no limit).
  static constexpr int kDefaultConnectTimeout = 15;
  // Seconds a stop may take before the process ends regardless ("StopTimeout"; 0: no limit).
  static constexpr int kDefaultStopTimeout = 10;
  static constexpr const char* kDefaultBind = "0.0.0.0";

  // Reads and checks ConfigFileName (logging "file config not found: %s" when it is missing, and
  // every warning), sets the port ("979" when none is configured), the address ("0.0.0.0" when
  // none is), the SQLite folder (made absolute), the session rules ("MaxSessions",
  // "PrivateSessions") of the registry, "FBDefaultCredentials", the bounds of opening
  // connections, the live settings (see Reload), and registers the commands. Raises
  // EqmConfigError when a value fails its check.
  explicit TqmDBServer(const std::string& ConfigFileName = DefaultConfigFileName());
  ~TqmDBServer() override;

  // The running executable's path with its extension replaced by ".conf" (appended when it
  // has none).
  static std::string DefaultConfigFileName();

  const std::string& ConfigFileName() const { return FConfigFileName; }
  // The "ServiceName" value; empty when not configured.
  const std::string& ServiceName() const { return FServiceName; }
  const std::string& PGHost() const { return FPGHost; }
  const std::string& FBHost() const { return FFBHost; }
  int ConnectTimeout() const { return FConnectTimeout; }
  int StopTimeout() const { return FStopTimeout; }
  // "MetricsListen": the address and port of the monitoring endpoint; "" when it is off.
  const std::string& MetricsListen() const { return FMetricsListen; }
  // The configuration as read at construction.
  const TqmServerConfig& Config() const { return FConfig; }
  // Re-reads the configuration file and applies the keys that can change live (the password,
  // the certificate files, MaxConnections, CompressionLevel, the time-outs, the log settings)
  // to the connections and requests that come after it. A changed key that needs a restart is
  // logged and kept; a file that is missing or fails its checks is logged and changes nothing
  // (false then).
  bool Reload();
  // True from the moment the listener listens until a stop or until it is lost. Any thread.
  bool Accepting() const { return FAccepting; }
  // How often dead sessions are swept while the server runs (60 s); for the next Start.
  void SetSweepInterval(std::chrono::milliseconds Value) { FSweepInterval = Value; }
  // Absolute, or "" when not configured.
  const std::string& SQLiteFolder() const { return FSQLiteFolder; }
  // Whether a Firebird "Connect" without a user name logs in with the driver's default user
  // and password ("FBDefaultCredentials"; off unless configured).
  bool FBDefaultCredentials() const { return FFBDefaultCredentials; }
  // Made absolute. For connections made after the call; raises Exception for a folder whose
  // absolute path cannot be found.
  void SetSQLiteFolder(const std::string& Value);

 protected:
  std::unique_ptr<TmnListener> CreateListener() override;
  // The inherited hook, then the text into the log file.
  void DoLog(const std::string& Text) override;
  // A new ServerID, then every session of the registry freed. Runs before the new listener
  // thread exists, so no command is using a session.
  void DoStart() override;
  // A stop cancels the database work of every session (again and again, until the client
  // threads have ended) instead of waiting for long statements and connects.
  void DoStop() override;
  void DoStopped() override;
  void DoStarted(TmnListener* Listener) override;
  void DoListenerLost() override;

 private:
  class TqmInterrupter;
  void Created();
  // The keys Reload may change, from Config.
  void ApplyLive(const TqmServerConfig& Config);

  std::string FConfigFileName;
  std::string FServiceName;
  std::string FPGHost;
  std::string FFBHost;
  std::atomic<int> FConnectTimeout{kDefaultConnectTimeout};
  std::atomic<int> FStopTimeout{kDefaultStopTimeout};
  bool FFBDefaultCredentials = false;
  std::unique_ptr<TqmInterrupter> FInterrupter;
  std::string FSQLiteFolder;
  std::string FMetricsListen;
  TqmServerConfig FConfig;
  std::atomic<bool> FAccepting{false};
  std::chrono::milliseconds FSweepInterval{60000};
  std::unique_ptr<TqmSessionSweeper> FSweeper;
};

}  // namespace qm
