#pragma once

// The throw-away PostgreSQL server that scripts/test-servers.sh starts (its QM_TEST_PG_*
// variables). A missing variable or an unreachable server fails the test.

#include <string>
#include <vector>

#include "common/server_env.h"

namespace qm::pgtest {

struct ServerSettings {
  std::string host, port, user, password, database;
};

// The server's settings; false (with the missing names in `missing`) when not all are set.
inline bool ReadServerSettings(ServerSettings& settings, std::string& missing) {
  return testing::ReadEnvVariables({{"QM_TEST_PG_HOST", &settings.host},
                                    {"QM_TEST_PG_PORT", &settings.port},
                                    {"QM_TEST_PG_USER", &settings.user},
                                    {"QM_TEST_PG_PASSWORD", &settings.password},
                                    {"QM_TEST_PG_DATABASE", &settings.database}},
                                   missing);
}

inline std::string MissingServerMessage(const std::string& missing) {
  return testing::ServerNotConfigured("PostgreSQL", missing);
}

// The qmcli options of a session on the test database, its server reached through `db_port`.
inline std::vector<std::string> ClientSessionArguments(const ServerSettings& settings,
                                                       const std::string& db_port,
                                                       const std::string& password) {
  return {"--driver",    "PostgreSQL", "--resource", settings.database, "--user",
          settings.user, "--password", password,     "--db-port",       db_port};
}

}  // namespace qm::pgtest
