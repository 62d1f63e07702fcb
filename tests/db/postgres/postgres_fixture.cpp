#include "db/postgres/postgres_fixture.h"

#include <cstdlib>

namespace qm::pgtest {

bool ReadServerSettings(ServerSettings& settings, std::string& missing) {
  auto read = [&](const char* name, std::string& value) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
      missing += std::string(missing.empty() ? "" : ", ") + name;
      return;
    }
    value = text;
  };
  read("QM_TEST_PG_HOST", settings.host);
  read("QM_TEST_PG_PORT", settings.port);
  read("QM_TEST_PG_USER", settings.user);
  read("QM_TEST_PG_PASSWORD", settings.password);
  read("QM_TEST_PG_DATABASE", settings.database);
  return missing.empty();
}

void PostgresTest::SetUp() {
  std::string missing;
  if (!ReadServerSettings(settings_, missing))
    GTEST_FAIL() << "The PostgreSQL test server is not configured (missing " << missing
                 << "): start it with scripts/test-servers.sh and source its env file";
}

std::string PostgresTest::QueryValue(TmncPGConnection& connection, const std::string& sql) {
  TmncPGLib& lib = PGLib();
  PPGresult result = lib.PQexec(connection.Handle(), sql.c_str());
  std::string value;
  const bool ok = lib.PQresultStatus(result) == PGRES_TUPLES_OK && lib.PQntuples(result) > 0;
  if (ok)
    value = PGText(lib.PQgetvalue(result, 0, 0));
  const std::string error = PGText(lib.PQresultErrorMessage(result));
  lib.PQclear(result);
  if (!ok)
    throw Exception("query failed: " + sql + ": " + error);
  return value;
}

}  // namespace qm::pgtest
