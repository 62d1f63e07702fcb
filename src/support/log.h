#pragma once

// The process-wide log: one entry per WriteLog call, appended to a daily file by the pool
// thread, so that no caller waits for the disk.
//
// Folder: <root>/Quillmoor/Logs/<executable base name>/ where <root> is $XDG_DATA_HOME (else
// $HOME/.local/share) for a user process, /var/log when IsService is set, /tmp when neither
// variable is usable. File: <base name>[yymmdd].log. Each entry is UTF-16LE (no byte-order
// mark): "hhnnss;" + message + CR LF + CR LF, where the message has its control characters
// escaped (EscapeLogText), so a text from a client can never make one entry look like two.
// Entries land in the order of the WriteLog calls
// across all threads. All entry points may be called from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/date_time.h"
#include "support/format.h"
#include "support/pool.h"
#include "support/thread_annotations.h"

namespace qm {

// Set by the service's main program before anything is logged: selects /var/log as the root.
extern std::atomic<bool> IsService;
// Off in the server: no debug channel delivery and no timing messages.
extern std::atomic<bool> DebugMode;

void WriteLog(std::string_view text);
void WriteLogFmt(std::string_view fmt, std::initializer_list<FormatArg> args);
// Debug timing ticks (see TLogger): only reported when DebugMode is on.
void BeginLogTick();
void EndLogTickFmt(std::string_view fmt, std::initializer_list<FormatArg> args);

// `text` with every control character made visible: CR as "\\r", LF as "\\n", the other C0
// characters, DEL and the C1 characters U+0080..U+009F as "\\xNN" (NN the code in upper-case
// hex), and the Unicode line and paragraph separators as "\\u2028" and "\\u2029". Everything
// else, invalid UTF-8 included, stays as it is.
std::string EscapeLogText(std::string_view text);

// Also writes every entry as one UTF-8 line "yyyy-mm-dd hh:nn:ss message" to stderr (the
// journal, under systemd), in the same order as the files. Off at start.
void SetLogToStderr(bool on);
bool LogToStderr();
// Daily files whose date is more than `days` days before today are removed, by the pool thread,
// when this is set and at the first entry of each day. 0 keeps every file. 30 at start.
void SetLogRetentionDays(int days);
int LogRetentionDays();
// Removes from `folder` the files "<base_name>[yymmdd].log" dated before `today` - `days`;
// returns how many went. Other files stay, whatever their names.
int PruneLogFiles(const std::string& folder, const std::string& base_name, TDateTime today,
                  int days);

// Waits until every entry logged so far (by any thread) is in its file.
void FlushLog();
// The same, giving up after `timeout`; false when entries were still pending.
bool FlushLog(std::chrono::milliseconds timeout);

// The pieces of the log file path; the folder is not created here.
// `file_name` cut before its last "." unless that "." is the final character.
std::string ExecutableBaseName(std::string_view file_name);
// Of the running executable (/proc/self/exe).
std::string ExecutableBaseName();
std::string LogRootFolder();
// With a trailing "/".
std::string LogFolder();
std::string LogFilePath(TDateTime date);

// Appends `entry` and one more CR LF, as UTF-16LE, to `file_name`, creating the folder and the
// file when missing. Raises Exception when the file cannot be opened or written.
void AppendLogEntry(const std::string& file_name, std::string_view entry);

// One pending append: settings "FileName" and "Log", and "Stderr" (the line for stderr, or "").
class TFileLogPool : public TPoolObject {
 public:
  TFileLogPool(std::string file_name, std::string log, std::string stderr_line = {});

 protected:
  void DoWork() override;
};

// ---------------------------------------------------------------------------------------------
// The debug channel and the list of log targets, for interactive use. The server installs no
// target; TLogDispatcher's Enabled is the switch for the transport layer's own log lines.

enum class TLogLevel { lglText, lglError, lglWarning, lgHint, lglInfo, lglDebug };

// The base of objects that can be installed as log targets.
class TInterfacedPersistent {
 public:
  virtual ~TInterfacedPersistent() = default;
};

// What a log target offers.
class ILog {
 public:
  virtual ~ILog() = default;
  virtual void Log(TLogLevel level, const std::string& text) = 0;
};

struct TLogDispatcherItem {
  TLogLevel LogLevel = TLogLevel::lglInfo;
  std::unique_ptr<TInterfacedPersistent> LogObject;
  bool Enabled = true;
};

// The installed targets. Targets are meant to be installed before concurrent use; the list is
// not locked. One process-wide instance.
class TLogDispatcher {
 public:
  // The instance, created on first use; null once the program has begun its final clean-up.
  static TLogDispatcher* Instance();

  // Raises Exception "Object is not InterfacedPersistent" for null, "Object is no ILog" for an
  // object that is no ILog. Returns the new item's index.
  int Install(TLogLevel level, std::unique_ptr<TInterfacedPersistent> object);
  int Add(std::unique_ptr<TLogDispatcherItem> item);

  // Gives `text` to every enabled item whose level is at least `level`.
  void Write(TLogLevel level, std::string_view text);
  void Write(std::string_view text) { Write(TLogLevel::lglInfo, text); }
  void Write(std::int64_t value);
  void Write(std::string_view x, std::string_view y);
  void Write(std::string_view text, std::int64_t value);
  void WriteLn(TLogLevel level, std::string_view text);
  void WriteLn(std::string_view text) { WriteLn(TLogLevel::lglInfo, text); }
  void WriteLn(std::string_view fmt, std::initializer_list<FormatArg> args);

  // Appends `text` as single-byte (ISO-8859-1) text and CR LF to `file_name`.
  static void AppendToFile(const std::string& file_name, std::string_view text);

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled) { FEnabled = enabled; }

  int Count() const { return static_cast<int>(FItems.size()); }

 private:
  std::vector<std::unique_ptr<TLogDispatcherItem>> FItems;
  std::atomic<bool> FEnabled{true};
};

// The process-wide log switch: the dispatcher exists and is enabled.
bool LogEnabled();

enum class TLogColor { Default, Navy, Red };

// A debug console the logger can deliver to.
class ILogger {
 public:
  virtual ~ILogger() = default;
  virtual void LogWrite(const std::string& text, TLogColor color) = 0;
  virtual void LogWriteLn(const std::string& text, TLogColor color) = 0;
};

// The debug channel: lines go to the attached console or are kept until one is attached, and a
// stack of stopwatches times code (shared by all threads, so ticks of different threads
// interleave). Thread-safe; FLock guards everything. The console is called with FLock held, so
// it must not write to this logger itself.
class TLogger {
 public:
  static TLogger& Instance();
  // Whether Instance() was ever asked for.
  static bool Exists();

  void WriteLn(std::string_view text, TLogColor color = TLogColor::Default);
  void Write(std::string_view text, TLogColor color = TLogColor::Default);
  // Without a console the last 1000 lines are kept.
  // Attaches (not owned; the console must outlive its attachment) or detaches (null). Attaching
  // delivers the kept lines as one text.
  void SetLogger(ILogger* logger);

  void BeginTick() { PushTick(false); }
  void BeginTickDebug() { PushTick(true); }
  // Ends the most recent tick; returns the elapsed milliseconds when it was reported, else 0.
  std::int64_t EndTick(std::string_view message);
  // "%-16s: %3d min  : %3d sec  : %3d msec" of the most recent tick, also written as a line.
  std::string ShowTick(std::string_view message);

  std::vector<std::string> KeptLines() const;

 private:
  struct TStopwatchItem {
    std::uint64_t FStart = 0;  // microseconds of a monotonic clock
    bool FDebugTick = false;
  };
  void PushTick(bool debug);
  // To the console when one is attached, else kept.
  void Deliver(std::string_view text, TLogColor color, bool line) REQUIRES(FLock);
  void Keep(std::string_view text) REQUIRES(FLock);

  static constexpr std::size_t kMaxKeptLines = 1000;

  mutable TMutex FLock;
  std::vector<std::string> FLogs GUARDED_BY(FLock);
  ILogger* FLogger GUARDED_BY(FLock) = nullptr;
  std::vector<TStopwatchItem> FTicks GUARDED_BY(FLock);
};

// Times the enclosing scope with a debug tick: BeginLogTick now, and when the scope ends, however
// it ends, the tick ends with the line `message()` makes then (so it may tell what the scope
// did). `message` is only called when the line could be reported (DebugMode).
template <typename Message>
class TLogTick {
 public:
  explicit TLogTick(Message message) : FMessage(std::move(message)) { BeginLogTick(); }
  ~TLogTick() {
    try {
      TLogger::Instance().EndTick(DebugMode ? std::string(FMessage()) : std::string());
    } catch (...) {
      // A timing line is not worth an exception out of a destructor.
    }
  }
  TLogTick(const TLogTick&) = delete;
  TLogTick& operator=(const TLogTick&) = delete;

 private:
  Message FMessage;
};

}  // namespace qm
