#include "db/sqlite/sqlite_api.h"

namespace qm {

void TmncSQLiteLib::Link() {
  QM_SQLITE_REQUIRED_ENTRY_POINTS(QM_BIND_REQUIRED)
  QM_SQLITE_OPTIONAL_ENTRY_POINTS(QM_BIND_OPTIONAL)
  // Debian builds the library with URI names on by default. This call fails (harmlessly) when
  // the library was already in use in this process; connections guard against URIs themselves.
  if (sqlite3_config != nullptr)
    sqlite3_config(SQLITE_CONFIG_URI, 0);
}

TmncSQLiteLib& SQLiteLib() {
  // Never destroyed: connections freed during process exit (sessions of a process-wide
  // registry) may still call through it. The union leaves its member alive at exit.
  union NoDestructor {
    NoDestructor() : lib() {}
    ~NoDestructor() {}
    TmncSQLiteLib lib;
  };
  static NoDestructor holder;
  return holder.lib;
}

}  // namespace qm
