// qmsrv: the database command server, run in the foreground as a systemd service.
//
//   qmsrv [--config FILE] [--user-log] [--sqlite-folder DIR]   run until SIGTERM or SIGINT
//   qmsrv [--config FILE] install [silent]      write the systemd unit <ServiceName>.service
//   qmsrv [--config FILE] uninstall [silent]    remove it
//   qmsrv [--config FILE] --check-config        print the effective settings and every warning;
//                                               exit 1 when there is any
//   qmsrv --version
//
// Switches compare ignoring case and may carry a leading "-", "--" or "/". The configuration
// file is the executable's path with ".conf" unless --config or $QMSRV_CONFIG names another; a
// file named so must exist (the default file may be missing: every key then takes its default).
// A value that fails its check stops the start with exit code 1 and one line per problem.
// Logs go under /var/log; --user-log (or $QMSRV_USER_LOG=1) keeps them in the user's data
// folder, which is also where they go when /var/log cannot be written. --sqlite-folder (else
// $STATE_DIRECTORY, which systemd sets from the unit's StateDirectory) is the SQLite folder when
// the configuration names none.
// `install` writes a unit for the executable's path, or for $QMSRV_UNIT_EXEC (packaging).

#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/client_environment.h"
#include "service/db_server.h"
#include "service/descriptor_limit.h"
#include "service/service_host.h"
#include "service/systemd_unit.h"
#include "session/session_registry.h"
#include "support/log.h"
#include "support/text_utils.h"

namespace {

namespace fs = std::filesystem;

enum class Action { Run, Install, Uninstall, CheckConfig };

struct Arguments {
  Action What = Action::Run;
  bool Silent = false;
  bool UserLog = false;
  std::optional<std::string> Config;  // set only when chosen on the command line or by env
  std::optional<std::string> SQLiteFolder;
};

constexpr const char* kUsage =
    "usage: qmsrv [--config FILE] [--user-log] [--sqlite-folder DIR]\n"
    "       qmsrv [--config FILE] install [silent]\n"
    "       qmsrv [--config FILE] uninstall [silent]\n"
    "       qmsrv [--config FILE] --check-config\n"
    "       qmsrv --version\n";

// The switch without its leading "-", "--" or "/".
std::string_view SwitchName(std::string_view arg) {
  if (arg.starts_with("--")) {
    return arg.substr(2);
  }
  if (arg.starts_with("-") || arg.starts_with("/")) {
    return arg.substr(1);
  }
  return arg;
}

// Returns false (after printing why) for arguments that make no sense.
bool ParseArguments(int argc, char** argv, Arguments& args) {
  if (const char* config = std::getenv("QMSRV_CONFIG"); config != nullptr && *config != '\0') {
    args.Config = config;
  }
  args.UserLog = qm::EnvFlag("QMSRV_USER_LOG");
  if (const char* state = std::getenv("STATE_DIRECTORY"); state != nullptr && *state != '\0') {
    args.SQLiteFolder = state;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const std::string_view name = SwitchName(arg);
    if (qm::SameText(name, "install")) {
      args.What = Action::Install;
    } else if (qm::SameText(name, "uninstall")) {
      args.What = Action::Uninstall;
    } else if (qm::SameText(name, "silent")) {
      args.Silent = true;
    } else if (qm::SameText(name, "user-log")) {
      args.UserLog = true;
    } else if (qm::SameText(name, "config") && i + 1 < argc) {
      args.Config = argv[++i];
    } else if (arg.starts_with("--config=")) {
      args.Config = std::string(arg.substr(9));
    } else if (qm::SameText(name, "sqlite-folder") && i + 1 < argc) {
      args.SQLiteFolder = argv[++i];
    } else if (arg.starts_with("--sqlite-folder=")) {
      args.SQLiteFolder = std::string(arg.substr(16));
    } else if (qm::SameText(name, "check-config")) {
      args.What = Action::CheckConfig;
    } else if (qm::SameText(name, "version")) {
      std::cout << "qmsrv " << qm::QmVersion() << "\n";
      std::exit(0);
    } else if (qm::SameText(name, "help") || qm::SameText(name, "h")) {
      std::cout << kUsage;
      std::exit(0);
    } else {
      std::cerr << "qmsrv: unknown argument \"" << arg << "\"\n" << kUsage;
      return false;
    }
  }
  if (args.Config && args.Config->empty()) {
    std::cerr << "qmsrv: --config needs a file name\n";
    return false;
  }
  if (args.SQLiteFolder && args.SQLiteFolder->empty()) {
    std::cerr << "qmsrv: --sqlite-folder needs a folder\n";
    return false;
  }
  return true;
}

// Whether log files can be written in the folder the current IsService setting selects.
bool LogFolderWritable() {
  std::error_code ec;
  const std::string folder = qm::LogFolder();
  fs::create_directories(folder, ec);
  return fs::is_directory(folder, ec) && access(folder.c_str(), W_OK | X_OK) == 0;
}

// The service logs under /var/log like any system service; a user who runs it without the
// rights for that gets the per-user folder instead of no log at all.
void ChooseLogRoot(bool user_log) {
  qm::IsService = !user_log;
  if (qm::IsService && !LogFolderWritable()) {
    const std::string system_folder = qm::LogFolder();
    qm::IsService = false;
    std::cerr << "qmsrv: cannot write " << system_folder << ", logging to " << qm::LogFolder()
              << "\n";
  }
}

std::string ExecutablePath() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

int Install(qm::TqmDBService& service, const Arguments& args) {
  std::string exec_path = ExecutablePath();
  if (const char* packaged = std::getenv("QMSRV_UNIT_EXEC"); packaged != nullptr && *packaged) {
    exec_path = packaged;
  }
  if (exec_path.empty()) {
    throw qm::EqmUnitError("Cannot find the path of the running executable");
  }
  // A configuration chosen at install time must also be the one the service runs with.
  std::vector<std::string> extra;
  if (args.Config) {
    extra = {"--config", fs::absolute(*args.Config).string()};
  }
  qm::TqmUnitOptions unit = qm::ServiceUnitOptions(service.Name(), exec_path, extra);
  unit.Description = qm::TqmDBService::kDisplayName;
  const std::string folder = qm::UnitFolder();
  if (qm::IsSystemUnitFolder()) {
    qm::EnsureServiceUser(unit.User);
  }
  if (exec_path.starts_with("/home/") || exec_path.starts_with("/root/")) {
    std::cerr << "qmsrv: warning: the unit hides /home and /root (ProtectHome); the service "
                 "cannot start "
              << exec_path << " from there. Install the Debian package, or copy qmsrv elsewhere.\n";
  }
  qm::InstallUnit(folder, unit);
  if (qm::IsSystemUnitFolder() && qm::SystemdRunning() && !qm::RunSystemctl({"daemon-reload"})) {
    std::cerr << "qmsrv: systemctl daemon-reload failed\n";
  }
  if (!args.Silent) {
    std::cout << "Service installed successfully: " << qm::UnitFilePath(folder, unit.ServiceName)
              << "\nStart it with: systemctl enable --now " << unit.ServiceName << "\n";
  }
  return 0;
}

// SQLite sessions keep their files in the SQLite folder; working there makes relative names in
// ATTACH resolve inside it too, as relative "Resource" names do.
void EnterSQLiteFolder(qm::TqmDBServer& server) {
  const std::string& folder = server.SQLiteFolder();
  if (folder.empty()) {
    return;
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  fs::current_path(folder, ec);
  if (ec) {
    throw qm::Exception("SQLiteFolder \"" + folder + "\": " + ec.message());
  }
}

int Uninstall(qm::TqmDBService& service, const Arguments& args) {
  const std::string folder = qm::UnitFolder();
  const bool tell_systemd = qm::IsSystemUnitFolder() && qm::SystemdRunning();
  if (tell_systemd) {
    // Drops the links that would otherwise point at a removed unit; a running service keeps
    // running until it is stopped.
    qm::RunSystemctl({"--quiet", "disable", service.Name() + ".service"});
  }
  qm::UninstallUnit(folder, service.Name());
  if (tell_systemd && !qm::RunSystemctl({"daemon-reload"})) {
    std::cerr << "qmsrv: systemctl daemon-reload failed\n";
  }
  if (!args.Silent) {
    std::cout << "Service uninstalled successfully: " << qm::UnitFilePath(folder, service.Name())
              << "\n";
  }
  return 0;
}

// Prints the file's problems on stderr; false when one of them is an error (or the file was
// named and is missing), so that the server must not start. Warnings are left to the log when
// it copies its entries to stderr, so that each reaches the journal once.
bool ReportConfig(const qm::TqmServerConfig& Config, bool Named, bool Warnings = true) {
  if (!Config.Found && Named) {
    std::cerr << "qmsrv: " << Config.FileName << ": configuration file not found\n";
    return false;
  }
  for (const qm::TqmConfigIssue& issue : Config.Issues) {
    if (!issue.Error && !Warnings)
      continue;
    std::cerr << "qmsrv: " << (issue.Error ? "" : "warning: ") << Config.FileName;
    if (issue.Line > 0)
      std::cerr << ":" << issue.Line;
    std::cerr << ": " << issue.Text << "\n";
  }
  return !Config.HasErrors();
}

// --check-config: the effective settings on stdout, the problems on stderr; 1 when there are any.
int CheckConfig(const std::string& FileName, bool Named) {
  const qm::TqmServerConfig config = qm::ReadServerConfig(FileName);
  std::cout << "# " << FileName << (config.Found ? "" : " (not found: every key at its default)")
            << "\n";
  for (const std::string& line : qm::DescribeConfig(config))
    std::cout << line << "\n";
  const bool usable = ReportConfig(config, Named);
  return usable && config.Issues.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the blocked stop signals.
  qm::BlockStopSignals();
  // The server never lends its own database credentials to a client that sends none.
  qm::ForgetClientLibraryEnvironment();

  Arguments args;
  if (!ParseArguments(argc, argv, args)) {
    return 2;
  }
  const std::string config_file = args.Config.value_or(qm::TqmDBServer::DefaultConfigFileName());
  if (args.What == Action::CheckConfig)
    return CheckConfig(config_file, args.Config.has_value());
  // The unit is written for a configuration that may come later (the package's), so only a run
  // needs the file now.
  if (args.What == Action::Run) {
    const qm::TqmServerConfig config = qm::ReadServerConfig(config_file);
    if (!ReportConfig(config, args.Config.has_value(), !qm::LogsToStderr(config)))
      return 1;
  }
  ChooseLogRoot(args.UserLog);

  int exit_code = 0;
  try {
    qm::TqmDBService service(config_file);
    if (args.SQLiteFolder && service.Server().SQLiteFolder().empty()) {
      service.Server().SetSQLiteFolder(*args.SQLiteFolder);
    }
    switch (args.What) {
      case Action::Install:
        exit_code = Install(service, args);
        break;
      case Action::Uninstall:
        exit_code = Uninstall(service, args);
        break;
      case Action::Run:
        qm::WriteLog(qm::RaiseDescriptorLimit());
        EnterSQLiteFolder(service.Server());
        exit_code = qm::RunService(service);
        break;
      case Action::CheckConfig:
        break;  // answered before the service is made
    }
    // The sessions still open end with the process: freeing them now, while the log still
    // runs, commits their default transactions and logs their disconnects.
    qm::TqmdConnections::Instance().Clear();
  } catch (const std::exception& e) {
    std::cerr << "qmsrv: " << e.what() << "\n";
    qm::WriteLog(e.what());
    exit_code = 1;
  }
  qm::FlushLog(std::chrono::seconds(10));
  return exit_code;
}
