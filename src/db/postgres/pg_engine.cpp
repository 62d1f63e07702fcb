#include "db/postgres/pg_engine.h"

#include "db/engines.h"
#include "db/postgres/pg_connection.h"
#include "support/format.h"
#include "support/text_utils.h"

namespace qm {

void RegisterPostgreSQLEngine(TmncEngines& engines) {
  engines.RegisterConnection("PostgreSQL", "PostgreSQL Database",
                             [] { return std::make_unique<TprmPGConnection>(); });
  engines.RegisterSession("PostgreSQL", "PostgreSQL", [](const TmncSessionSettings& settings) {
    auto pg = std::make_unique<TprmPGConnection>();
    pg->SetResource(settings.Resource);
    pg->SetHost(FirstNonEmpty({settings.ServerSetting("PGHost"), "127.0.0.1"}));
    pg->SetPort(settings.Port);
    pg->SetUserName(settings.UserName);
    pg->SetPassword(settings.Password);
    pg->SetAppName(Format("%s [%s]", {settings.AppName, settings.RemoteIP}));
    return pg;
  });
}

}  // namespace qm
