#pragma once

// The engine registry: engine names mapped to their connection classes, so that a connection
// can be made from a name or from a composed connection string. Drivers register themselves
// when their connection unit is linked in (SQLite as "SQLite", Firebird as "FirebirdSQL"); the
// session service creates its connections directly and does not go through here.
//
// Thread-safety: registration and look-up hold the registry's lock.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/sql_connections.h"

namespace qm {

using TmncConnectionFactory = std::function<std::unique_ptr<TmncSQLConnection>()>;

struct TmncEngine {
  std::string Name;
  std::string Title;
  TmncConnectionFactory ConnectionClass;  // empty when none is registered
};

class TmncEngines {
 public:
  // The process-wide registry.
  static TmncEngines& Instance();

  // Adds the connection class of engine `name` (found ignoring case, else appended) with its
  // title. A second connection class for the same engine raises Exception
  // "<name> is already registered".
  void RegisterConnection(const std::string& name, const std::string& title,
                          TmncConnectionFactory factory);
  // A copy of the engine, or nullptr when none has that name (ignoring case).
  std::unique_ptr<TmncEngine> Find(const std::string& name) const;
  int IndexOf(const std::string& name) const;
  // A new connection of the engine; EmncException "Engine <name> not found" when unknown.
  std::unique_ptr<TmncSQLConnection> CreateConnection(const std::string& name) const;
  // The titles of the engines that have a connection class, in registration order.
  TStrings EnumConnections() const;

 private:
  int IndexOfLocked(const std::string& name) const;

  mutable std::mutex FLock;  // guards FEngines
  std::vector<TmncEngine> FEngines;
};

// Resource="..",Engine="..",Host="..",Port="..",User="..",Password="..",Role=".." with each value
// between double quotes; a double quote inside a value is doubled.
std::string ComposeConnectionString(const std::string& engine, const std::string& resource,
                                    const std::string& host, const std::string& port,
                                    const std::string& user, const std::string& password,
                                    const std::string& role);
// The same from a connection (its engine name and settings).
std::string ComposeConnectionString(const TmncConnection& connection);

struct TmncConnectionParts {
  std::string Engine, Resource, Host, Port, User, Password, Role;
};
// The parts of a composed string; missing keys stay empty. Never raises.
TmncConnectionParts DecomposeConnectionString(const std::string& composed);

}  // namespace qm
