#pragma once

// The systemd unit of the service: what `qmsrv install` writes and `qmsrv uninstall` removes.

#include <string>
#include <string_view>
#include <vector>

#include "support/exception.h"

namespace qm {

// Installing or removing the unit failed; the message says why.
class EqmUnitError : public Exception {
 public:
  using Exception::Exception;
};

// Where units go unless $QMSRV_UNIT_DIR names another folder (tests, packaging roots).
inline constexpr const char* kSystemUnitFolder = "/etc/systemd/system";

// The system user the service runs as; `qmsrv install` creates it when missing.
inline constexpr const char* kServiceUser = "qmsrv";

struct TqmUnitOptions {
  std::string ServiceName;  // the unit is <ServiceName>.service
  std::string Description;
  std::string ExecPath;               // absolute path of the executable
  std::vector<std::string> ExecArgs;  // arguments after it
  std::string User = kServiceUser;    // user and group the service runs as
  std::string StateDirectory;         // under /var/lib: the SQLite files
  std::string LogsDirectory;          // under /var/log: the daily log files
};

// The unit for the executable at ExecPath: its state folder /var/lib/<base name>, which systemd
// hands to the service as $STATE_DIRECTORY and the service takes as its SQLite folder (unless
// the configuration names one), and its log folder where the service's log goes
// (Quillmoor/Logs/<base name> under /var/log).
TqmUnitOptions ServiceUnitOptions(const std::string& ServiceName, const std::string& ExecPath,
                                  const std::vector<std::string>& ExtraArgs);

// The unit folder: $QMSRV_UNIT_DIR when set and not empty, else kSystemUnitFolder.
std::string UnitFolder();
// True when UnitFolder() is the system's own folder, so systemd must be told about changes.
bool IsSystemUnitFolder();
std::string UnitFilePath(const std::string& Folder, const std::string& ServiceName);

// One word of an ExecStart line, quoted and escaped for systemd ("%" and "$" doubled, blanks,
// quotes and backslashes under double quotes).
std::string QuoteUnitWord(std::string_view Word);
// The text of the unit file: Type=simple, Restart=on-failure, After=network.target, run as
// User with StateDirectory and LogsDirectory, allowed to bind ports below 1024 and nothing
// else, in systemd's sandbox (ProtectSystem=strict, ProtectHome, PrivateTmp, NoNewPrivileges,
// the state folder in ReadWritePaths).
std::string UnitFileText(const TqmUnitOptions& Options);

// Writes the unit file (replacing one that exists) through a temporary file and a rename, so a
// reader never sees half a unit. Raises EqmUnitError.
void InstallUnit(const std::string& Folder, const TqmUnitOptions& Options);
// Removes the unit file. Raises EqmUnitError when there is none or it cannot be removed.
void UninstallUnit(const std::string& Folder, const std::string& ServiceName);

// Creates User as a system user with its own group, home /var/lib/<User> and no login, when no
// user of that name exists. Raises EqmUnitError when that fails.
void EnsureServiceUser(const std::string& User);

// Whether systemd manages this machine (/run/systemd/system exists).
bool SystemdRunning();
// Runs `systemctl <Args...>` and waits; false when it could not run or failed.
bool RunSystemctl(const std::vector<std::string>& Args);
// Runs the program Words[0] (found on PATH) with the rest as arguments and waits; false when it
// could not run or failed.
bool RunProgram(std::vector<std::string> Words);

}  // namespace qm
