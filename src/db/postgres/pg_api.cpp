#include "db/postgres/pg_api.h"

#include <memory>

namespace qm {

int TmncPGLib::EntryPointCount() {
  int count = 0;
#define QM_PG_COUNT(name) ++count;
  QM_PG_REQUIRED_ENTRY_POINTS(QM_PG_COUNT)
  QM_PG_OPTIONAL_ENTRY_POINTS(QM_PG_COUNT)
#undef QM_PG_COUNT
  return count;
}

void TmncPGLib::Link(){QM_PG_REQUIRED_ENTRY_POINTS(QM_BIND_REQUIRED)
                           QM_PG_OPTIONAL_ENTRY_POINTS(QM_BIND_OPTIONAL)}

TmncPGLib& PGLib() {
  // Deliberately never freed: see the header.
  static TmncPGLib* const lib = std::make_unique<TmncPGLib>().release();
  return *lib;
}

}  // namespace qm
