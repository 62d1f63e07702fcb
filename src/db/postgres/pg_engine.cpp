#include "db/postgres/pg_engine.h"

#include "db/engines.h"
#include "db/postgres/pg_connection.h"
#include "support/format.h"

namespace qm {

void RegisterPostgreSQLEngine(TmncEngines& engines) {
  engines.RegisterConnection("PostgreSQL", "PostgreSQL Database",
                             [] { return std::make_unique<TprmPGConnection>(); });
  engines.RegisterSession("PostgreSQL", "PostgreSQL", [](const TmncSessionSettings& settings) {
    auto pg = std::make_unique<TprmPGConnection>();
    SetSessionServer(*pg, settings, "PGHost");
    pg->SetAppName(Format("%s [%s]", {settings.AppName, settings.RemoteIP}));
    return pg;
  });
}

}  // namespace qm
