#include "db/client_environment.h"

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;  // NOLINT: the process environment, as POSIX declares it

namespace qm {

void ForgetClientLibraryEnvironment() {
  std::vector<std::string> names;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    if (name.rfind("PG", 0) == 0 || name == "ISC_USER" || name == "ISC_PASSWORD")
      names.push_back(name);
  }
  // Collected first: unsetenv moves the entries.
  for (const std::string& name : names)
    ::unsetenv(name.c_str());
}

}  // namespace qm
