#include "db/firebird/fb_api.h"

namespace qm {

void TmncFBLib::Link(){QM_FB_REQUIRED_ENTRY_POINTS(QM_BIND_REQUIRED)
                           QM_FB_OPTIONAL_ENTRY_POINTS(QM_BIND_OPTIONAL)}

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
