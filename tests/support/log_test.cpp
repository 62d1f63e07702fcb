#include "support/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/exception.h"
#include "support/utf16.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Points the per-user data folder at a fresh temporary folder for each test.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qm_log_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
    IsService = false;
    DebugMode = false;
  }
  void TearDown() override {
    FlushLog(std::chrono::seconds(20));
    IsService = false;
    DebugMode = false;
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path TodaysFile() const {
    return root_ / "Quillmoor" / "Logs" / "support_tests" /
           ("support_tests[" + FormatDateTime("yymmdd", Now()) + "].log");
  }
  // The file's text, decoded from UTF-16LE.
  std::string TodaysText() const { return Utf16LeToUtf8(ReadFile(TodaysFile())); }

  fs::path root_;
};

TEST_F(LogTest, FolderAndFileNamesFollowTheRoot) {
  EXPECT_EQ(ExecutableBaseName(), "support_tests");
  EXPECT_EQ(LogRootFolder(), root_.string());
  EXPECT_EQ(LogFolder(), root_.string() + "/Quillmoor/Logs/support_tests/");
  EXPECT_EQ(LogFilePath(EncodeDate(2024, 1, 2) + 0.9999),
            LogFolder() + "support_tests[240102].log");
  // Just after midnight is a new file.
  EXPECT_EQ(LogFilePath(EncodeDate(2024, 1, 3) + 0.0001),
            LogFolder() + "support_tests[240103].log");

  const char* home = std::getenv("HOME");
  const std::string saved_home = home ? home : "";
  ::setenv("HOME", "/home/someone", 1);
  IsService = true;  // the common folder, whatever the user's folder is
  EXPECT_EQ(LogRootFolder(), "/var/log");
  EXPECT_EQ(LogFolder(), "/var/log/Quillmoor/Logs/support_tests/");
  IsService = false;
  ::setenv("XDG_DATA_HOME", "relative/path", 1);  // not absolute: ignored
  EXPECT_EQ(LogRootFolder(), "/home/someone/.local/share");
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");
  EXPECT_EQ(LogRootFolder(), "/tmp");
  ::setenv("HOME", saved_home.c_str(), 1);
  ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
}

TEST(LogNamesTest, BaseNameCutsTheLastExtensionOnly) {
  struct Case {
    const char* file;
    const char* base;
  };
  const Case cases[] = {
      {"qmsrv.exe", "qmsrv"}, {"my.server.exe", "my.server"},
      {"server", "server"},   {"server.", "server."},
      {".hidden", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(ExecutableBaseName(c.file), c.base);
  }
}

TEST_F(LogTest, EntryIsUtf16TimeMessageAndTwoLineBreaks) {
  const std::string message = "first line, second line h\xC3\xA9 \xE2\x82\xAC";
  WriteLog(message);
  FlushLog();
  const std::string bytes = ReadFile(TodaysFile());
  ASSERT_GE(bytes.size(), 2u);
  // UTF-16LE without byte-order mark: the first code unit is an ASCII digit.
  EXPECT_TRUE(bytes[0] >= '0' && bytes[0] <= '2');
  EXPECT_EQ(bytes[1], '\0');
  EXPECT_NE(bytes.find(std::string("\xAC\x20", 2)), std::string::npos);  // the euro sign

  const std::string text = Utf16LeToUtf8(bytes);
  ASSERT_EQ(text.size(), 7 + message.size() + 4);
  for (int i = 0; i < 6; ++i)
    EXPECT_TRUE(text[i] >= '0' && text[i] <= '9') << text;
  EXPECT_LE(std::stoi(text.substr(0, 2)), 23);
  EXPECT_LE(std::stoi(text.substr(2, 2)), 59);
  EXPECT_EQ(text.substr(6), ";" + message + "\r\n\r\n");

  WriteLogFmt("%s: Register Connection [%d]", {"10.0.0.1", 7});
  FlushLog();
  const std::string both = TodaysText();
  EXPECT_EQ(both.substr(text.size() + 6), ";10.0.0.1: Register Connection [7]\r\n\r\n");
}

TEST(LogEscapeTest, ControlCharactersAreMadeVisible) {
  struct Case {
    const char* name;
    std::string text;
    std::string logged;
  };
  const Case cases[] = {
      {"plain text and UTF-8 stay", "a\\b h\xC3\xA9 \xE2\x82\xAC ;[]",
       "a\\b h\xC3\xA9 \xE2\x82\xAC ;[]"},
      {"CR LF", "x\r\n123456;forged", "x\\r\\n123456;forged"},
      {"other C0, DEL", std::string("t\tb\x01\x1F\x7F\0z", 8), "t\\x09b\\x01\\x1F\\x7F\\x00z"},
      {"C1 controls",
       "a\xC2\x85"
       "b\xC2\x9F"
       "c\xC2\xA0",
       "a\\x85b\\x9Fc\xC2\xA0"},
      {"line separators",
       "a\xE2\x80\xA8"
       "b\xE2\x80\xA9"
       "c\xE2\x80\xA6",
       "a\\u2028b\\u2029c\xE2\x80\xA6"},
      {"cut sequences at the end", "a\xC2", "a\xC2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EscapeLogText(c.text), c.logged);
  }
}

TEST_F(LogTest, TextWithLineBreaksStaysOneEntry) {
  WriteLog("127.0.0.1: Register Connection [a.db\r\n\r\n120000;forged entry]");
  WriteLogFmt("%s: next", {"10.0.0.1"});
  FlushLog();
  const std::string text = TodaysText();
  // Exactly two entries, each ended by the two line breaks of the writer.
  std::size_t breaks = 0;
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
    ++breaks;
  EXPECT_EQ(breaks, 4u) << text;
  EXPECT_NE(
      text.find(";127.0.0.1: Register Connection [a.db\\r\\n\\r\\n120000;forged entry]\r\n\r\n"),
      std::string::npos)
      << text;
}

TEST_F(LogTest, EntriesOfTwoThreadsKeepTheOrderOfTheirCalls) {
  std::mutex order;
  int next = 0;
  auto writer = [&](const char* who) {
    for (int i = 0; i < 200; ++i) {
      std::lock_guard<std::mutex> guard(order);
      WriteLogFmt("%s %d", {who, next++});
    }
  };
  std::thread a(writer, "A");
  std::thread b(writer, "B");
  a.join();
  b.join();
  FlushLog();

  const std::string text = TodaysText();
  int expected = 0;
  std::size_t pos = 0;
  while ((pos = text.find(';', pos)) != std::string::npos) {
    const std::size_t end = text.find("\r\n\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    const std::string message = text.substr(pos + 1, end - pos - 1);
    ASSERT_EQ(std::stoi(message.substr(2)), expected) << message;
    ++expected;
    pos = end;
  }
  EXPECT_EQ(expected, 400);
}

TEST_F(LogTest, DeletedFolderIsRecreated) {
  WriteLog("before");
  FlushLog();
  ASSERT_TRUE(fs::exists(TodaysFile()));
  fs::remove_all(root_ / "Quillmoor");
  WriteLog("after");
  FlushLog();
  const std::string text = TodaysText();
  EXPECT_EQ(text.find("before"), std::string::npos);
  EXPECT_NE(text.find(";after\r\n\r\n"), std::string::npos);
}

// Log lines carry client addresses and SQL: not for every user of the machine.
TEST_F(LogTest, FilesAndTheFoldersMadeForThemAreForOwnerAndGroupOnly) {
  const mode_t old_mask = ::umask(0);  // the modes must not depend on the caller's mask
  WriteLog("private");
  FlushLog();
  ::umask(old_mask);
  ASSERT_TRUE(fs::exists(TodaysFile()));
  const auto mode = [](const fs::path& path) {
    return fs::status(path).permissions() & fs::perms::all;
  };
  EXPECT_EQ(mode(TodaysFile()), fs::perms(0640));
  for (const fs::path& folder :
       {root_ / "Quillmoor", root_ / "Quillmoor" / "Logs", TodaysFile().parent_path()}) {
    EXPECT_EQ(mode(folder), fs::perms(0750)) << folder;
  }
  EXPECT_EQ(mode(root_), fs::perms(0700));  // a folder that was there keeps its mode
}

class ThrowingJob : public TPoolObject {
 public:
  ThrowingJob() : TPoolObject("thrower") {}

 protected:
  void DoWork() override { throw EprmException("boom"); }
};

TEST_F(LogTest, FailedJobsAreLoggedAndTheNextJobStillRuns) {
  PostPoolObject<ThrowingJob>();
  PostPoolObject<TFileLogPool>("/dev/null/x.log", "lost\r\n");
  WriteLog("still running");
  FlushLog();
  const std::string text = TodaysText();
  EXPECT_NE(text.find(";Error Pool Object [ThrowingJob]: boom\r\n\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(";Error Pool Object [TFileLogPool]: Cannot open file \"/dev/null/x.log\"."),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(";still running\r\n\r\n"), std::string::npos);
  EXPECT_EQ(text.find("lost"), std::string::npos);
}

TEST_F(LogTest, UnwritableLogFolderDoesNotMakeEndlessErrorJobs) {
  // The log file's place is taken by a folder: every append there fails, including the append
  // of the error report. FlushLog returning shows the chain of failures ended.
  fs::create_directories(TodaysFile());
  WriteLog("cannot be written");
  ASSERT_TRUE(FlushLog(std::chrono::seconds(20)));
  EXPECT_TRUE(fs::is_directory(TodaysFile()));
  fs::remove(TodaysFile());
  WriteLog("written again");
  FlushLog();
  EXPECT_NE(TodaysText().find(";written again\r\n\r\n"), std::string::npos);
}

TEST(LogExitTest, EntriesQueuedAtExitReachTheFile) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child process is this test run again: it finds the folder through the environment.
  if (std::getenv("QM_LOG_EXIT_TEST_ROOT") == nullptr) {
    char pattern[] = "/tmp/qm_log_exit_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    ::setenv("QM_LOG_EXIT_TEST_ROOT", pattern, 1);
  }
  const fs::path root = std::getenv("QM_LOG_EXIT_TEST_ROOT");
  EXPECT_EXIT(
      {
        ::setenv("XDG_DATA_HOME", root.c_str(), 1);
        for (int i = 0; i < 500; ++i)
          WriteLogFmt("exit entry %d", {i});
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const fs::path file = root / "Quillmoor" / "Logs" / "support_tests" /
                        ("support_tests[" + FormatDateTime("yymmdd", Now()) + "].log");
  std::string text = Utf16LeToUtf8(ReadFile(file));
  if (text.empty()) {
    // The child may have crossed midnight: the entries are then in the next file.
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_regular_file())
        text += Utf16LeToUtf8(ReadFile(entry.path()));
    }
  }
  EXPECT_NE(text.find(";exit entry 0\r\n"), std::string::npos);
  EXPECT_NE(text.find(";exit entry 499\r\n"), std::string::npos);
  std::size_t count = 0;
  for (std::size_t pos = 0; (pos = text.find(";exit entry ", pos)) != std::string::npos; ++pos)
    ++count;
  EXPECT_EQ(count, 500u);
  std::error_code ignored;
  fs::remove_all(root, ignored);
  ::unsetenv("QM_LOG_EXIT_TEST_ROOT");
}

// ---------------------------------------------------------------------------------------------
// Debug channel and dispatcher

TEST_F(LogTest, WriteLogLeavesTheDebugChannelAloneWhenDebugModeIsOff) {
  const bool existed = TLogger::Exists();
  const std::size_t kept = existed ? TLogger::Instance().KeptLines().size() : 0;
  WriteLog("not for the debug channel");
  EXPECT_EQ(TLogger::Exists(), existed);
  if (existed) {
    EXPECT_EQ(TLogger::Instance().KeptLines().size(), kept);
  }
}

class RecordingConsole : public ILogger {
 public:
  void LogWrite(const std::string& text, TLogColor) override { lines.push_back(text); }
  void LogWriteLn(const std::string& text, TLogColor color) override {
    lines.push_back(text);
    colors.push_back(color);
  }
  std::vector<std::string> lines;
  std::vector<TLogColor> colors;
};

TEST_F(LogTest, TicksReportOnlyOrdinaryTicksInDebugMode) {
  RecordingConsole console;
  TLogger& logger = TLogger::Instance();
  logger.SetLogger(&console);
  console.lines.clear();
  console.colors.clear();

  BeginLogTick();
  EndLogTickFmt("Script Count [%d]", {3});  // debug tick: never reported
  EXPECT_TRUE(console.lines.empty());

  DebugMode = true;
  logger.BeginTick();
  logger.EndTick("work");
  BeginLogTick();
  EndLogTickFmt("Execute API [%s]", {"LOCopy"});
  logger.BeginTick();
  logger.EndTick("");  // an empty message writes nothing
  logger.EndTick("unmatched");
  DebugMode = false;
  logger.SetLogger(nullptr);

  ASSERT_EQ(console.lines.size(), 2u);
  // "[hh:mm:ss(.fffffff)] work" in navy.
  EXPECT_EQ(console.lines[0].front(), '[');
  EXPECT_EQ(console.lines[0].substr(1, 6), "00:00:");
  EXPECT_TRUE(console.lines[0].ends_with("] work")) << console.lines[0];
  EXPECT_EQ(console.colors[0], TLogColor::Navy);
  EXPECT_EQ(console.lines[1], "No Begin Tick");
  EXPECT_EQ(console.colors[1], TLogColor::Red);
}

// A timed scope ends its tick however the scope is left: a tick left behind by an exception
// would be taken by the next EndTick. Its message is built only when it could be reported.
TEST_F(LogTest, TimedScopeEndsItsTickWhenLeftByAnException) {
  RecordingConsole console;
  TLogger& logger = TLogger::Instance();
  logger.SetLogger(&console);
  console.lines.clear();
  int built = 0;
  auto message = [&built] {
    ++built;
    return std::string("scope");
  };
  for (bool debug : {false, true}) {
    DebugMode = debug;
    logger.BeginTick();  // an ordinary tick around the timed scope
    EXPECT_THROW(
        {
          TLogTick tick(message);
          throw std::runtime_error("failed");
        },
        std::runtime_error);
    logger.EndTick("outer");  // must end the ordinary tick, not the scope's
  }
  DebugMode = false;
  logger.SetLogger(nullptr);

  EXPECT_EQ(built, 1);
  // The scope's own tick is a debug tick (never reported): only the outer one in debug mode.
  ASSERT_EQ(console.lines.size(), 1u);
  EXPECT_TRUE(console.lines[0].ends_with("] outer")) << console.lines[0];
}

TEST_F(LogTest, LoggerKeepsLinesUntilAConsoleIsAttached) {
  TLogger& logger = TLogger::Instance();
  logger.SetLogger(nullptr);
  const std::size_t kept = logger.KeptLines().size();
  logger.WriteLn("one");
  logger.WriteLn("");
  logger.WriteLn("two");
  ASSERT_EQ(logger.KeptLines().size(), std::min<std::size_t>(kept + 2, 1000));
  RecordingConsole console;
  logger.SetLogger(&console);
  ASSERT_EQ(console.lines.size(), 1u);
  EXPECT_TRUE(console.lines[0].ends_with("one\r\ntwo"));
  EXPECT_TRUE(logger.KeptLines().empty());
  logger.SetLogger(nullptr);
}

class ListLog : public TInterfacedPersistent, public ILog {
 public:
  explicit ListLog(std::vector<std::string>& out) : out_(out) {}
  void Log(TLogLevel, const std::string& text) override { out_.push_back(text); }

 private:
  std::vector<std::string>& out_;
};

class NotALog : public TInterfacedPersistent {};

TEST(LogDispatcherTest, InstallChecksTargetsAndWriteFiltersByLevel) {
  TLogDispatcher dispatcher;
  try {
    dispatcher.Install(TLogLevel::lglInfo, nullptr);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Object is not InterfacedPersistent");
  }
  try {
    dispatcher.Install(TLogLevel::lglInfo, std::make_unique<NotALog>());
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Object is no ILog");
  }
  std::vector<std::string> everything;
  std::vector<std::string> text_only;
  EXPECT_EQ(dispatcher.Install(TLogLevel::lglDebug, std::make_unique<ListLog>(everything)), 0);
  EXPECT_EQ(dispatcher.Install(TLogLevel::lglText, std::make_unique<ListLog>(text_only)), 1);
  dispatcher.Write(TLogLevel::lglText, "t");
  dispatcher.Write("info");
  dispatcher.Write("x", "y");
  dispatcher.Write("n", 5);
  dispatcher.WriteLn("%s!", {"f"});
  dispatcher.SetEnabled(false);
  dispatcher.Write(TLogLevel::lglText, "off");
  EXPECT_EQ(everything, (std::vector<std::string>{"t", "info", "x, y", "n: 5", "f!\r\n"}));
  EXPECT_EQ(text_only, std::vector<std::string>{"t"});

  ASSERT_NE(TLogDispatcher::Instance(), nullptr);
  EXPECT_TRUE(LogEnabled());
}

TEST_F(LogTest, AppendToFileWritesSingleByteLines) {
  const std::string file = (root_ / "plain.txt").string();
  TLogDispatcher::AppendToFile(file, "caf\xC3\xA9");
  TLogDispatcher::AppendToFile(file, "x");
  EXPECT_EQ(ReadFile(file), "caf\xE9\r\nx\r\n");
}

}  // namespace
}  // namespace qm
