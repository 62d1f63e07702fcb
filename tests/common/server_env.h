#pragma once

// The QM_TEST_* variables that scripts/test-servers.sh exports for its throw-away database
// servers. A test that finds one missing fails with a message that says how to start them.

#include <cstdlib>
#include <initializer_list>
#include <string>

namespace qm::testing {

struct EnvVariable {
  const char* name;
  std::string* value;
};

// Reads every variable into its place; false (the unset or empty names, comma separated, in
// `missing`) when not all are set.
inline bool ReadEnvVariables(std::initializer_list<EnvVariable> variables, std::string& missing) {
  for (const EnvVariable& variable : variables) {
    const char* text = std::getenv(variable.name);
    if (text == nullptr || *text == '\0')
      missing += std::string(missing.empty() ? "" : ", ") + variable.name;
    else
      *variable.value = text;
  }
  return missing.empty();
}

// Why a test of `server` ("PostgreSQL", "Firebird") cannot run without the names in `missing`.
inline std::string ServerNotConfigured(const std::string& server, const std::string& missing) {
  return "The " + server + " test server is not configured (missing " + missing +
         "): start it with scripts/test-servers.sh and source its env file";
}

}  // namespace qm::testing
