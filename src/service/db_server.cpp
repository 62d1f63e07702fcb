#include "service/db_server.h"

#include <unistd.h>
#include <cstdint>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>

#include "db/connections.h"
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

// --- configuration ---

namespace {

// The file's bytes as UTF-8 text, by its byte-order mark.
std::string DecodeConfigText(const std::string& bytes) {
  const auto starts = [&bytes](std::string_view mark) {
    return bytes.compare(0, mark.size(), mark) == 0;
  };
  if (starts("\xEF\xBB\xBF"))
    return bytes.substr(3);
  if (starts("\xFF\xFE"))
    return Utf16LeToUtf8(std::string_view(bytes).substr(2));
  if (starts("\xFE\xFF")) {
    std::string swapped = bytes.substr(2);
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2)
      std::swap(swapped[i], swapped[i + 1]);
    return Utf16LeToUtf8(swapped);
  }
  return Latin1ToUtf8(bytes);
}

}  // namespace

std::vector<std::string> ReadConfigLines(const std::string& FileName) {
  std::ifstream file(FileName, std::ios::binary);
  if (!file)
    return {};
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string text = DecodeConfigText(bytes);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    // CR LF is one line break.
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

std::string ConfigValue(const std::vector<std::string>& Lines, std::string_view Name) {
  for (const std::string& line : Lines) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos && SameText(std::string_view(line).substr(0, eq), Name))
      return line.substr(eq + 1);
  }
  return {};
}

TqmServerConfig ReadServerConfig(const std::string& FileName) {
  TqmServerConfig config;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(FileName, ec))
    return config;
  const std::vector<std::string> lines = ReadConfigLines(FileName);
  config.Found = true;
  config.PGHost = ConfigValue(lines, "PGHost");
  config.FBHost = ConfigValue(lines, "FBHost");
  config.Port = ConfigValue(lines, "Port");
  config.ServiceName = ConfigValue(lines, "ServiceName");
  config.ConnectTimeout = ConfigValue(lines, "ConnectTimeout");
  config.StopTimeout = ConfigValue(lines, "StopTimeout");
  config.Bind = ConfigValue(lines, "Bind");
  config.Password = ConfigValue(lines, "Password");
  config.SQLiteFolder = ConfigValue(lines, "SQLiteFolder");
  config.CertificateFile = ConfigValue(lines, "CertificateFile");
  config.PrivateKeyFile = ConfigValue(lines, "PrivateKeyFile");
  config.CertPassword = ConfigValue(lines, "CertPassword");
  config.MaxConnections = ConfigValue(lines, "MaxConnections");
  config.MaxOpeningConnections = ConfigValue(lines, "MaxOpeningConnections");
  config.MaxOpeningPerAddress = ConfigValue(lines, "MaxOpeningPerAddress");
  config.CompressionLevel = ConfigValue(lines, "CompressionLevel");
  config.MaxSessions = ConfigValue(lines, "MaxSessions");
  config.PrivateSessions = ConfigValue(lines, "PrivateSessions");
  config.FBDefaultCredentials = ConfigValue(lines, "FBDefaultCredentials");
  config.MaxResultSize = ConfigValue(lines, "MaxResultSize");
  return config;
}

bool ConfigFlag(std::string_view Key, const std::string& Text, bool Default) {
  const std::string value = Trim(Text);
  if (value.empty())
    return Default;
  for (const char* yes : {"1", "yes", "true", "on"}) {
    if (SameText(value, yes))
      return true;
  }
  for (const char* no : {"0", "no", "false", "off"}) {
    if (SameText(value, no))
      return false;
  }
  WriteLogFmt("Invalid %s: \"%s\", using %s", {std::string(Key), Text, Default ? "yes" : "no"});
  return Default;
}

namespace {

// "MaxSessions" and "PrivateSessions" for the session registry.
TqmdSessionRules ReadSessionRules(const TqmServerConfig& Config) {
  TqmdSessionRules rules;
  const std::string max_sessions = Trim(Config.MaxSessions);
  if (!max_sessions.empty()) {
    const std::int64_t value = StrToInt64Def(max_sessions, -1);
    if (value >= 0 && value <= INT32_MAX)
      rules.MaxSessions = static_cast<int>(value);
    else
      WriteLogFmt("Invalid MaxSessions: \"%s\", using %d", {Config.MaxSessions, rules.MaxSessions});
  }
  rules.PrivateSessions = ConfigFlag("PrivateSessions", Config.PrivateSessions, false);
  return rules;
}

}  // namespace

int ConfigSeconds(std::string_view Key, const std::string& Text, int Default) {
  if (Text.empty())
    return Default;
  int value = -1;
  const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
  if (error != std::errc() || end != Text.data() + Text.size() || value < 0 || value > 86400) {
    WriteLogFmt("Invalid %s: \"%s\", using %d", {std::string(Key), Text, Default});
    return Default;
  }
  return value;
}

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

// The result blocks' zlib level: a whole number from -1 (zlib's default) to 9.
void ApplyCompressionLevel(const std::string& Text) {
  int level = kResultBlockDefaultLevel;
  if (!Text.empty()) {
    level = StrToIntDef(Trim(Text), -2);
    if (level < -1 || level > 9) {
      WriteLogFmt("CompressionLevel %s is not -1..9; the default is used", {Text});
      level = kResultBlockDefaultLevel;
    }
  }
  SetResultBlockLevel(level);
}

// The bound of a result's compressed block in bytes: a whole number, 0 for none.
void ApplyMaxResultSize(const std::string& Text) {
  std::int64_t bytes = static_cast<std::int64_t>(kDefaultMaxResultSize);
  if (!Text.empty()) {
    bytes = StrToInt64Def(Trim(Text), -1);
    if (bytes < 0) {
      WriteLogFmt("MaxResultSize %s is not a number of bytes; the default is used", {Text});
      bytes = static_cast<std::int64_t>(kDefaultMaxResultSize);
    }
  }
  SetMaxResultSize(static_cast<std::uint64_t>(bytes));
}

}  // namespace

TqmDBServer::TqmDBServer(const std::string& ConfigFileName) : FConfigFileName(ConfigFileName) {
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
  const TqmServerConfig config = ReadServerConfig(FConfigFileName);
  if (config.Found) {
    FPGHost = config.PGHost;
    FFBHost = config.FBHost;
    SetPort(config.Port);
    FServiceName = config.ServiceName;
    FConnectTimeout = ConfigSeconds("ConnectTimeout", config.ConnectTimeout, FConnectTimeout);
    FStopTimeout = ConfigSeconds("StopTimeout", config.StopTimeout, FStopTimeout);
    SetBind(config.Bind);
    if (config.Password.find_first_of(";'\"\r\n") != std::string::npos)
      throw Exception("Password: a header line cannot carry ';', quotes or line breaks");
    SetPassword(config.Password);
    SetSQLiteFolder(config.SQLiteFolder);
    CertificateFile = config.CertificateFile;
    PrivateKeyFile = config.PrivateKeyFile;
    CertPassword = config.CertPassword;
    SetIsSecure(!CertificateFile.empty());
    // A value that is not a number keeps the default; 0 lifts the bound.
    const auto bound = [](const std::string& Text) {
      const std::int64_t value = StrToInt64Def(Trim(Text), -1);
      return value >= 0 && value <= INT32_MAX ? static_cast<int>(value) : -1;
    };
    if (const int value = bound(config.MaxConnections); value >= 0)
      SetMaxConnections(value);
    if (const int value = bound(config.MaxOpeningConnections); value >= 0)
      SetMaxOpening(value);
    if (const int value = bound(config.MaxOpeningPerAddress); value >= 0)
      SetMaxOpeningPerAddress(value);
    FFBDefaultCredentials = ConfigFlag("FBDefaultCredentials", config.FBDefaultCredentials, false);
  } else {
    WriteLogFmt("file config not found: %s", {FConfigFileName});
  }
  TqmdConnections::Instance().SetRules(ReadSessionRules(config));
  if (Port().empty())
    SetPort(kDefaultPort);
  TmncConnection::SetDefaultConnectTimeout(FConnectTimeout);
  if (Bind().empty())
    SetBind(kDefaultBind);
  ApplyCompressionLevel(config.CompressionLevel);
  ApplyMaxResultSize(config.MaxResultSize);

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
}

void TqmDBServer::DoStop() {
  TpdcDataCommandServer::DoStop();
  FInterrupter = std::make_unique<TqmInterrupter>();
}

void TqmDBServer::DoStopped() {
  FInterrupter.reset();
  TpdcDataCommandServer::DoStopped();
}

}  // namespace qm
