#include "db/sqlite/sqlite_paths.h"

#include <sys/stat.h>

#include <deque>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "support/text_utils.h"

namespace qm {
namespace {

bool IsURIName(const std::string& name) {
  return name.size() >= 5 && SameText(std::string_view(name).substr(0, 5), "file:");
}

// The path that opening `start` (absolute) reaches, found one component at a time the way the
// kernel walks it: every link is followed, also one whose target does not exist yet (an open
// that creates the file creates it at the target), and ".." goes up from where the links led.
// Components that do not exist are taken as written. Empty when the links go round in circles
// or cannot be read.
std::optional<std::filesystem::path> FollowLinks(const std::filesystem::path& start) {
  namespace fs = std::filesystem;
  constexpr int kMaxLinks = 40;  // as the kernel's own bound
  std::deque<std::string> rest;
  for (const fs::path& part : start.relative_path())
    rest.push_back(part.string());
  fs::path now = start.root_path();
  int links = 0;
  while (!rest.empty()) {
    const std::string part = std::move(rest.front());
    rest.pop_front();
    if (part.empty() || part == ".")
      continue;
    if (part == "..") {
      now = now.parent_path();
      continue;
    }
    fs::path next = now / part;
    struct stat status {};
    if (::lstat(next.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      now = std::move(next);
      continue;
    }
    std::error_code ec;
    const fs::path target = fs::read_symlink(next, ec);
    if (ec || ++links > kMaxLinks)
      return std::nullopt;
    std::vector<std::string> parts;
    for (const fs::path& target_part : target.relative_path())
      parts.push_back(target_part.string());
    rest.insert(rest.begin(), parts.begin(), parts.end());
    if (target.is_absolute())
      now = target.root_path();
  }
  return now;
}

}  // namespace

bool ResolveSQLiteFileName(const std::string& Folder, const std::string& Name,
                           const std::filesystem::path& RelativeTo, std::string& Path,
                           std::string& Why) {
  namespace fs = std::filesystem;
  if (Name.empty() || Name == ":memory:") {
    Path = Name;
    return true;
  }
  if (IsURIName(Name)) {
    Why = "URI file names are not accepted";
    return false;
  }
  if (Folder.empty()) {
    Path = Name;
    return true;
  }
  // Compared as the library will open them: every link followed, a dangling one included (a
  // weakly canonical path would take a dangling link as a plain name inside the folder, while
  // the open creates its target wherever it points).
  std::error_code ec;
  const fs::path name(Name);
  const fs::path folder = fs::absolute(Folder, ec);
  const fs::path relative_to = fs::absolute(RelativeTo, ec);
  const std::optional<fs::path> base = FollowLinks(folder);
  const std::optional<fs::path> target =
      FollowLinks(name.is_absolute() ? name : relative_to / name);
  if (ec || !base || !target) {
    Why = "the file is outside the SQLite folder";
    return false;
  }
  const fs::path inside = target->lexically_relative(*base);
  if (inside.empty() || inside == "." || *inside.begin() == "..") {
    Why = "the file is outside the SQLite folder";
    return false;
  }
  Path = target->string();
  return true;
}

}  // namespace qm
