#pragma once

// Throw-away folders for tests, and a log home that points the process log at one.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/date_time.h"
#include "support/log.h"
#include "support/utf16.h"

namespace qm::testing {

// A fresh folder under the temporary folder, removed with everything in it when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "qm_test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points XDG_DATA_HOME and HOME, and so the process log, at a fresh folder for its lifetime and
// reads back what was logged there. One at a time per process: it changes the environment.
class TempLogHome {
 public:
  TempLogHome() : old_xdg_(GetEnv("XDG_DATA_HOME")), old_home_(GetEnv("HOME")) {
    ::setenv("XDG_DATA_HOME", folder_.Path().c_str(), 1);
    ::setenv("HOME", folder_.Path().c_str(), 1);
  }
  ~TempLogHome() {
    FlushLog();
    RestoreEnv("XDG_DATA_HOME", old_xdg_);
    RestoreEnv("HOME", old_home_);
  }
  TempLogHome(const TempLogHome&) = delete;
  TempLogHome& operator=(const TempLogHome&) = delete;

  const std::string& Folder() const { return folder_.Path(); }

  // Everything the process logged so far today, as UTF-8.
  std::string LogText() const {
    FlushLog();
    std::ifstream file(LogFilePath(Now()), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return Utf16LeToUtf8(bytes);
  }

 private:
  static std::optional<std::string> GetEnv(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
  }
  static void RestoreEnv(const char* name, const std::optional<std::string>& value) {
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }

  TempFolder folder_{"qm_log_home"};
  std::optional<std::string> old_xdg_;
  std::optional<std::string> old_home_;
};

}  // namespace qm::testing
