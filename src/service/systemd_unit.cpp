#include "service/systemd_unit.h"

#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/log.h"

extern char** environ;

namespace qm {

namespace fs = std::filesystem;

namespace {

// What the service needs is TCP, the database clients' sockets and its own folders; everything
// else is closed. The unit itself says which options stay off and why.
constexpr const char* kHardening =
    "# Kept off: PrivateNetwork and IPAddressDeny (a network server for clients anywhere Bind=\n"
    "# lets in), PrivateUsers (port 979 needs CAP_NET_BIND_SERVICE in the host's user namespace),\n"
    "# RootDirectory (it loads the host's database client libraries), UMask=0077 (log files are\n"
    "# 0640 for the log readers' group).\n"
    "ProtectClock=true\n"
    "ProtectKernelLogs=true\n"
    "ProtectHostname=true\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "PrivateMounts=true\n"
    "PrivateIPC=true\n"
    "RemoveIPC=true\n"
    "KeyringMode=private\n"
    "DevicePolicy=closed\n"
    "RestrictNamespaces=true\n"
    "RestrictRealtime=true\n"
    "LockPersonality=true\n"
    "MemoryDenyWriteExecute=true\n"
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged\n"
    "SystemCallErrorNumber=EPERM\n"
    // A descriptor per client connection and per database session: far more than 1024.
    "LimitNOFILE=65536\n";

}  // namespace

std::string UnitFolder() {
  const char* folder = std::getenv("QMSRV_UNIT_DIR");
  if (folder != nullptr && *folder != '\0') {
    return folder;
  }
  return kSystemUnitFolder;
}

bool IsSystemUnitFolder() {
  std::error_code ec;
  const std::string folder = UnitFolder();
  return folder == kSystemUnitFolder || fs::equivalent(folder, kSystemUnitFolder, ec);
}

std::string UnitFilePath(const std::string& Folder, const std::string& ServiceName) {
  return (fs::path(Folder) / (ServiceName + ".service")).string();
}

std::string QuoteUnitWord(std::string_view Word) {
  std::string escaped;
  bool quote = Word.empty();
  for (char c : Word) {
    switch (c) {
      case '%':
        escaped += "%%";
        break;
      case '$':
        escaped += "$$";
        break;
      case '"':
      case '\\':
        escaped += '\\';
        escaped += c;
        quote = true;
        break;
      case ' ':
      case '\t':
      case '\'':
      case ';':
        escaped += c;
        quote = true;
        break;
      default:
        escaped += c;
    }
  }
  return quote ? "\"" + escaped + "\"" : escaped;
}

TqmUnitOptions ServiceUnitOptions(const std::string& ServiceName, const std::string& ExecPath,
                                  const std::vector<std::string>& ExtraArgs) {
  TqmUnitOptions options;
  options.ServiceName = ServiceName;
  options.ExecPath = ExecPath;
  const std::string base = ExecutableBaseName(fs::path(ExecPath).filename().string());
  options.StateDirectory = base;
  options.LogsDirectory = "Quillmoor/Logs/" + base;
  options.ExecArgs = ExtraArgs;
  return options;
}

std::string UnitFileText(const TqmUnitOptions& Options) {
  std::string exec = QuoteUnitWord(Options.ExecPath);
  for (const std::string& arg : Options.ExecArgs) {
    exec += ' ';
    exec += QuoteUnitWord(arg);
  }
  std::string text;
  text += "[Unit]\n";
  text += "Description=" + Options.Description + "\n";
  text += "After=network.target\n";
  text += "\n";
  text += "[Service]\n";
  text += "Type=simple\n";
  text += "ExecStart=" + exec + "\n";
  // SIGHUP re-reads the configuration; every log entry also goes to the journal.
  text += "ExecReload=/bin/kill -HUP $MAINPID\n";
  text += "Restart=on-failure\n";
  text += "RestartSec=2\n";
  text += "Environment=QMSRV_LOG_STDERR=1\n";
  if (!Options.User.empty()) {
    text += "User=" + Options.User + "\n";
    text += "Group=" + Options.User + "\n";
  }
  if (!Options.StateDirectory.empty())
    text += "StateDirectory=" + Options.StateDirectory + "\n";
  if (!Options.LogsDirectory.empty())
    text += "LogsDirectory=" + Options.LogsDirectory + "\n";
  text += "UMask=0027\n";
  // The default port 979 is below 1024; that is the only privilege the service keeps.
  text += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
  text += "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n";
  text += "NoNewPrivileges=true\n";
  text += "ProtectSystem=strict\n";
  text += "ProtectHome=true\n";
  text += "PrivateTmp=true\n";
  text += "PrivateDevices=true\n";
  text += "ProtectKernelTunables=true\n";
  text += "ProtectKernelModules=true\n";
  text += "ProtectControlGroups=true\n";
  text += "RestrictSUIDSGID=true\n";
  if (!Options.StateDirectory.empty())
    text += "ReadWritePaths=/var/lib/" + Options.StateDirectory + "\n";
  text += kHardening;
  text += "\n";
  text += "[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

void InstallUnit(const std::string& Folder, const TqmUnitOptions& Options) {
  const std::string path = UnitFilePath(Folder, Options.ServiceName);
  const std::string temp = path + ".tmp";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    if (!file) {
      throw EqmUnitError("Cannot create \"" + temp + "\": " + std::strerror(errno));
    }
    file << UnitFileText(Options);
    file.close();
    if (!file) {
      std::error_code ignored;
      fs::remove(temp, ignored);
      throw EqmUnitError("Cannot write \"" + temp + "\"");
    }
  }
  std::error_code ec;
  fs::permissions(temp, fs::perms(0644), ec);
  fs::rename(temp, path, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw EqmUnitError("Cannot create \"" + path + "\": " + ec.message());
  }
}

void UninstallUnit(const std::string& Folder, const std::string& ServiceName) {
  const std::string path = UnitFilePath(Folder, ServiceName);
  std::error_code ec;
  if (!fs::remove(path, ec)) {
    throw EqmUnitError(ec ? "Cannot remove \"" + path + "\": " + ec.message()
                          : "The service is not installed: \"" + path + "\" does not exist");
  }
}

void EnsureServiceUser(const std::string& User) {
  if (::getpwnam(User.c_str()) != nullptr) {
    return;
  }
  std::vector<std::string> words = {"useradd",
                                    "--system",
                                    "--user-group",
                                    "--no-create-home",
                                    "--home-dir",
                                    "/var/lib/" + User,
                                    "--shell",
                                    "/usr/sbin/nologin",
                                    "--comment",
                                    "QM DB Service",
                                    User};
  if (!RunProgram(words)) {
    throw EqmUnitError("Cannot create the system user \"" + User + "\" (useradd failed)");
  }
}

bool SystemdRunning() {
  std::error_code ec;
  return fs::is_directory("/run/systemd/system", ec);
}

bool RunSystemctl(const std::vector<std::string>& Args) {
  std::vector<std::string> words = {"systemctl"};
  words.insert(words.end(), Args.begin(), Args.end());
  return RunProgram(words);
}

bool RunProgram(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace qm
