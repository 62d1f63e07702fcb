// Database administration: existence, create, drop, rename, enumeration, advisory locks.

#include "db/postgres/pg_connection.h"
#include "db/postgres/pg_quoting.h"
#include "support/format.h"
#include "support/text_utils.h"

namespace qm {

bool TmncPGConnection::IsDatabaseExists(const std::string& name) {
  TmncPGLib& lib = PGLib();
  const TPGConnOwner owner = InternalConnect("postgres");
  PPGconn handle = owner.get();
  PPGresult result = nullptr;
  try {
    const std::string sql = "select 1 from pg_database where datname='" +
                            EscapeLiteralOn(handle, LowerCase(name)) + "'";
    result = lib.PQexec(handle, sql.c_str());
    const bool exists = result != nullptr && lib.PQntuples(result) == 1;
    CheckResult(result);
    ClearStatement(result);
    return exists;
  } catch (...) {
    ClearStatement(result);
    throw;
  }
}

void TmncPGConnection::CreateDatabase(const std::string& name, bool) {
  CloneExecute("postgres", "Create Database \"" + EscapeIdentifier(name) + "\";");
}

void TmncPGConnection::DropDatabase(const std::string& name, bool) {
  CloneExecute("postgres", "drop database if exists \"" + EscapeIdentifier(name) + "\";");
}

void TmncPGConnection::RenameDatabase(const std::string& name, const std::string& to_name) {
  CloneExecute("postgres", "alter database \"" + EscapeIdentifier(name) + "\" rename to \"" +
                               EscapeIdentifier(to_name) + "\"");
}

void TmncPGConnection::TerminateConnections(const std::string& resource) {
  CloneExecute("postgres",
               "select pg_terminate_backend(pid) from pg_stat_activity where datname = '" +
                   EscapeLiteral(resource) + "'");
}

std::string TmncPGConnection::UniqueDBName(const std::string& base) {
  std::string candidate = base;
  for (int n = 1; IsDatabaseExists(candidate); ++n)
    candidate = Format("%s%d", {base, n});
  return candidate;
}

TStrings TmncPGConnection::EnumDatabases() {
  try {
    TStrings names;
    std::unique_ptr<TmncSQLTransaction> transaction = DoCreateTransaction();
    std::unique_ptr<TmncSQLCommand> command =
        transaction->CreateCommand("select datname from pg_database where datistemplate = false");
    if (command->Execute()) {
      do {
        names.push_back(SafeField(command->Field("datname")).AsString());
      } while (command->Next());
    }
    return names;
  } catch (...) {
    return {};
  }
}

bool TmncPGConnection::TryAdvisoryLock(int id) {
  std::unique_ptr<TmncSQLTransaction> transaction = DoCreateTransaction();
  std::unique_ptr<TmncSQLCommand> command =
      transaction->CreateCommand(Format("select pg_try_advisory_lock(%d)", {id}));
  return command->Execute() && command->FieldItem(0)->AsBoolean();
}

bool TmncPGConnection::AdvisoryUnlock(int id) {
  std::unique_ptr<TmncSQLTransaction> transaction = DoCreateTransaction();
  std::unique_ptr<TmncSQLCommand> command =
      transaction->CreateCommand(Format("select pg_advisory_unlock(%d)", {id}));
  return command->Execute() && command->FieldItem(0)->AsBoolean();
}

}  // namespace qm
