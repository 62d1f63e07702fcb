#pragma once

// The configuration file of qmsrv and its checks.
//
// The file is a list of "Name=Value" lines: names compare ignoring case, the value is everything
// after the first "=" as written (not trimmed), the first line of a name wins, a missing line
// reads as "". Every name the server knows is one entry of the key table (KnownConfigKeys) with
// the check its value must pass. Reading the file collects, per line:
//   - an error for a known key whose non-empty value fails its check (the server does not start,
//     and a reload keeps the running settings);
//   - a warning for a name that is no known key (the line is ignored, as before), naming the
//     nearest known key, and for a non-blank line that is no "Name=Value" line.
// Blank lines and lines that start with "#" or ";" are comments.

#include <string>
#include <string_view>
#include <vector>

namespace qm {

// "" when Value is acceptable for the key, else why not ("is not a whole number from 1 to
// 65535"). Called only for non-empty values: an empty value always means the default.
using TqmConfigCheck = std::string (*)(const std::string& Value);

// When a changed value takes effect.
enum class TqmConfigApply {
  Reload,   // at SIGHUP, for the connections and requests that come after it
  Restart,  // at the next start of the process; a reload logs the change and keeps the old one
};

struct TqmConfigKey {
  std::string_view Name;
  TqmConfigCheck Check;  // null: any text
  TqmConfigApply Apply;
  bool Secret;               // masked when the settings are printed
  std::string_view Default;  // as shown by --check-config ("" when empty means "none")
};

// Every key the server reads, in the order --check-config prints them.
const std::vector<TqmConfigKey>& KnownConfigKeys();
// The entry for Name (ignoring case), or null.
const TqmConfigKey* FindConfigKey(std::string_view Name);
// The known key nearest to Name (fewest edits, ignoring case), or "" when none is close.
std::string NearestConfigKey(std::string_view Name);

// The checks of the table, for keys added elsewhere.
std::string CheckPort(const std::string& Value);
std::string CheckAddress(const std::string& Value);
std::string CheckHostPort(const std::string& Value);
std::string CheckSeconds(const std::string& Value);  // 0..86400
std::string CheckCount(const std::string& Value);    // 0..2147483647
std::string CheckBoolean(const std::string& Value);  // 0/1, true/false, yes/no, on/off
bool ConfigBoolean(const std::string& Value);        // of a value CheckBoolean accepted

struct TqmConfigIssue {
  int Line = 0;  // 1-based; 0 for the file as a whole
  std::string Text;
  bool Error = false;
};

// A configuration file as read and checked. Found is false when the file does not exist.
class TqmServerConfig {
 public:
  bool Found = false;
  std::string FileName;
  std::vector<TqmConfigIssue> Issues;

  // The value of a key as written; "" when no line names it.
  std::string Value(std::string_view Key) const;
  bool HasErrors() const;
  // "<file>:<line>: <text>" for every issue, errors first.
  std::vector<std::string> IssueLines() const;
  // Adds an error about Key's line (checks that need several keys at once).
  void AddError(std::string_view Key, const std::string& Text);

  // The known keys that have a line, with the value and line number of the first one.
  struct TqmEntry {
    std::string Name;
    std::string Value;
    int Line = 0;
  };
  const std::vector<TqmEntry>& Entries() const { return FEntries; }
  void SetEntry(std::string Name, std::string Value, int Line);

 private:
  std::vector<TqmEntry> FEntries;  // first line of each known key
};

// The lines of a text file: UTF-8 or UTF-16 (either byte order) when it starts with that
// byte-order mark, ISO-8859-1 otherwise; split at CR LF, CR or LF. Missing file: empty.
std::vector<std::string> ReadConfigLines(const std::string& FileName);
// The value of the first line whose name (the text before its first "=") equals Name ignoring
// case: everything after that "=", not trimmed. "" when no line has that name.
std::string ConfigValue(const std::vector<std::string>& Lines, std::string_view Name);
// Reads and checks the file; a missing file gives Found = false and no issues.
TqmServerConfig ReadServerConfig(const std::string& FileName);

// The effective settings as "Name=Value" lines for --check-config, secrets masked: each known
// key with its value, or its default marked "(default)".
std::vector<std::string> DescribeConfig(const TqmServerConfig& Config);

// An environment switch: set, not empty and not "0".
bool EnvFlag(const char* Name);
// Whether the log copies every entry to stderr: QMSRV_LOG_STDERR (the installed unit sets it)
// or the file's LogStderr.
bool LogsToStderr(const TqmServerConfig& Config);

}  // namespace qm
