#include "service/built_in_engines.h"

#include <mutex>

#include "db/engines.h"
#include "db/firebird/fb_engine.h"
#include "db/postgres/pg_engine.h"
#include "db/sqlite/sqlite_engine.h"

namespace qm {

void RegisterBuiltInEngines() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    TmncEngines& engines = TmncEngines::Instance();
    RegisterSQLiteEngine(engines);
    RegisterFirebirdEngine(engines);
    RegisterPostgreSQLEngine(engines);
  });
}

}  // namespace qm
