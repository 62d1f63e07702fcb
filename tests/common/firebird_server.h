#pragma once

// Access to the throw-away Firebird 3 server that scripts/test-servers.sh starts (its
// QM_TEST_FB_* variables) and fresh databases on it. A missing variable or an unreachable
// server fails the test.

#include <unistd.h>

#include <memory>
#include <string>

#include "common/server_env.h"
#include "db/firebird/fb_connection.h"

namespace qm::fbtest {

struct ServerSettings {
  std::string host, port, user, password, data;
};

// False (with the missing names in `missing`) when not all variables are set.
inline bool ReadServerSettings(ServerSettings& settings, std::string& missing) {
  return testing::ReadEnvVariables({{"QM_TEST_FB_HOST", &settings.host},
                                    {"QM_TEST_FB_PORT", &settings.port},
                                    {"QM_TEST_FB_USER", &settings.user},
                                    {"QM_TEST_FB_PASSWORD", &settings.password},
                                    {"QM_TEST_FB_DATA", &settings.data}},
                                   missing);
}

inline std::string MissingServerMessage(const std::string& missing) {
  return testing::ServerNotConfigured("Firebird", missing);
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

// The server and one database on it for a whole test suite: Open in SetUpTestSuite, Close in
// TearDownTestSuite, and every test's SetUp fails the test with Problem() when that is not empty.
class SuiteDatabase {
 public:
  void Open(const std::string& name) {
    FProblem.clear();
    std::string missing;
    if (!ReadServerSettings(FSettings, missing)) {
      FProblem = MissingServerMessage(missing);
      return;
    }
    try {
      FDatabase = std::make_unique<TestDatabase>(FSettings, name);
    } catch (const std::exception& e) {
      FProblem = std::string("The Firebird test server cannot be reached: ") + e.what();
    }
  }
  void Close() { FDatabase.reset(); }

  // Empty when the server and the database are there, else why not.
  const std::string& Problem() const { return FProblem; }
  const ServerSettings& Settings() const { return FSettings; }
  const std::string& Path() const { return FDatabase->Path(); }
  // A connection to the suite's database, not yet connected.
  std::unique_ptr<TmncFBConnection> NewConnection() const {
    return fbtest::NewConnection(FSettings, Path());
  }

 private:
  ServerSettings FSettings;
  std::unique_ptr<TestDatabase> FDatabase;
  std::string FProblem = "The Firebird test database was not opened";
};

}  // namespace qm::fbtest
