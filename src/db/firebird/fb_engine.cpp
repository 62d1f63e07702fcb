#include "db/firebird/fb_engine.h"

#include "db/engines.h"
#include "db/firebird/fb_connection.h"

namespace qm {

void RegisterFirebirdEngine(TmncEngines& engines) {
  engines.RegisterConnection("FirebirdSQL", "FirebirdSQL Database",
                             [] { return std::make_unique<TmncFBConnection>(); });
  engines.RegisterSession("FirebirdSQL", "Firebird", [](const TmncSessionSettings& settings) {
    auto fb = std::make_unique<TmncFBConnection>();
    SetSessionServer(*fb, settings, "FBHost");
    fb->SetDefaultCredentials(!settings.ServerSetting("FBDefaultCredentials").empty());
    return fb;
  });
}

}  // namespace qm
