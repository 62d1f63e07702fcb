#include "db/sqlite/sqlite_engine.h"

#include "db/engines.h"
#include "db/sqlite/sqlite_connection.h"

namespace qm {

void RegisterSQLiteEngine(TmncEngines& engines) {
  engines.RegisterConnection("SQLite", "SQLite Database",
                             [] { return std::make_unique<TprmSQLiteConnection>(); });
  engines.RegisterSession("SQLite", "SQLite", [](const TmncSessionSettings& settings) {
    auto sqlite = std::make_unique<TprmSQLiteConnection>();
    sqlite->SetResource(settings.Resource);
    sqlite->SetFolder(settings.ServerSetting("SQLiteFolder"));
    return sqlite;
  });
}

}  // namespace qm
