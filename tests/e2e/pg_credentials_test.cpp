// The server never lends its own PostgreSQL credentials: a qmsrv started with the test role in
// PGUSER/PGPASSWORD/PGDATABASE and in its ~/.pgpass still asks every client for its own user
// name and password (scripts/test-servers.sh, QM_TEST_PG_* variables).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "client/db_client.h"
#include "common/postgres_server.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// Sets a variable of this process (which the server started meanwhile inherits) for a scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* Name, const std::string& Value) : FName(Name) {
    ::setenv(Name, Value.c_str(), 1);
  }
  ~ScopedVariable() { ::unsetenv(FName); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* FName;
};

TEST(PgCredentialsTest, TheServersOwnCredentialsAreNeverUsed) {
  pgtest::ServerSettings pg;
  std::string missing;
  if (!pgtest::ReadServerSettings(pg, missing))
    GTEST_FAIL() << pgtest::MissingServerMessage(missing);
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port) + "PGHost=" + pg.host + "\n");
  // Everything libpq would take on its own: the variables and the password file of the
  // server's account (its HOME is the server's folder).
  const std::string pgpass = server.Dir().File(".pgpass");
  WriteFile(pgpass, "*:*:*:*:" + pg.password + "\n");
  ::chmod(pgpass.c_str(), 0600);
  {
    const ScopedVariable user("PGUSER", pg.user);
    const ScopedVariable password("PGPASSWORD", pg.password);
    const ScopedVariable database("PGDATABASE", pg.database);
    const ScopedVariable pass_file("PGPASSFILE", pgpass);
    ASSERT_TRUE(server.Start(port)) << server.Err();
  }

  struct Case {
    const char* name;
    std::string user;
    std::string password;
    std::string error;  // a part of it; "" when served
  };
  const Case cases[] = {
      {"no user, no password", "", "", "a user name is required"},
      {"no user", "", pg.password, "a user name is required"},
      {"no password", pg.user, "", "no password supplied"},
      {"wrong password", pg.user, "wrong", "password authentication failed"},
      {"its own credentials", pg.user, pg.password, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TqmDBClient client("127.0.0.1", std::to_string(port), 30000);
    client.Open();
    try {
      client.Connect({"PostgreSQL", pg.database, pg.port, c.user, c.password, "credentials"});
      EXPECT_EQ(c.error, "");
      const TqmResultSet result = client.ExecuteSQL("select current_user as u");
      ASSERT_EQ(result.Rows.size(), 1u);
      EXPECT_EQ(std::string(*result.Rows[0][0]), pg.user);
    } catch (const EqmServerError& e) {
      EXPECT_NE(c.error, "") << e.Message();
      EXPECT_TRUE(Contains(e.Message(), c.error)) << e.Message();
    }
  }
}

}  // namespace
}  // namespace qm::e2e
