#include "db/postgres/postgres_fixture.h"

namespace qm::pgtest {

void PostgresTest::SetUp() {
  std::string missing;
  if (!ReadServerSettings(settings_, missing))
    GTEST_FAIL() << MissingServerMessage(missing);
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
