#include "db/firebird/fb_engine.h"

#include "db/engines.h"
#include "db/firebird/fb_connection.h"
#include "support/text_utils.h"

namespace qm {

void RegisterFirebirdEngine(TmncEngines& engines) {
  engines.RegisterConnection("FirebirdSQL", "FirebirdSQL Database",
                             [] { return std::make_unique<TmncFBConnection>(); });
  engines.RegisterSession("FirebirdSQL", "Firebird", [](const TmncSessionSettings& settings) {
    auto fb = std::make_unique<TmncFBConnection>();
    fb->SetResource(settings.Resource);
    fb->SetHost(FirstNonEmpty({settings.ServerSetting("FBHost"), "127.0.0.1"}));
    fb->SetPort(settings.Port);
    fb->SetUserName(settings.UserName);
    fb->SetPassword(settings.Password);
    fb->SetDefaultCredentials(!settings.ServerSetting("FBDefaultCredentials").empty());
    return fb;
  });
}

}  // namespace qm
