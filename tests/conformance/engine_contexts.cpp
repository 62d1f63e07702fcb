#include "conformance/engine_contexts.h"

#include <unistd.h>

#include <atomic>
#include <ostream>

#include "common/firebird_server.h"
#include "common/postgres_server.h"
#include "common/temp_folder.h"
#include "db/db_script.h"
#include "db/firebird/fb_connection.h"
#include "db/firebird/fb_script.h"
#include "db/postgres/pg_connection.h"
#include "db/sqlite/sqlite_connection.h"

namespace qm::conformance {
namespace {

std::string Same(const std::string& name) {
  return name;
}

void GeneralScript(TmncSQLTransaction& transaction, const std::string& script) {
  TprmDBScript(&transaction).Execute(script);
}

pgtest::ServerSettings PostgreSQLSettings() {
  pgtest::ServerSettings settings;
  std::string missing;
  if (!pgtest::ReadServerSettings(settings, missing))
    throw Exception(pgtest::MissingServerMessage(missing));
  return settings;
}

fbtest::ServerSettings FirebirdSettings() {
  fbtest::ServerSettings settings;
  std::string missing;
  if (!fbtest::ReadServerSettings(settings, missing))
    throw Exception(fbtest::MissingServerMessage(missing));
  return settings;
}

// One database for the whole run, dropped when the process ends.
const fbtest::TestDatabase& FirebirdDatabase() {
  static fbtest::TestDatabase database(FirebirdSettings(), "conformance");
  return database;
}

}  // namespace

EngineContext SQLiteContext() {
  EngineContext context;
  context.name = "SQLite";
  context.connect = [] {
    static qm::testing::TempFolder folder;
    auto connection = std::make_unique<TprmSQLiteConnection>();
    connection->SetResource(folder.File("conformance.db"));
    connection->Connect();
    return std::unique_ptr<TmncSQLConnection>(std::move(connection));
  };
  context.session = [](const std::string& folder) {
    return SessionSetup{"", {{"Driver", "SQLite"}, {"Resource", folder + "/conformance.db"}}};
  };
  context.column_name = Same;
  context.separate_transactions = false;  // one transaction per connection, shared
  context.run_script = GeneralScript;
  return context;
}

EngineContext PostgreSQLContext() {
  EngineContext context;
  context.name = "PostgreSQL";
  context.connect = [] {
    const pgtest::ServerSettings settings = PostgreSQLSettings();
    auto connection = std::make_unique<TprmPGConnection>();
    connection->SetHost(settings.host);
    connection->SetPort(settings.port);
    connection->SetUserName(settings.user);
    connection->SetPassword(settings.password);
    connection->SetResource(settings.database);
    connection->Connect();
    return std::unique_ptr<TmncSQLConnection>(std::move(connection));
  };
  context.session = [](const std::string&) {
    const pgtest::ServerSettings settings = PostgreSQLSettings();
    return SessionSetup{"PGHost=" + settings.host + "\r\n",
                        {{"Driver", "PostgreSQL"},
                         {"Resource", settings.database},
                         {"Port", settings.port},
                         {"UserName", settings.user},
                         {"Password", settings.password}}};
  };
  context.column_name = Same;
  context.separate_transactions = false;  // transactions of one connection share its session
  // Types by the server's type numbers: varchar has none, float8 reads as a currency.
  context.column_types = {dtInteger, dtUnknown, dtCurrency};
  context.run_script = GeneralScript;
  return context;
}

EngineContext FirebirdContext() {
  EngineContext context;
  context.name = "Firebird";
  context.connect = [] {
    auto connection = fbtest::NewConnection(FirebirdSettings(), FirebirdDatabase().Path());
    connection->Connect();
    return std::unique_ptr<TmncSQLConnection>(std::move(connection));
  };
  context.session = [](const std::string&) {
    const fbtest::ServerSettings settings = FirebirdSettings();
    return SessionSetup{"FBHost=" + settings.host + "\r\n",
                        {{"Driver", "Firebird"},
                         {"Resource", FirebirdDatabase().Path()},
                         {"Port", settings.port},
                         {"UserName", settings.user},
                         {"Password", settings.password}}};
  };
  context.from_nothing = " from rdb$database";
  context.column_name = [](const std::string& name) { return UpperCase(name); };
  context.run_script = [](TmncSQLTransaction& transaction, const std::string& script) {
    TprmFBDBScript(&transaction).Execute(script);
  };
  context.script_syntax_error = "sqlcode: -104";
  return context;
}

void PrintTo(const EngineContext& context, std::ostream* out) {
  *out << context.name;
}

std::string UniqueTableName() {
  static std::atomic<int> counter{0};
  return "qmc_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

}  // namespace qm::conformance
