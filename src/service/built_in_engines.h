#pragma once

// The engines this program serves sessions on, registered in the engine registry
// (db/engines.h). Adding an engine to the program is one line in built_in_engines.cpp.

namespace qm {

// Registers SQLite, Firebird and PostgreSQL once per process; later calls do nothing. Safe to
// call from any thread.
void RegisterBuiltInEngines();

}  // namespace qm
