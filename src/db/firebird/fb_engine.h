#pragma once

// The Firebird driver's registration in the engine registry.

namespace qm {

class TmncEngines;

// Registers "FirebirdSQL" (title "FirebirdSQL Database") with its connection class and its
// session factory for the driver name "Firebird": the server's "FBHost" (else 127.0.0.1), the
// session's port, user and password, and the server's "FBDefaultCredentials" flag. Raises
// when called twice on the same registry.
void RegisterFirebirdEngine(TmncEngines& engines);

}  // namespace qm
