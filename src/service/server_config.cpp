#include "service/server_config.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "support/text_utils.h"
#include "support/utf16.h"
#include "transport/tls.h"

namespace qm {

// --- checks ---

namespace {

// Value as a whole number from Min to Max (digits only, an optional leading "-").
bool WholeNumber(const std::string& Value, std::int64_t Min, std::int64_t Max,
                 std::int64_t& Result) {
  const char* end = Value.data() + Value.size();
  const auto [last, error] = std::from_chars(Value.data(), end, Result);
  return error == std::errc() && last == end && Result >= Min && Result <= Max;
}

std::string CheckRange(const std::string& Value, std::int64_t Min, std::int64_t Max) {
  std::int64_t number = 0;
  if (WholeNumber(Value, Min, Max, number))
    return {};
  return "is not a whole number from " + std::to_string(Min) + " to " + std::to_string(Max);
}

std::string CheckLevel(const std::string& Value) {
  return CheckRange(Value, -1, 9);
}

std::string CheckDays(const std::string& Value) {
  return CheckRange(Value, 0, 36500);
}

std::string CheckBytes(const std::string& Value) {
  return CheckRange(Value, 0, INT64_MAX);
}

std::string CheckServiceName(const std::string& Value) {
  const auto letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  const bool valid = letter(Value.front()) &&
                     std::all_of(Value.begin(), Value.end(),
                                 [&letter](char c) { return letter(c) || (c >= '0' && c <= '9'); });
  return valid ? std::string()
               : "must be a letter or underscore followed by letters, digits or underscores";
}

// The password travels in a header line, which ";", quotes and line breaks would cut.
std::string CheckPassword(const std::string& Value) {
  return Value.find_first_of(";'\"\r\n") == std::string::npos
             ? std::string()
             : "cannot carry ';', quotes or line breaks (a header line could not send it)";
}

// Fewest single-character edits from A to B, ignoring case.
std::size_t EditDistance(std::string_view A, std::string_view B) {
  const std::string a = LowerCase(A);
  const std::string b = LowerCase(B);
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

namespace {

// A certificate store of the platform is refused here already, so that the start and a reload
// name the setting.
std::string CheckCertificateFile(const std::string& Value) {
  return IsSystemStoreCertificate(Value) ? kSystemStoreReason : std::string();
}

}  // namespace

std::string CheckPort(const std::string& Value) {
  // 0 asks the system for a free port (tests use it; the start line shows the one chosen).
  return CheckRange(Value, 0, 65535);
}

std::string CheckSeconds(const std::string& Value) {
  return CheckRange(Value, 0, 86400);
}

std::string CheckCount(const std::string& Value) {
  return CheckRange(Value, 0, INT32_MAX);
}

std::string CheckAddress(const std::string& Value) {
  std::string host = Value;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1)
    return {};
  // A host name: letters, digits, "-" and "." only, and not digits alone after the last "."
  // (that is a mistyped IPv4 address, which no lookup should be asked about).
  const std::size_t last_dot = host.rfind('.');
  const std::string last = last_dot == std::string::npos ? host : host.substr(last_dot + 1);
  if (host.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-") !=
          std::string::npos ||
      last.empty() || last.find_first_not_of("0123456789") == std::string::npos)
    return "is not an address";
  // It is resolved now, as binding would resolve it.
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (found != nullptr)
    freeaddrinfo(found);
  return error == 0 ? std::string() : "is not an address (the name does not resolve)";
}

std::string CheckHostPort(const std::string& Value) {
  const std::size_t colon = Value.rfind(':');
  if (colon == std::string::npos || colon == 0)
    return "is not an address and a port (such as 127.0.0.1:9187)";
  if (std::string why = CheckAddress(Value.substr(0, colon)); !why.empty())
    return "has an address that " + why;
  if (std::string why = CheckPort(Value.substr(colon + 1)); !why.empty())
    return "has a port that " + why;
  return {};
}

namespace {
constexpr std::string_view kTrue[] = {"1", "true", "yes", "on"};
constexpr std::string_view kFalse[] = {"0", "false", "no", "off"};
}  // namespace

std::string CheckBoolean(const std::string& Value) {
  for (const auto* set : {&kTrue, &kFalse})
    for (std::string_view word : *set)
      if (SameText(Value, word))
        return {};
  return "is not 1 or 0 (true/false, yes/no, on/off)";
}

bool ConfigBoolean(const std::string& Value) {
  for (std::string_view word : kTrue)
    if (SameText(Value, word))
      return true;
  return false;
}

// --- the key table ---

const std::vector<TqmConfigKey>& KnownConfigKeys() {
  using A = TqmConfigApply;
  // One line per key: name, check, when a change applies, secret, default as shown.
  static const std::vector<TqmConfigKey> keys = {
      {"ServiceName", CheckServiceName, A::Restart, false, "qmDBService"},
      {"Port", CheckPort, A::Restart, false, "979"},
      {"Bind", CheckAddress, A::Restart, false, "0.0.0.0"},
      {"Password", CheckPassword, A::Reload, true, ""},
      {"PGHost", nullptr, A::Restart, false, "127.0.0.1"},
      {"FBHost", nullptr, A::Restart, false, "127.0.0.1"},
      {"SQLiteFolder", nullptr, A::Restart, false, ""},
      {"CertificateFile", CheckCertificateFile, A::Reload, false, ""},
      {"PrivateKeyFile", nullptr, A::Reload, false, ""},
      {"CertPassword", nullptr, A::Reload, true, ""},
      {"MaxConnections", CheckCount, A::Reload, false, "1000"},
      {"MaxOpeningConnections", CheckCount, A::Restart, false, "128"},
      {"MaxOpeningPerAddress", CheckCount, A::Restart, false, "32"},
      {"MaxSessions", CheckCount, A::Restart, false, "1000"},
      {"PrivateSessions", CheckBoolean, A::Restart, false, "0"},
      {"FBDefaultCredentials", CheckBoolean, A::Restart, false, "0"},
      {"MaxResultSize", CheckBytes, A::Reload, false, "1073741824"},
      {"CompressionLevel", CheckLevel, A::Reload, false, ""},  // none: igzip
      {"ConnectTimeout", CheckSeconds, A::Reload, false, "15"},
      {"StopTimeout", CheckSeconds, A::Reload, false, "10"},
      {"LogStderr", CheckBoolean, A::Reload, false, "0"},
      {"LogRetentionDays", CheckDays, A::Reload, false, "30"},
      {"MetricsListen", CheckHostPort, A::Restart, false, ""},
  };
  return keys;
}

const TqmConfigKey* FindConfigKey(std::string_view Name) {
  for (const TqmConfigKey& key : KnownConfigKeys())
    if (SameText(key.Name, Name))
      return &key;
  return nullptr;
}

std::string NearestConfigKey(std::string_view Name) {
  const std::string trimmed = Trim(Name);
  std::string best;
  std::size_t best_distance = 0;
  for (const TqmConfigKey& key : KnownConfigKeys()) {
    const std::size_t distance = EditDistance(trimmed, key.Name);
    if (best.empty() || distance < best_distance) {
      best = std::string(key.Name);
      best_distance = distance;
    }
  }
  // Farther than a third of the name is a guess nobody wants.
  return best_distance <= std::max<std::size_t>(2, best.size() / 3) ? best : std::string();
}

// --- TqmServerConfig ---

std::string TqmServerConfig::Value(std::string_view Key) const {
  for (const TqmEntry& entry : FEntries)
    if (SameText(entry.Name, Key))
      return entry.Value;
  return {};
}

bool TqmServerConfig::HasErrors() const {
  return std::any_of(Issues.begin(), Issues.end(), [](const auto& i) { return i.Error; });
}

std::vector<std::string> TqmServerConfig::IssueLines() const {
  std::vector<std::string> lines;
  for (bool errors : {true, false}) {
    for (const TqmConfigIssue& issue : Issues) {
      if (issue.Error != errors)
        continue;
      std::string line = FileName;
      if (issue.Line > 0)
        line += ":" + std::to_string(issue.Line);
      line += ": " + issue.Text;
      lines.push_back(std::move(line));
    }
  }
  return lines;
}

void TqmServerConfig::AddError(std::string_view Key, const std::string& Text) {
  int line = 0;
  for (const TqmEntry& entry : FEntries)
    if (SameText(entry.Name, Key))
      line = entry.Line;
  Issues.push_back({line, std::string(Key) + ": " + Text, true});
}

void TqmServerConfig::SetEntry(std::string Name, std::string Value, int Line) {
  for (TqmEntry& entry : FEntries) {
    if (SameText(entry.Name, Name)) {
      entry = {std::move(Name), std::move(Value), Line};
      return;
    }
  }
  FEntries.push_back({std::move(Name), std::move(Value), Line});
}

// --- reading ---

namespace {

// The file's bytes as UTF-8 text, by its byte-order mark.
std::string DecodeConfigText(const std::string& bytes) {
  const auto starts = [&bytes](std::string_view mark) {
    return bytes.compare(0, mark.size(), mark) == 0;
  };
  if (starts("\xEF\xBB\xBF"))
    return bytes.substr(3);
  if (starts("\xFF\xFE"))
    return Utf16LeToUtf8(std::string_view(bytes).substr(2));
  if (starts("\xFE\xFF")) {
    std::string swapped = bytes.substr(2);
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2)
      std::swap(swapped[i], swapped[i + 1]);
    return Utf16LeToUtf8(swapped);
  }
  return Latin1ToUtf8(bytes);
}

bool IsComment(const std::string& Line) {
  const std::string text = Trim(Line);
  return text.empty() || text.front() == '#' || text.front() == ';';
}

}  // namespace

std::vector<std::string> ReadConfigLines(const std::string& FileName) {
  std::ifstream file(FileName, std::ios::binary);
  if (!file)
    return {};
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string text = DecodeConfigText(bytes);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    // CR LF is one line break.
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

std::string ConfigValue(const std::vector<std::string>& Lines, std::string_view Name) {
  for (const std::string& line : Lines) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos && SameText(std::string_view(line).substr(0, eq), Name))
      return line.substr(eq + 1);
  }
  return {};
}

TqmServerConfig ReadServerConfig(const std::string& FileName) {
  TqmServerConfig config;
  config.FileName = FileName;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(FileName, ec))
    return config;
  config.Found = true;
  const std::vector<std::string> lines = ReadConfigLines(FileName);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const int number = static_cast<int>(i) + 1;
    if (IsComment(line))
      continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      config.Issues.push_back({number, "not a Name=Value line; ignored", false});
      continue;
    }
    const std::string name = line.substr(0, eq);
    const TqmConfigKey* key = FindConfigKey(name);
    if (key == nullptr) {
      std::string text = name + ": unknown setting";
      if (const std::string nearest = NearestConfigKey(name); !nearest.empty()) {
        text += ", did you mean " + nearest + "?";
        if (SameText(Trim(name), nearest))
          text += " (blanks before \"=\" are part of the name)";
      }
      config.Issues.push_back({number, text + "; ignored", false});
      continue;
    }
    const auto& seen = config.Entries();
    if (std::any_of(seen.begin(), seen.end(),
                    [key](const auto& e) { return SameText(e.Name, key->Name); })) {
      config.Issues.push_back(
          {number, std::string(key->Name) + ": set again; the first line counts", false});
      continue;
    }
    const std::string value = line.substr(eq + 1);
    config.SetEntry(std::string(key->Name), value, number);
    if (!value.empty() && key->Check != nullptr) {
      if (const std::string why = key->Check(value); !why.empty())
        config.Issues.push_back(
            {number, std::string(key->Name) + ": \"" + value + "\" " + why, true});
    }
  }
  return config;
}

std::vector<std::string> DescribeConfig(const TqmServerConfig& Config) {
  std::vector<std::string> lines;
  for (const TqmConfigKey& key : KnownConfigKeys()) {
    const std::string value = Config.Value(key.Name);
    if (value.empty()) {
      lines.push_back(std::string(key.Name) + "=" + std::string(key.Default) + " (default)");
    } else if (key.Secret) {
      lines.push_back(std::string(key.Name) + "=********");
    } else {
      lines.push_back(std::string(key.Name) + "=" + value);
    }
  }
  return lines;
}

bool EnvFlag(const char* Name) {
  const char* value = std::getenv(Name);
  return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

bool LogsToStderr(const TqmServerConfig& Config) {
  const std::string value = Config.Value("LogStderr");
  return EnvFlag("QMSRV_LOG_STDERR") || (!value.empty() && ConfigBoolean(value));
}

}  // namespace qm
