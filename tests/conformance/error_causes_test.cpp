// Every engine raises the database layer's exceptions by cause: a failed statement is an
// EmncSQLError, a failed connect EmncConnectFailed, a connection the server ended
// EmncConnectionLost and a call that does not fit the object's state EmncStateError, each with
// the engine's code and SQLSTATE where the engine has them.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/firebird_server.h"
#include "common/postgres_server.h"
#include "common/temp_folder.h"
#include "conformance/engine_contexts.h"
#include "db/db_errors.h"
#include "db/postgres/pg_connection.h"
#include "db/sqlite/sqlite_connection.h"

namespace qm::conformance {
namespace {

// What an engine reports for one cause; an unset field is not compared.
struct Reported {
  std::optional<std::int32_t> code;
  std::optional<std::string> sql_state;
};

// An engine's own part of the cases.
struct EngineCauses {
  Reported syntax, constraint, connect_failed, lost;
  // A connection whose Connect fails.
  std::function<std::unique_ptr<TmncSQLConnection>()> failing_connection;
  // The SQL that tells the connection's server-side id, and the one that ends it by id.
  std::string own_id_sql, kill_sql_prefix;
};

const EngineCauses& CausesOf(const std::string& engine) {
  static const std::map<std::string, EngineCauses> causes = {
      {"SQLite",
       {.syntax = {1, ""},           // SQLITE_ERROR
        .constraint = {1555, ""},    // SQLITE_CONSTRAINT_PRIMARYKEY
        .connect_failed = {14, ""},  // SQLITE_CANTOPEN
        .lost = {},
        .failing_connection =
            [] {
              static qm::testing::TempFolder folder;
              auto connection = std::make_unique<TprmSQLiteConnection>();
              connection->SetAutoCreate(false);
              connection->SetResource(folder.File("missing.db"));
              return std::unique_ptr<TmncSQLConnection>(std::move(connection));
            },
        .own_id_sql = {},
        .kill_sql_prefix = {}}},
      {"PostgreSQL",
       {.syntax = {{}, "42601"},
        .constraint = {{}, "23505"},
        .connect_failed = {},
        .lost = {},
        .failing_connection =
            [] {
              pgtest::ServerSettings settings;
              std::string missing;
              if (!pgtest::ReadServerSettings(settings, missing))
                throw Exception(pgtest::MissingServerMessage(missing));
              auto connection = std::make_unique<TprmPGConnection>();
              connection->SetHost(settings.host);
              connection->SetPort(settings.port);
              connection->SetUserName(settings.user);
              connection->SetPassword(settings.password + "-wrong");
              connection->SetResource(settings.database);
              return std::unique_ptr<TmncSQLConnection>(std::move(connection));
            },
        .own_id_sql = "select pg_backend_pid()",
        .kill_sql_prefix = "select pg_terminate_backend("}},
      {"Firebird",
       {.syntax = {-104, "42000"},
        .constraint = {-803, "23000"},
        .connect_failed = {-902, "28000"},
        .lost = {-902, "08003"},
        .failing_connection =
            [] {
              fbtest::ServerSettings settings;
              std::string missing;
              if (!fbtest::ReadServerSettings(settings, missing))
                throw Exception(fbtest::MissingServerMessage(missing));
              auto connection =
                  fbtest::NewConnection(settings, settings.data + "/error-causes.fdb");
              connection->SetPassword(settings.password + "-wrong");
              return std::unique_ptr<TmncSQLConnection>(std::move(connection));
            },
        .own_id_sql = "select current_connection from rdb$database",
        .kill_sql_prefix = "delete from mon$attachments where mon$attachment_id = ("}},
  };
  return causes.at(engine);
}

// Runs `action` and checks that it raises `Cause` reporting `reported`.
template <typename Cause>
void ExpectCause(const std::function<void()>& action, const Reported& reported) {
  try {
    action();
    ADD_FAILURE() << "no exception";
  } catch (const Cause& e) {
    if constexpr (std::is_base_of_v<EmncEngineError, Cause>) {
      if (reported.code) {
        EXPECT_EQ(e.Code(), *reported.code) << e.Message();
      }
      if (reported.sql_state) {
        EXPECT_EQ(e.SQLState(), *reported.sql_state) << e.Message();
      }
    }
  } catch (const std::exception& e) {
    ADD_FAILURE() << "another kind of exception: " << e.what();
  }
}

class ErrorCauses : public ::testing::TestWithParam<EngineContext> {
 protected:
  void SetUp() override {
    try {
      connection_ = GetParam().connect();
    } catch (const std::exception& e) {
      GTEST_FAIL() << GetParam().name << " cannot be reached: " << e.what();
    }
    transaction_ = connection_->CreateTransaction();
    table_ = UniqueTableName();
  }
  void TearDown() override {
    if (!table_created_ || connection_ == nullptr || !connection_->Connected())
      return;
    try {
      if (transaction_->Active())
        transaction_->Rollback();
      Run(*transaction_, "drop table " + table_);
    } catch (const std::exception&) {
    }
  }

  static void Run(TmncSQLTransaction& transaction, const std::string& sql) {
    transaction.CreateCommand(sql)->Execute();
  }
  static std::string Value(TmncSQLTransaction& transaction, const std::string& sql) {
    auto command = transaction.CreateCommand(sql);
    if (!command->Execute())
      return "<none>";
    return command->FieldItem(0)->AsString();
  }
  const EngineCauses& Causes() const { return CausesOf(GetParam().name); }

  std::unique_ptr<TmncSQLConnection> connection_;
  std::unique_ptr<TmncSQLTransaction> transaction_;
  std::string table_;
  bool table_created_ = false;
};

TEST_P(ErrorCauses, SyntaxErrorIsASQLError) {
  ExpectCause<EmncSQLError>([&] { Run(*transaction_, "selec 1" + GetParam().from_nothing); },
                            Causes().syntax);
  // The connection goes on.
  EXPECT_EQ(Value(*transaction_, "select 2" + GetParam().from_nothing), "2");
}

TEST_P(ErrorCauses, ConstraintViolationIsASQLError) {
  Run(*transaction_, "create table " + table_ + " (id integer not null primary key)");
  table_created_ = true;
  Run(*transaction_, "insert into " + table_ + " (id) values (1)");
  ExpectCause<EmncSQLError>(
      [&] { Run(*transaction_, "insert into " + table_ + " (id) values (1)"); },
      Causes().constraint);
}

TEST_P(ErrorCauses, FailedConnectIsConnectFailed) {
  auto failing = Causes().failing_connection();
  ExpectCause<EmncConnectFailed>([&] { failing->Connect(); }, Causes().connect_failed);
  EXPECT_FALSE(failing->Connected());
}

TEST_P(ErrorCauses, CommandOnADisconnectedConnectionIsAStateError) {
  connection_->Disconnect();
  ExpectCause<EmncStateError>([&] { Run(*transaction_, "select 1" + GetParam().from_nothing); },
                              {});
}

// Engines whose connection a server can end.
class LostConnection : public ErrorCauses {};

TEST_P(LostConnection, ConnectionEndedByTheServerIsConnectionLost) {
  const std::string id = Value(*transaction_, Causes().own_id_sql);
  if (transaction_->Active())
    transaction_->Commit();
  auto other = GetParam().connect();
  auto killer = other->CreateTransaction();
  Run(*killer, Causes().kill_sql_prefix + id + ")");
  if (killer->Active())
    killer->Commit();
  ExpectCause<EmncConnectionLost>(
      [&] { Value(*transaction_, "select 1" + GetParam().from_nothing); }, Causes().lost);
}

INSTANTIATE_TEST_SUITE_P(SQLite, ErrorCauses, ::testing::Values(SQLiteContext()));
INSTANTIATE_TEST_SUITE_P(PostgreSQL, ErrorCauses, ::testing::Values(PostgreSQLContext()));
INSTANTIATE_TEST_SUITE_P(Firebird, ErrorCauses, ::testing::Values(FirebirdContext()));
INSTANTIATE_TEST_SUITE_P(PostgreSQL, LostConnection, ::testing::Values(PostgreSQLContext()));
INSTANTIATE_TEST_SUITE_P(Firebird, LostConnection, ::testing::Values(FirebirdContext()));

}  // namespace
}  // namespace qm::conformance
