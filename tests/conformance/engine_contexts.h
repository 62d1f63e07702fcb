#pragma once

// What each engine does its own way in the behaviours every engine shares: the cases are written
// once and read their engine's quirks from its context.

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/sql_connections.h"

namespace qm::conformance {

// What a session of the engine needs: the server's configuration lines and the "Database"
// values of its "Connect".
struct SessionSetup {
  std::string config;
  std::vector<std::pair<std::string, std::string>> connect;
};

struct EngineContext {
  std::string name;
  // A new connected connection; raises when the engine's server cannot be reached.
  std::function<std::unique_ptr<TmncSQLConnection>()> connect;
  // The session setup; `folder` is a throw-away folder of the test. Raises when the engine's
  // server is not configured.
  std::function<SessionSetup(const std::string& folder)> session;
  // What a select without a table needs after its column list.
  std::string from_nothing;
  // Column names as the engine reports unquoted ones.
  std::function<std::string(const std::string&)> column_name;
  // Two opened transactions of one connection are separate engine transactions.
  bool separate_transactions = true;
  // The column types of integer, varchar and double precision columns.
  std::vector<TmnDataType> column_types = {dtInteger, dtString, dtFloat};
  // The script runner of the engine's transactions.
  std::function<void(TmncSQLTransaction&, const std::string&)> run_script;
  // What the error of a script statement that does not parse says, "" when nothing in common.
  std::string script_syntax_error;
};

EngineContext SQLiteContext();
EngineContext PostgreSQLContext();
EngineContext FirebirdContext();

void PrintTo(const EngineContext& context, std::ostream* out);

// A table name no other test (of this process or another) uses at the same time.
std::string UniqueTableName();

}  // namespace qm::conformance
