#pragma once

// The database client libraries read their defaults from the process: libpq takes a missing
// user name, password, service or SSL files from the PG* variables, ~/.pgpass and the service
// file; the Firebird client takes ISC_USER and ISC_PASSWORD. In a server those are the server's
// own credentials, and a client that leaves its own empty would log in with them.

namespace qm {

// Removes every PG* variable, ISC_USER and ISC_PASSWORD from the process environment. Call once
// at start, before any thread exists (the environment is not safe to change while others read
// it).
void ForgetClientLibraryEnvironment();

}  // namespace qm
