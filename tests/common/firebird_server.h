#pragma once

// Access to the throw-away Firebird 3 server that scripts/test-servers.sh starts (its
// QM_TEST_FB_* variables) and fresh databases on it. A missing variable or an unreachable
// server fails the test.

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "db/firebird/fb_connection.h"

namespace qm::fbtest {

struct ServerSettings {
  std::string host, port, user, password, data;
};

// False (with the missing names in `missing`) when not all variables are set.
inline bool ReadServerSettings(ServerSettings& settings, std::string& missing) {
  auto read = [&](const char* name, std::string& value) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
      missing += std::string(missing.empty() ? "" : ", ") + name;
      return;
    }
    value = text;
  };
  read("QM_TEST_FB_HOST", settings.host);
  read("QM_TEST_FB_PORT", settings.port);
  read("QM_TEST_FB_USER", settings.user);
  read("QM_TEST_FB_PASSWORD", settings.password);
  read("QM_TEST_FB_DATA", settings.data);
  return missing.empty();
}

inline std::string MissingServerMessage(const std::string& missing) {
  return "The Firebird test server is not configured (missing " + missing +
         "): start it with scripts/test-servers.sh and source its env file";
}

// A connection with the server's settings on `resource`, not yet connected.
inline std::unique_ptr<TmncFBConnection> NewConnection(const ServerSettings& settings,
                                                       const std::string& resource) {
  auto connection = std::make_unique<TmncFBConnection>();
  connection->SetHost(settings.host);
  connection->SetPort(settings.port);
  connection->SetUserName(settings.user);
  connection->SetPassword(settings.password);
  connection->SetResource(resource);
  return connection;
}

// A new, empty database in the server's data folder, dropped when the object goes.
class TestDatabase {
 public:
  TestDatabase(const ServerSettings& settings, const std::string& name)
      : FSettings(settings),
        FPath(settings.data + "/" + name + "-" + std::to_string(::getpid()) + ".fdb") {
    auto connection = NewConnection(settings, FPath);
    try {
      connection->DropDatabase(FPath, false);  // a leftover of an aborted run
    } catch (const std::exception&) {
    }
    connection->CreateDatabase(FPath, false);
  }
  ~TestDatabase() {
    try {
      NewConnection(FSettings, FPath)->DropDatabase(FPath, false);
    } catch (const std::exception&) {
    }
  }
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::string& Path() const { return FPath; }

 private:
  ServerSettings FSettings;
  std::string FPath;
};

}  // namespace qm::fbtest
