#include "db/postgres/pg_api.h"

#include <memory>

namespace qm {

int TmncPGLib::EntryPointCount() {
  int count = 0;
#define QM_PG_COUNT(name) ++count;
  QM_PG_ENTRY_POINTS(QM_PG_COUNT)
#undef QM_PG_COUNT
  return count;
}

void TmncPGLib::Link() {
  // A reload after Release assigns every entry point anew.
#define QM_PG_BIND(name) \
  name = nullptr;        \
  GetAddress(name, #name);
  QM_PG_ENTRY_POINTS(QM_PG_BIND)
#undef QM_PG_BIND
}

TmncPGLib& PGLib() {
  // Deliberately never freed: see the header.
  static TmncPGLib* const lib = std::make_unique<TmncPGLib>().release();
  return *lib;
}

}  // namespace qm
