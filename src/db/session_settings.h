#pragma once

// What a client session asks of the engine it connects to, as an engine's session factory
// (db/engines.h) reads it: the request's connection values and the server's own settings.

#include <functional>
#include <string>

namespace qm {

struct TmncSessionSettings {
  std::string Resource;
  std::string Port;
  std::string UserName;
  std::string Password;
  // The name the client gives its application ("" when none).
  std::string AppName;
  // The client's address, for engines that label the session with it.
  std::string RemoteIP;
  // A server setting by its name without the "Server." prefix ("PGHost", "SQLiteFolder" ...):
  // "" when the server has none. Never null.
  std::function<std::string(const std::string& name)> ServerSetting = [](const std::string&) {
    return std::string();
  };
};

}  // namespace qm
