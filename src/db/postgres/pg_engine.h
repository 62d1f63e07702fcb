#pragma once

// The PostgreSQL driver's registration in the engine registry.

namespace qm {

class TmncEngines;

// Registers "PostgreSQL" (title "PostgreSQL Database") with its connection class and its
// session factory for the driver name "PostgreSQL": the server's "PGHost" (else 127.0.0.1),
// the session's port, user and password, and the application name "<AppName> [<client
// address>]". Raises when called twice on the same registry.
void RegisterPostgreSQLEngine(TmncEngines& engines);

}  // namespace qm
