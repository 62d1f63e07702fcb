#pragma once

// The engine registry: engine names mapped to their connection classes, so that a connection
// can be made from a name or from a composed connection string, and to the session factory
// that makes a client session's connection. Each driver has one registration function
// (SQLite as "SQLite", Firebird as "FirebirdSQL", PostgreSQL as "PostgreSQL"); the program
// calls them once at start (service/built_in_engines.h), since registration by static
// initialisers would be dropped with an unreferenced object of a static library.
//
// Thread-safety: registration and look-up hold the registry's lock.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/session_settings.h"
#include "db/sql_connections.h"
#include "support/thread_annotations.h"

namespace qm {

using TmncConnectionFactory = std::function<std::unique_ptr<TmncSQLConnection>()>;
// A client session's connection, set up from its settings and not yet connected.
using TmncSessionFactory =
    std::function<std::unique_ptr<TmncSQLConnection>(const TmncSessionSettings&)>;

struct TmncEngine {
  std::string Name;
  std::string Title;
  TmncConnectionFactory ConnectionClass;  // empty when none is registered
  // The name a session request gives as its driver (compared exactly), and the factory of
  // its connections; empty when the engine serves no sessions.
  std::string SessionDriver;
  TmncSessionFactory SessionClass;
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
  // Adds the session factory of engine `name` (found ignoring case, else appended), chosen by
  // requests that name `driver`. A second one for the same engine or driver name raises
  // Exception "<name> is already registered".
  void RegisterSession(const std::string& name, const std::string& driver,
                       TmncSessionFactory factory);
  // A copy of the engine, or nullptr when none has that name (ignoring case).
  std::unique_ptr<TmncEngine> Find(const std::string& name) const;
  int IndexOf(const std::string& name) const;
  // A new connection of the engine; EmncException "Engine <name> not found" when unknown.
  std::unique_ptr<TmncSQLConnection> CreateConnection(const std::string& name) const;
  // The titles of the engines that have a connection class, in registration order.
  TStrings EnumConnections() const;

  // A new, unconnected session connection of the engine whose session driver is exactly
  // `driver`, set up from `settings`; nullptr when no engine serves that driver name.
  std::unique_ptr<TmncSQLConnection> CreateSessionConnection(
      const std::string& driver, const TmncSessionSettings& settings) const;
  // The session driver names, in registration order.
  TStrings SessionDrivers() const;

 private:
  int IndexOfLocked(const std::string& name) const REQUIRES(FLock);
  // The engine of `name`, appended when there is none.
  TmncEngine& EngineLocked(const std::string& name) REQUIRES(FLock);

  mutable TMutex FLock;
  std::vector<TmncEngine> FEngines GUARDED_BY(FLock);
};

// Sets a session connection to a database server: the session's resource, the server setting
// `host_setting` as host (127.0.0.1 when the server has none), and the session's port, user
// name and password.
void SetSessionServer(TmncConnection& connection, const TmncSessionSettings& settings,
                      const std::string& host_setting);

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
