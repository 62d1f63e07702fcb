#include "db/firebird/fb_api.h"

namespace qm {

void TmncFBLib::Link() {
  // A later load (after the last Release) binds anew; GetAddress wants empty members.
  isc_attach_database = nullptr;
  GetAddress(isc_attach_database, "isc_attach_database", true);
#define QM_FB_LINK(name) \
  name = nullptr;        \
  GetAddress(name, #name, false);
  QM_FB_ENTRY_POINTS(QM_FB_LINK)
#undef QM_FB_LINK
}

TmncFBLib& FBLib() {
  // Never destroyed: connections freed during process exit may still call through it.
  union NoDestructor {
    NoDestructor() : lib() {}
    ~NoDestructor() {}
    TmncFBLib lib;
  };
  static NoDestructor holder;
  return holder.lib;
}

}  // namespace qm
