#pragma once

// The SQLite driver's registration in the engine registry.

namespace qm {

class TmncEngines;

// Registers "SQLite" (title "SQLite Database") with its connection class and its session
// factory for the driver name "SQLite": the database file is the session's resource inside
// the server's SQLite folder. Raises when called twice on the same registry.
void RegisterSQLiteEngine(TmncEngines& engines);

}  // namespace qm
