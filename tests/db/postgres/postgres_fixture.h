#pragma once

// Access to the throw-away PostgreSQL server that scripts/test-servers.sh starts. The tests read
// its QM_TEST_PG_* variables; a missing variable or an unreachable server fails the test.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/postgres_server.h"
#include "db/postgres/pg_command.h"
#include "db/postgres/pg_connection.h"
#include "db/postgres/pg_transaction.h"

namespace qm::pgtest {

// A fixture whose SetUp fails the test when the server settings are missing.
class PostgresTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // A connection of class T with the server's settings, not yet connected.
  template <typename T = TprmPGConnection>
  std::unique_ptr<T> NewConnection() {
    auto connection = std::make_unique<T>();
    connection->SetHost(settings_.host);
    connection->SetPort(settings_.port);
    connection->SetUserName(settings_.user);
    connection->SetPassword(settings_.password);
    connection->SetResource(settings_.database);
    return connection;
  }
  // The same, connected.
  template <typename T = TprmPGConnection>
  std::unique_ptr<T> Connect() {
    auto connection = NewConnection<T>();
    connection->Connect();
    return connection;
  }

  // The first value of the first row of `sql` on `connection` (outside any transaction of ours).
  static std::string QueryValue(TmncPGConnection& connection, const std::string& sql);

  ServerSettings settings_;
};

}  // namespace qm::pgtest
