#include "service/db_server.h"

#include <unistd.h>
#include <cstdint>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>

#include "db/connections.h"
#include "service/built_in_engines.h"
#include "service/session_sweeper.h"
#include "session/api_command.h"
#include "session/interrupts.h"
#include "session/result_encoder.h"
#include "session/session_commands.h"
#include "session/session_registry.h"
#include "session/sql_commands.h"
#include "support/log.h"
#include "support/number_text.h"
#include "support/text_utils.h"
#include "support/utf16.h"

namespace qm {

// --- the interrupter of a stop ---

// Calls InterruptSessions at once and then every kInterval until it goes.
class TqmDBServer::TqmInterrupter {
 public:
  TqmInterrupter() : FThread([this] { Run(); }) {}
  ~TqmInterrupter() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FDone = true;
    }
    FWake.notify_all();
    FThread.join();
  }
  TqmInterrupter(const TqmInterrupter&) = delete;
  TqmInterrupter& operator=(const TqmInterrupter&) = delete;

 private:
  static constexpr std::chrono::milliseconds kInterval{250};

  void Run() {
    std::unique_lock<std::mutex> lock(FLock);
    while (!FDone) {
      lock.unlock();
      try {
        InterruptSessions();
      } catch (const std::exception& e) {
        WriteLog(std::string("Stop: ") + e.what());
      }
      lock.lock();
      FWake.wait_for(lock, kInterval, [this] { return FDone; });
    }
  }

  std::mutex FLock;
  std::condition_variable FWake;
  bool FDone = false;
  std::thread FThread;  // last: starts once the rest is made
};

// --- TqmCommandListener ---

std::unique_ptr<TmnServerConnection> TqmCommandListener::DoCreateConnection(
    std::unique_ptr<TmnConnectionStream> Stream) {
  std::unique_ptr<TmnServerConnection> connection =
      TpdcDataCommandListener::DoCreateConnection(std::move(Stream));
  auto* data_connection = dynamic_cast<TpdcDataCommandConnection*>(connection.get());
  auto* server = dynamic_cast<TqmDBServer*>(Server());
  if (data_connection != nullptr) {
    data_connection->Roles().Add("Server.PGHost", server == nullptr ? "" : server->PGHost());
    data_connection->Roles().Add("Server.FBHost", server == nullptr ? "" : server->FBHost());
    data_connection->Roles().Add("Server.SQLiteFolder",
                                 server == nullptr ? "" : server->SQLiteFolder());
    data_connection->Roles().Add("Server.FBDefaultCredentials",
                                 server != nullptr && server->FBDefaultCredentials() ? "1" : "");
    if (server != nullptr && !server->Password().empty())
      data_connection->Roles().Add("Password", server->Password(), true);
  }
  return connection;
}

// --- TqmDBServer ---

namespace {

// The number a checked value holds, or Default for an empty one.
int ConfigNumber(const TqmServerConfig& Config, std::string_view Key, int Default) {
  const std::string text = Config.Value(Key);
  return text.empty() ? Default : static_cast<int>(StrToInt64Def(text, Default));
}

// The yes/no a checked value holds; no for an empty one.
bool ConfigFlag(const TqmServerConfig& Config, std::string_view Key) {
  const std::string text = Config.Value(Key);
  return !text.empty() && ConfigBoolean(text);
}

}  // namespace

TqmDBServer::TqmDBServer(const std::string& ConfigFileName) : FConfigFileName(ConfigFileName) {
  // Sessions find their engines in the registry.
  RegisterBuiltInEngines();
  Created();
}

TqmDBServer::~TqmDBServer() {
  // The hooks overridden here must not run from the base destructor.
  FIsDestroying = true;
  Stop();
}

std::string TqmDBServer::DefaultConfigFileName() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec)
    exe = "qmsrv";
  exe.replace_extension(".conf");
  return exe.string();
}

void TqmDBServer::Created() {
  TqmServerConfig config = ReadServerConfig(FConfigFileName);
  // Before the file's own warnings are logged, so that they reach the journal too.
  SetLogToStderr(LogsToStderr(config));
  if (!config.Found)
    WriteLogFmt("file config not found: %s", {FConfigFileName});
  std::string errors;
  for (const std::string& line : config.IssueLines()) {
    WriteLog(line);
    if (config.HasErrors())
      AppendSeparated(errors, line, "\n");
  }
  if (config.HasErrors())
    throw EqmConfigError(errors);
  FPGHost = config.Value("PGHost");
  FFBHost = config.Value("FBHost");
  SetPort(config.Value("Port"));
  FServiceName = config.Value("ServiceName");
  SetBind(config.Value("Bind"));
  SetSQLiteFolder(config.Value("SQLiteFolder"));
  FMetricsListen = config.Value("MetricsListen");
  CertificateFile = config.Value("CertificateFile");
  SetIsSecure(!CertificateFile.empty());
  if (Port().empty())
    SetPort(kDefaultPort);
  if (Bind().empty())
    SetBind(kDefaultBind);
  // A restart right after clients were served must find the port free, though their closed
  // connections still wait in TIME_WAIT.
  SetReuseAddress(true);
  TqmdSessionRules rules;
  rules.MaxSessions = ConfigNumber(config, "MaxSessions", rules.MaxSessions);
  rules.PrivateSessions = ConfigFlag(config, "PrivateSessions");
  TqmdConnections::Instance().SetRules(rules);
  FFBDefaultCredentials = ConfigFlag(config, "FBDefaultCredentials");
  SetMaxOpening(ConfigNumber(config, "MaxOpeningConnections", MaxOpening()));
  SetMaxOpeningPerAddress(ConfigNumber(config, "MaxOpeningPerAddress", MaxOpeningPerAddress()));
  ApplyLive(config);
  FConfig = std::move(config);

  RegisterCommand<TDBStatusCommand>("Status");
  RegisterCommand<TDBConnectCommand>("Connect");
  RegisterCommand<TDBReConnectCommand>("Reconnect");
  RegisterCommand<TDBDisconnectCommand>("Disconnect");
  RegisterCommand<TDBExecuteSQLCommand>("ExecuteSQL");
  RegisterCommand<TDBPrepareSQLCommand>("PrepareSQL");
  RegisterCommand<TDBUnPrepareSQLCommand>("UnPrepareSQL");
  RegisterCommand<TDBExecPreparedCommand>("ExecPrepared");
  RegisterCommand<TDBExecScriptCommand>("ExecScript");
  RegisterCommand<TDBOpenTransactionCommand>("OpenTransaction");
  RegisterCommand<TDBCloseTransactionCommand>("CloseTransaction");
  RegisterCommand<TDBExecuteAPICommand>("ExecuteAPI");
}

void TqmDBServer::ApplyLive(const TqmServerConfig& Config) {
  SetPassword(Config.Value("Password"));
  // TLS on or off is fixed at start; the files behind it may change.
  if (IsSecure() == !Config.Value("CertificateFile").empty()) {
    CertificateFile = Config.Value("CertificateFile");
    PrivateKeyFile = Config.Value("PrivateKeyFile");
    CertPassword = Config.Value("CertPassword");
    if (Listener() != nullptr && IsSecure())
      Listener()->ChangeCertificates(CertificateFile, PrivateKeyFile, CertPassword);
  } else {
    WriteLog("CertificateFile: turning TLS on or off takes effect at the next restart; kept");
  }
  SetMaxConnections(ConfigNumber(Config, "MaxConnections", kDefaultMaxConnections));
  if (Listener() != nullptr)
    Listener()->SetMaxConnections(MaxConnections());
  FConnectTimeout = ConfigNumber(Config, "ConnectTimeout", kDefaultConnectTimeout);
  TmncConnection::SetDefaultConnectTimeout(FConnectTimeout);
  FStopTimeout = ConfigNumber(Config, "StopTimeout", kDefaultStopTimeout);
  SetResultBlockLevel(ConfigNumber(Config, "CompressionLevel", kResultBlockDefaultLevel));
  const std::string max_result = Config.Value("MaxResultSize");
  SetMaxResultSize(max_result.empty() ? kDefaultMaxResultSize
                                      : static_cast<std::uint64_t>(StrToInt64Def(max_result, 0)));
  SetLogToStderr(LogsToStderr(Config));
  SetLogRetentionDays(ConfigNumber(Config, "LogRetentionDays", 30));
}

bool TqmDBServer::Reload() {
  const TqmServerConfig config = ReadServerConfig(FConfigFileName);
  if (!config.Found) {
    WriteLog("Reload: " + FConfigFileName + " not found; the running settings stay");
    return false;
  }
  for (const std::string& line : config.IssueLines())
    WriteLog("Reload: " + line);
  if (config.HasErrors()) {
    WriteLog("Reload refused: the running settings stay");
    return false;
  }
  for (const TqmConfigKey& key : KnownConfigKeys()) {
    if (key.Apply == TqmConfigApply::Restart && config.Value(key.Name) != FConfig.Value(key.Name))
      WriteLog(std::string(key.Name) + ": a change takes effect at the next restart; kept");
  }
  ApplyLive(config);
  WriteLog("Configuration reloaded: " + FConfigFileName);
  return true;
}

void TqmDBServer::SetSQLiteFolder(const std::string& Value) {
  if (Value.empty()) {
    FSQLiteFolder.clear();
    return;
  }
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::absolute(Value, ec);
  if (ec)
    throw Exception("SQLiteFolder: " + ec.message());
  FSQLiteFolder = folder.lexically_normal().string();
}

std::unique_ptr<TmnListener> TqmDBServer::CreateListener() {
  return std::make_unique<TqmCommandListener>();
}

void TqmDBServer::DoLog(const std::string& Text) {
  TpdcDataCommandServer::DoLog(Text);
  WriteLog(Text);
}

void TqmDBServer::DoStart() {
  TpdcDataCommandServer::DoStart();
  TqmdConnections::Instance().Clear();
  FSweeper = std::make_unique<TqmSessionSweeper>(FSweepInterval);
}

void TqmDBServer::DoStarted(TmnListener* Listener) {
  TpdcDataCommandServer::DoStarted(Listener);
  FAccepting = true;
}

void TqmDBServer::DoListenerLost() {
  FAccepting = false;
  TpdcDataCommandServer::DoListenerLost();
}

void TqmDBServer::DoStop() {
  FAccepting = false;
  FSweeper.reset();
  TpdcDataCommandServer::DoStop();
  FInterrupter = std::make_unique<TqmInterrupter>();
}

void TqmDBServer::DoStopped() {
  FInterrupter.reset();
  TpdcDataCommandServer::DoStopped();
}

}  // namespace qm
