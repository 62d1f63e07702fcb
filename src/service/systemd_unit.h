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

struct TqmUnitOptions {
  std::string ServiceName;  // the unit is <ServiceName>.service
  std::string Description;
  std::string ExecPath;               // absolute path of the executable
  std::vector<std::string> ExecArgs;  // arguments after it
};

// The unit folder: $QMSRV_UNIT_DIR when set and not empty, else kSystemUnitFolder.
std::string UnitFolder();
// True when UnitFolder() is the system's own folder, so systemd must be told about changes.
bool IsSystemUnitFolder();
std::string UnitFilePath(const std::string& Folder, const std::string& ServiceName);

// One word of an ExecStart line, quoted and escaped for systemd ("%" and "$" doubled, blanks,
// quotes and backslashes under double quotes).
std::string QuoteUnitWord(std::string_view Word);
// The text of the unit file: Type=simple, Restart=on-failure, After=network.target.
std::string UnitFileText(const TqmUnitOptions& Options);

// Writes the unit file (replacing one that exists) through a temporary file and a rename, so a
// reader never sees half a unit. Raises EqmUnitError.
void InstallUnit(const std::string& Folder, const TqmUnitOptions& Options);
// Removes the unit file. Raises EqmUnitError when there is none or it cannot be removed.
void UninstallUnit(const std::string& Folder, const std::string& ServiceName);

// Whether systemd manages this machine (/run/systemd/system exists).
bool SystemdRunning();
// Runs `systemctl <Args...>` and waits; false when it could not run or failed.
bool RunSystemctl(const std::vector<std::string>& Args);

}  // namespace qm
