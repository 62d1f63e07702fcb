#include "e2e/e2e_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "support/utf16.h"

extern char** environ;

namespace qm::e2e {

namespace fs = std::filesystem;

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(20);

std::vector<std::string> BuildEnvironment(const Environment& Env) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::size_t eq = text.find('=');
    if (eq != std::string::npos) {
      merged[text.substr(0, eq)] = text.substr(eq + 1);
    }
  }
  for (const auto& [name, value] : Env) {
    if (value) {
      merged[name] = *value;
    } else {
      merged.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : merged) {
    result.push_back(name + "=" + value);
  }
  return result;
}

pid_t Spawn(const std::string& Program, const std::vector<std::string>& Args,
            const Environment& Env, const std::string& OutFile, const std::string& ErrFile) {
  std::vector<std::string> words = {Program};
  words.insert(words.end(), Args.begin(), Args.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> env_words = BuildEnvironment(Env);
  std::vector<char*> envp;
  for (std::string& word : env_words) {
    envp.push_back(word.data());
  }
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  // The test runner may block signals; the child must see SIGTERM and SIGINT as usual.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, Program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    throw std::runtime_error("cannot start " + Program + ": " + std::strerror(rc));
  }
  return pid;
}

}  // namespace

// --- files and ports ---

void WriteFile(const std::string& Path, const std::string& Text) {
  std::ofstream file(Path, std::ios::binary | std::ios::trunc);
  file << Text;
}

std::string ReadFile(const std::string& Path) {
  std::ifstream file(Path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& Path) {
  std::error_code ec;
  return fs::exists(Path, ec);
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

bool PortAnswers(int Port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(Port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

// --- processes ---

ChildProcess::ChildProcess(const std::string& Program, const std::vector<std::string>& Args,
                           const Environment& Env, const std::string& OutFile,
                           const std::string& ErrFile)
    : FPid(Spawn(Program, Args, Env, OutFile, ErrFile)) {}

ChildProcess::~ChildProcess() {
  if (Running()) {
    kill(FPid, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
}

bool ChildProcess::Running() {
  if (FDone) {
    return false;
  }
  const pid_t rc = waitpid(FPid, &FStatus, WNOHANG);
  if (rc == FPid || (rc < 0 && errno == ECHILD)) {
    FDone = true;
  }
  return !FDone;
}

void ChildProcess::Signal(int Number) {
  if (Running()) {
    kill(FPid, Number);
  }
}

std::optional<int> ChildProcess::Wait(std::chrono::seconds Timeout) {
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  while (Running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kPollStep);
  }
  if (!FDone || !WIFEXITED(FStatus)) {
    return std::nullopt;
  }
  return WEXITSTATUS(FStatus);
}

ProcessResult RunProcess(const std::string& Program, const std::vector<std::string>& Args,
                         const Environment& Env, std::chrono::seconds Timeout) {
  TempDir dir;
  const std::string out = dir.File("out");
  const std::string err = dir.File("err");
  ProcessResult result;
  {
    ChildProcess child(Program, Args, Env, out, err);
    std::optional<int> code = child.Wait(Timeout);
    result.TimedOut = child.Running();
    if (code) {
      result.ExitCode = *code;
    }
  }
  result.Out = ReadFile(out);
  result.Err = ReadFile(err);
  return result;
}

// --- the server ---

ServerProcess::ServerProcess(std::optional<std::string> ConfigText)
    : FConfigFile(FDir.File("qmsrv.conf")) {
  if (ConfigText) {
    WriteFile(FConfigFile, *ConfigText);
  }
}

std::string ServerProcess::PortConfig(int Port) {
  return "Port=" + std::to_string(Port) + "\n";
}

Environment ServerProcess::Env() const {
  return {{"HOME", FDir.Path()},
          {"XDG_DATA_HOME", FDir.Path()},
          {"QMSRV_CONFIG", FConfigFile},
          {"QMSRV_USER_LOG", "1"},
          {"QMSRV_UNIT_DIR", std::nullopt}};
}

void ServerProcess::Launch(const std::vector<std::string>& ExtraArgs) {
  FProcess.reset();
  FProcess.emplace(QM_QMSRV_PATH, ExtraArgs, Env(), FDir.File("qmsrv.out"), FDir.File("qmsrv.err"));
}

bool ServerProcess::Start(int Port, const std::vector<std::string>& ExtraArgs) {
  Launch(ExtraArgs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!FProcess->Running()) {
      return false;
    }
    if (PortAnswers(Port)) {
      return true;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  return false;
}

std::string ServerProcess::Out() const {
  return ReadFile(FDir.File("qmsrv.out"));
}

std::string ServerProcess::Err() const {
  return ReadFile(FDir.File("qmsrv.err"));
}

std::string ServerProcess::LogText() const {
  const fs::path folder = fs::path(FDir.Path()) / "Quillmoor" / "Logs" / "qmsrv";
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.path().extension() == ".log") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  std::string text;
  for (const fs::path& file : files) {
    text += Utf16LeToUtf8(ReadFile(file.string()));
  }
  return text;
}

ProcessResult RunClient(int Port, const std::vector<std::string>& Args, const Environment& Env) {
  std::vector<std::string> all = {"--host",    "127.0.0.1", "--port", std::to_string(Port),
                                  "--timeout", "30"};
  all.insert(all.end(), Args.begin(), Args.end());
  Environment env = {{"QMCLI_PASSWORD", std::nullopt}, {"QMCLI_SERVER_PASSWORD", std::nullopt}};
  for (const auto& [name, value] : Env) {
    env[name] = value;
  }
  return RunProcess(QM_QMCLI_PATH, all, env);
}

bool Connects(const std::string& Address, int Port) {
  sockaddr_storage address{};
  socklen_t size = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(address);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
  if (inet_pton(AF_INET, Address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(Port));
    size = sizeof v4;
  } else if (inet_pton(AF_INET6, Address.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(Port));
    size = sizeof v6;
  } else {
    throw std::runtime_error("not an address: " + Address);
  }
  const int fd = socket(address.ss_family, SOCK_STREAM, 0);
  if (fd < 0) {
    return false;
  }
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0;
  close(fd);
  return ok;
}

int ConnectFrom(int Port, const std::string& From) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    throw std::runtime_error("no socket");
  }
  if (!From.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, From.c_str(), &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      throw std::runtime_error("cannot bind to " + From);
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(Port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    throw std::runtime_error("cannot connect");
  }
  return fd;
}

std::string Exchange(int Port, const std::string& Bytes, bool& Closed,
                     std::chrono::milliseconds Quiet, const std::string& From) {
  Closed = false;
  const int fd = ConnectFrom(Port, From);
  timeval timeout{};
  timeout.tv_sec = static_cast<long>(Quiet.count() / 1000);
  timeout.tv_usec = static_cast<long>(Quiet.count() % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  send(fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
  std::string got;
  char buffer[4096];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      got.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    // An orderly end, or a reset after the server closed with our bytes unread.
    Closed = n == 0 || errno == ECONNRESET;
    break;
  }
  close(fd);
  return got;
}

}  // namespace qm::e2e
