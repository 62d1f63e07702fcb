#pragma once

// The database command server: the data command server with the twelve session commands, the
// host names of the database servers handed to every client connection as roles, and a session
// registry that is emptied at every start.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/data_command_server.h"

namespace qm {

// The values of the configuration file. Found is false when the file does not exist.
struct TqmServerConfig {
  bool Found = false;
  std::string PGHost;
  std::string FBHost;
  std::string Port;
  std::string ServiceName;
  // Whole seconds as written; ConfigSeconds reads them.
  std::string ConnectTimeout;
  std::string StopTimeout;
  std::string Bind;          // "" means "0.0.0.0"
  std::string Password;      // "" accepts every header line
  std::string SQLiteFolder;  // "" lets SQLite sessions open any path the service may write
  // A certificate turns TLS on for every connection: PEM with PrivateKeyFile, or a PFX bundle
  // (".pfx") opened with CertPassword.
  std::string CertificateFile;
  std::string PrivateKeyFile;
  std::string CertPassword;
  // Client connections served at once, as written; "" when not configured.
  std::string MaxConnections;
  // Connections still opening (TLS handshake, first header line, password) at once, in all and
  // from one address, as written; "" when not configured.
  std::string MaxOpeningConnections;
  std::string MaxOpeningPerAddress;
  std::string CompressionLevel;  // "" is zlib's default level
  // Sessions at once, as written ("" keeps the default; 0 lifts the bound).
  std::string MaxSessions;
  // Yes/no texts, as written (ConfigFlag reads them).
  std::string PrivateSessions;
  std::string FBDefaultCredentials;
  std::string MaxResultSize;     // "" is the default bound (1 GiB)
};

// A yes/no setting: "1", "yes", "true", "on" or "0", "no", "false", "off" (any case); Default
// for an empty text, and Default too (with a log line naming Key) for anything else.
bool ConfigFlag(std::string_view Key, const std::string& Text, bool Default);

// A number of seconds from the configuration: Default for an empty text; Default too (with a
// log line naming Key) for anything but a whole number from 0 to 86400.
int ConfigSeconds(std::string_view Key, const std::string& Text, int Default);

// The lines of a text file: UTF-8 or UTF-16 (either byte order) when it starts with that
// byte-order mark, ISO-8859-1 otherwise; split at CR LF, CR or LF. Missing file: empty.
std::vector<std::string> ReadConfigLines(const std::string& FileName);
// The value of the first line whose name (the text before its first "=") equals Name ignoring
// case: everything after that "=", not trimmed. "" when no line has that name.
std::string ConfigValue(const std::vector<std::string>& Lines, std::string_view Name);
// Reads the keys; a missing file gives Found = false and empty values.
TqmServerConfig ReadServerConfig(const std::string& FileName);

// Adds the roles "Server.PGHost", "Server.FBHost", "Server.SQLiteFolder" and
// "Server.FBDefaultCredentials" ("1" or "") to every new client connection, and, when the server
// has a password, the secret role "Password" with it, so that header lines with another "Password"
// are refused.
class TqmCommandListener : public TpdcDataCommandListener {
 protected:
  std::unique_ptr<TmnServerConnection> DoCreateConnection(
      std::unique_ptr<TmnConnectionStream> Stream) override;
};

// Created, configured and started or stopped from one controlling thread (TmnServer rules).
// The configuration is read once, in the constructor; the fields are not written afterwards, so
// the connection threads read them without a lock.
class TqmDBServer : public TpdcDataCommandServer {
 public:
  static constexpr const char* kDefaultPort = "979";
  // Seconds a database connect may wait ("ConnectTimeout"; 0: no limit).
  static constexpr int kDefaultConnectTimeout = 15;
  // Seconds a stop may take before the process ends regardless ("StopTimeout"; 0: no limit).
  static constexpr int kDefaultStopTimeout = 10;
  static constexpr const char* kDefaultBind = "0.0.0.0";

  // Reads ConfigFileName (logging "file config not found: %s" when it is missing), sets the port
  // ("979" when none is configured), the address ("0.0.0.0" when none is), the password, the
  // SQLite folder (made absolute) and the result blocks' zlib level ("CompressionLevel", -1..9;
  // zlib's default when missing or not such a number), the session rules ("MaxSessions",
  // "PrivateSessions") of the registry, "FBDefaultCredentials", and registers the commands. Raises
  // Exception for a password that no header line can carry (";", quotes, CR or LF).
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

 private:
  class TqmInterrupter;
  void Created();

  std::string FConfigFileName;
  std::string FServiceName;
  std::string FPGHost;
  std::string FFBHost;
  int FConnectTimeout = kDefaultConnectTimeout;
  int FStopTimeout = kDefaultStopTimeout;
  bool FFBDefaultCredentials = false;
  std::unique_ptr<TqmInterrupter> FInterrupter;
  std::string FSQLiteFolder;
};

}  // namespace qm
