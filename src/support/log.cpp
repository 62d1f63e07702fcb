#include "support/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "support/exception.h"
#include "support/file_descriptor.h"
#include "support/text_utils.h"
#include "support/utf16.h"

namespace qm {

std::atomic<bool> IsService{false};
std::atomic<bool> DebugMode{false};

// ---------------------------------------------------------------------------------------------
// Paths

std::string ExecutableBaseName(std::string_view file_name) {
  const std::size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == file_name.size())
    return std::string(file_name);
  return std::string(file_name.substr(0, dot));
}

std::string ExecutableBaseName() {
  // Read on every call: no static state that could be gone while late entries are written.
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  std::string path = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("qm");
  // A replaced executable reads as "<path> (deleted)": keep logging under its own name.
  static constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted))
    path.resize(path.size() - kDeleted.size());
  const std::size_t slash = path.rfind('/');
  return ExecutableBaseName(slash == std::string::npos ? path : path.substr(slash + 1));
}

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string UserDataFolder() {
  const std::string xdg = Env("XDG_DATA_HOME");
  // Relative values are invalid by the XDG rules and ignored.
  if (!xdg.empty() && xdg.front() == '/')
    return xdg;
  const std::string home = Env("HOME");
  if (!home.empty())
    return home + "/.local/share";
  return {};
}

std::string WithTrailingSlash(std::string path) {
  if (path.empty() || path.back() != '/')
    path += '/';
  return path;
}

}  // namespace

std::string LogRootFolder() {
  std::string root = IsService ? std::string("/var/log") : UserDataFolder();
  if (root.empty())
    root = "/tmp";
  return root;
}

std::string LogFolder() {
  return WithTrailingSlash(LogRootFolder()) + "Quillmoor/Logs/" + ExecutableBaseName() + "/";
}

std::string LogFilePath(TDateTime date) {
  return LogFolder() + ExecutableBaseName() + "[" + FormatDateTime("yymmdd", date) + "].log";
}

// ---------------------------------------------------------------------------------------------
// Appending

namespace {

// Makes the missing folders of Folder, each readable by its owner and group only (log lines
// carry client addresses and SQL): folders that exist keep their modes.
void MakeLogFolders(const std::filesystem::path& Folder) {
  std::filesystem::path partial;
  for (const auto& part : Folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST)
      return;  // the open below says why
  }
}

void AppendBytes(const std::string& file_name, std::string_view bytes) {
  const std::filesystem::path path(file_name);
  if (path.has_parent_path())
    MakeLogFolders(path.parent_path());
  const TFileDescriptor file(
      ::open(file_name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
  if (!file.Valid()) {
    const int error = errno;
    throw Exception("Cannot open file \"" + file_name + "\". " + std::strerror(error));
  }
  // One write per entry where possible: appends of other processes do not cut into it.
  while (!bytes.empty()) {
    const ssize_t n = ::write(file.Get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      throw Exception("Stream write error");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void AppendLogEntry(const std::string& file_name, std::string_view entry) {
  std::string text(entry);
  text += "\r\n";
  AppendBytes(file_name, Utf8ToUtf16Le(text));
}

TFileLogPool::TFileLogPool(std::string file_name, std::string log, std::string stderr_line)
    : TPoolObject("logging") {
  Settings().GetData("FileName") = std::move(file_name);
  Settings().GetData("Log") = std::move(log);
  Settings().GetData("Stderr") = std::move(stderr_line);
}

void TFileLogPool::DoWork() {
  // First: an entry whose file cannot be written still reaches the journal.
  if (const std::string& line = Settings().GetData("Stderr"); !line.empty()) {
    std::string_view rest = line;
    while (!rest.empty()) {
      const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  AppendLogEntry(Settings().GetData("FileName"), Settings().GetData("Log"));
}

// ---------------------------------------------------------------------------------------------
// Retention

namespace {

std::atomic<bool> g_log_to_stderr{false};
std::atomic<int> g_retention_days{30};
// The day (whole days of TDateTime) of the last retention run; -1 before the first.
std::atomic<int> g_pruned_day{-1};

class TPruneLogPool : public TPoolObject {
 public:
  TPruneLogPool(std::string folder, TDateTime today, int days)
      : TPoolObject("log retention"), FFolder(std::move(folder)), FToday(today), FDays(days) {}

 protected:
  void DoWork() override { PruneLogFiles(FFolder, ExecutableBaseName(), FToday, FDays); }

 private:
  std::string FFolder;
  TDateTime FToday;
  int FDays;
};

void PostPrune(TDateTime now) {
  const int days = g_retention_days.load();
  if (days > 0)
    PostPoolObject<TPruneLogPool>(LogFolder(), now, days);
}

// Once per day: the first entry of a new day starts a retention run.
void PruneOncePerDay(TDateTime now) {
  const int day = static_cast<int>(now);
  int seen = g_pruned_day.load();
  if (seen != day && g_pruned_day.compare_exchange_strong(seen, day))
    PostPrune(now);
}

}  // namespace

void SetLogToStderr(bool on) {
  g_log_to_stderr = on;
}

bool LogToStderr() {
  return g_log_to_stderr;
}

void SetLogRetentionDays(int days) {
  g_retention_days = days < 0 ? 0 : days;
  try {
    PostPrune(Now());
  } catch (...) {
  }
}

int LogRetentionDays() {
  return g_retention_days;
}

int PruneLogFiles(const std::string& folder, const std::string& base_name, TDateTime today,
                  int days) {
  if (days <= 0)
    return 0;
  const double oldest = static_cast<double>(static_cast<int>(today)) - days;
  const std::string prefix = base_name + "[";
  int removed = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // Exactly "<base>[yymmdd].log": nothing else is ours to remove.
    if (name.size() != prefix.size() + 11 || !name.starts_with(prefix) || !name.ends_with("].log"))
      continue;
    const std::string digits = name.substr(prefix.size(), 6);
    if (digits.find_first_not_of("0123456789") != std::string::npos)
      continue;
    TDateTime date = 0;
    if (!TryEncodeDate(2000 + std::stoi(digits.substr(0, 2)), std::stoi(digits.substr(2, 2)),
                       std::stoi(digits.substr(4, 2)), date))
      continue;
    std::error_code remove_error;
    if (date < oldest && std::filesystem::remove(it->path(), remove_error))
      ++removed;
  }
  return removed;
}

// ---------------------------------------------------------------------------------------------
// Entry points

std::string EscapeLogText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  const auto hex = [&out](unsigned code) {
    out += "\\x";
    out += kHex[(code >> 4) & 0xF];
    out += kHex[code & 0xF];
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = [&](std::size_t k) {
      return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
    };
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      hex(c);
    } else if (c == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
      hex(next(1));  // U+0080..U+009F, encoded C2 80..C2 9F
      ++i;
    } else if (c == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) {
      out += next(2) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void WriteLog(std::string_view text) {
  try {
    if (DebugMode)
      TLogger::Instance().WriteLn(text);
    // One clock reading for the file's date and the entry's time: they always agree.
    const TDateTime now = Now();
    std::string entry = FormatDateTime("hhnnss;", now);
    const std::string escaped = EscapeLogText(text);
    entry += escaped;
    entry += "\r\n";
    std::string line;
    if (g_log_to_stderr)
      line = FormatDateTime("yyyy-mm-dd hh:nn:ss ", now) + escaped + "\n";
    PostPoolObject<TFileLogPool>(LogFilePath(now), std::move(entry), std::move(line));
    PruneOncePerDay(now);
  } catch (...) {
    // Logging never raises to the writer.
  }
}

void WriteLogFmt(std::string_view fmt, std::initializer_list<FormatArg> args) {
  WriteLog(Format(fmt, args));
}

void BeginLogTick() {
  TLogger::Instance().BeginTickDebug();
}

void EndLogTickFmt(std::string_view fmt, std::initializer_list<FormatArg> args) {
  // Debug ticks are never reported, so the message is only built when it could be.
  TLogger::Instance().EndTick(DebugMode ? Format(fmt, args) : std::string());
}

void FlushLog() {
  TpoolServices::Instance().WaitIdle();
}

bool FlushLog(std::chrono::milliseconds timeout) {
  return TpoolServices::Instance().WaitIdle(timeout);
}

// ---------------------------------------------------------------------------------------------
// TLogDispatcher

namespace {

// Set when the process-wide dispatcher has been destroyed at exit: from then on there is none.
std::atomic<bool> g_dispatcher_finalized{false};

struct DispatcherHolder {
  TLogDispatcher dispatcher;
  ~DispatcherHolder() { g_dispatcher_finalized = true; }
};

}  // namespace

TLogDispatcher* TLogDispatcher::Instance() {
  if (g_dispatcher_finalized)
    return nullptr;
  static DispatcherHolder holder;
  return &holder.dispatcher;
}

bool LogEnabled() {
  const TLogDispatcher* dispatcher = TLogDispatcher::Instance();
  return dispatcher != nullptr && dispatcher->Enabled();
}

int TLogDispatcher::Install(TLogLevel level, std::unique_ptr<TInterfacedPersistent> object) {
  if (!object)
    throw Exception("Object is not InterfacedPersistent");
  if (dynamic_cast<ILog*>(object.get()) == nullptr)
    throw Exception("Object is no ILog");
  auto item = std::make_unique<TLogDispatcherItem>();
  item->LogLevel = level;
  item->LogObject = std::move(object);
  return Add(std::move(item));
}

int TLogDispatcher::Add(std::unique_ptr<TLogDispatcherItem> item) {
  FItems.push_back(std::move(item));
  return static_cast<int>(FItems.size()) - 1;
}

void TLogDispatcher::Write(TLogLevel level, std::string_view text) {
  if (g_dispatcher_finalized || !FEnabled)
    return;
  const std::string s(text);
  for (const auto& item : FItems) {
    if (!item || !item->Enabled || item->LogLevel < level)
      continue;
    if (auto* target = dynamic_cast<ILog*>(item->LogObject.get()))
      target->Log(level, s);
  }
}

void TLogDispatcher::Write(std::int64_t value) {
  Write(std::to_string(value));
}

void TLogDispatcher::Write(std::string_view x, std::string_view y) {
  Write(std::string(x) + ", " + std::string(y));
}

void TLogDispatcher::Write(std::string_view text, std::int64_t value) {
  Write(std::string(text) + ": " + std::to_string(value));
}

void TLogDispatcher::WriteLn(TLogLevel level, std::string_view text) {
  Write(level, std::string(text) + "\r\n");
}

void TLogDispatcher::WriteLn(std::string_view fmt, std::initializer_list<FormatArg> args) {
  WriteLn(TLogLevel::lglInfo, Format(fmt, args));
}

void TLogDispatcher::AppendToFile(const std::string& file_name, std::string_view text) {
  AppendBytes(file_name, Utf8ToLatin1(text) + "\r\n");
}

// ---------------------------------------------------------------------------------------------
// TLogger

namespace {

std::atomic<bool> g_logger_created{false};

std::uint64_t MonotonicMicroseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// A time span as "[d.]hh:mm:ss[.fffffff]".
std::string TimeSpanText(std::uint64_t microseconds) {
  const std::uint64_t ticks = microseconds * 10;  // 100 ns units
  const std::uint64_t total_seconds = ticks / 10000000;
  const std::uint64_t fraction = ticks % 10000000;
  const std::uint64_t days = total_seconds / 86400;
  std::string text;
  if (days > 0)
    text = std::to_string(days) + ".";
  text += Format("%.2d:%.2d:%.2d",
                 {(total_seconds / 3600) % 24, (total_seconds / 60) % 60, total_seconds % 60});
  if (fraction != 0)
    text += Format(".%.7d", {fraction});
  return text;
}

}  // namespace

TLogger& TLogger::Instance() {
  static TLogger instance;
  g_logger_created = true;
  return instance;
}

bool TLogger::Exists() {
  return g_logger_created;
}

void TLogger::WriteLn(std::string_view text, TLogColor color) {
  if (text.empty())
    return;
  TLockGuard lock(FLock);
  Deliver(text, color, true);
}

void TLogger::Write(std::string_view text, TLogColor color) {
  if (text.empty())
    return;
  TLockGuard lock(FLock);
  Deliver(text, color, false);
}

void TLogger::Deliver(std::string_view text, TLogColor color, bool line) {
  if (FLogger == nullptr)
    Keep(text);
  else if (line)
    FLogger->LogWriteLn(std::string(text), color);
  else
    FLogger->LogWrite(std::string(text), color);
}

void TLogger::Keep(std::string_view text) {
  // Bounded: without a console nobody may ever collect these lines.
  if (FLogs.size() >= kMaxKeptLines)
    FLogs.erase(FLogs.begin());
  FLogs.emplace_back(text);
}

void TLogger::SetLogger(ILogger* logger) {
  TLockGuard lock(FLock);
  FLogger = logger;
  if (FLogger != nullptr && !FLogs.empty()) {
    std::string all;
    for (const auto& line : FLogs) {
      if (!all.empty())
        all += "\r\n";
      all += line;
    }
    FLogs.clear();
    FLogger->LogWriteLn(all, TLogColor::Default);
  }
}

void TLogger::PushTick(bool debug) {
  TLockGuard lock(FLock);
  FTicks.push_back(TStopwatchItem{MonotonicMicroseconds(), debug});
}

std::int64_t TLogger::EndTick(std::string_view message) {
  TLockGuard lock(FLock);
  if (FTicks.empty()) {
    Deliver("No Begin Tick", TLogColor::Red, true);
    return 0;
  }
  const TStopwatchItem item = FTicks.back();
  FTicks.pop_back();
  if (!DebugMode || item.FDebugTick)
    return 0;
  const std::uint64_t elapsed = MonotonicMicroseconds() - item.FStart;
  if (!message.empty())
    Deliver(Format("[%s] %s", {TimeSpanText(elapsed), message}), TLogColor::Navy, true);
  return static_cast<std::int64_t>(elapsed / 1000);
}

std::string TLogger::ShowTick(std::string_view message) {
  TLockGuard lock(FLock);
  if (FTicks.empty()) {
    Deliver("No Begin Tick", TLogColor::Red, true);
    return "No Begin Tick";
  }
  const std::uint64_t ms = (MonotonicMicroseconds() - FTicks.back().FStart) / 1000;
  const std::string text = Format("%-16s: %3d min  : %3d sec  : %3d msec",
                                  {message, ms / 60000, (ms / 1000) % 60, ms % 1000});
  Deliver(text, TLogColor::Default, true);
  return text;
}

std::vector<std::string> TLogger::KeptLines() const {
  TLockGuard lock(FLock);
  return FLogs;
}

}  // namespace qm
