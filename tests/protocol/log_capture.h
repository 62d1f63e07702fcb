#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "support/date_time.h"
#include "support/log.h"
#include "support/utf16.h"

namespace qm::testing {

// Points the process log at a fresh temporary folder for its lifetime and reads back what was
// logged there. One at a time per process (it changes XDG_DATA_HOME).
class LogCapture {
 public:
  LogCapture() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qm_protocol_log_XXXXXX").string();
    folder_ = ::mkdtemp(pattern.data());
    if (const char* old = std::getenv("XDG_DATA_HOME")) {
      old_home_ = old;
    }
    ::setenv("XDG_DATA_HOME", folder_.c_str(), 1);
  }
  ~LogCapture() {
    FlushLog();
    if (old_home_) {
      ::setenv("XDG_DATA_HOME", old_home_->c_str(), 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far, as UTF-8.
  std::string Text() const {
    FlushLog();
    std::ifstream file(LogFilePath(Now()), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return Utf16LeToUtf8(bytes);
  }

 private:
  std::string folder_;
  std::optional<std::string> old_home_;
};

}  // namespace qm::testing
