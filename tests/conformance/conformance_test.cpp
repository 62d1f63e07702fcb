// The behaviours every engine shares, written once and run over SQLite, PostgreSQL and
// Firebird. Each engine declares its quirks in its context below.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/firebird_server.h"
#include "common/temp_folder.h"
#include "db/db_script.h"
#include "db/firebird/fb_connection.h"
#include "db/postgres/pg_connection.h"
#include "db/sqlite/sqlite_connection.h"

namespace qm {
namespace {

struct EngineContext {
  std::string name;
  // A new connected connection; raises when the engine's server cannot be reached.
  std::function<std::unique_ptr<TmncSQLConnection>()> connect;
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
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

std::string Same(const std::string& name) {
  return name;
}

void GeneralScript(TmncSQLTransaction& transaction, const std::string& script) {
  TprmDBScript(&transaction).Execute(script);
}

EngineContext SQLiteContext() {
  EngineContext context;
  context.name = "SQLite";
  context.connect = [] {
    static qm::testing::TempFolder folder;
    auto connection = std::make_unique<TprmSQLiteConnection>();
    connection->SetResource(folder.File("conformance.db"));
    connection->Connect();
    return std::unique_ptr<TmncSQLConnection>(std::move(connection));
  };
  context.column_name = Same;
  context.separate_transactions = false;  // one transaction per connection, shared
  context.run_script = GeneralScript;
  return context;
}

EngineContext PostgreSQLContext() {
  EngineContext context;
  context.name = "PostgreSQL";
  context.connect = [] {
    for (const char* name : {"QM_TEST_PG_HOST", "QM_TEST_PG_PORT", "QM_TEST_PG_USER",
                             "QM_TEST_PG_PASSWORD", "QM_TEST_PG_DATABASE"}) {
      if (Env(name).empty())
        throw Exception(std::string("no PostgreSQL test server (") + name + " is not set)");
    }
    auto connection = std::make_unique<TprmPGConnection>();
    connection->SetHost(Env("QM_TEST_PG_HOST"));
    connection->SetPort(Env("QM_TEST_PG_PORT"));
    connection->SetUserName(Env("QM_TEST_PG_USER"));
    connection->SetPassword(Env("QM_TEST_PG_PASSWORD"));
    connection->SetResource(Env("QM_TEST_PG_DATABASE"));
    connection->Connect();
    return std::unique_ptr<TmncSQLConnection>(std::move(connection));
  };
  context.column_name = Same;
  context.separate_transactions = false;  // transactions of one connection share its session
  // Types by the server's type numbers: varchar has none, float8 reads as a currency.
  context.column_types = {dtInteger, dtUnknown, dtCurrency};
  context.run_script = GeneralScript;
  return context;
}

EngineContext FirebirdContext() {
  EngineContext context;
  context.name = "Firebird";
  context.connect = [] {
    fbtest::ServerSettings settings;
    std::string missing;
    if (!fbtest::ReadServerSettings(settings, missing))
      throw Exception(fbtest::MissingServerMessage(missing));
    static fbtest::TestDatabase database(settings, "conformance");
    auto connection = fbtest::NewConnection(settings, database.Path());
    connection->Connect();
    return std::unique_ptr<TmncSQLConnection>(std::move(connection));
  };
  context.from_nothing = " from rdb$database";
  context.column_name = [](const std::string& name) { return UpperCase(name); };
  context.run_script = [](TmncSQLTransaction& transaction, const std::string& script) {
    TprmFBDBScript(&transaction).Execute(script);
  };
  return context;
}

class EngineConformance : public ::testing::TestWithParam<EngineContext> {
 protected:
  void SetUp() override {
    const EngineContext& context = GetParam();
    try {
      connection_ = context.connect();
    } catch (const std::exception& e) {
      GTEST_FAIL() << context.name << " cannot be reached: " << e.what();
    }
    static std::atomic<int> counter{0};
    table_ = "qmc_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    transaction_ = connection_->CreateTransaction();
    Run("create table " + table_ + " (id integer, name varchar(20), amount double precision)");
  }
  void TearDown() override {
    if (transaction_ != nullptr) {
      try {
        Run("drop table " + table_);
      } catch (const std::exception&) {
      }
    }
    transaction_.reset();
    connection_.reset();
  }

  void Run(const std::string& sql) { transaction_->CreateCommand(sql)->Execute(); }
  std::string Column(const std::string& name) const { return GetParam().column_name(name); }
  // The first value of the first row, "<none>" without a row.
  static std::string Value(TmncSQLTransaction& transaction, const std::string& sql) {
    auto command = transaction.CreateCommand(sql);
    if (!command->Execute())
      return "<none>";
    return command->FieldItem(0)->AsString();
  }
  std::string Count(TmncSQLTransaction& transaction) {
    return Value(transaction, "select count(*) from " + table_);
  }

  std::unique_ptr<TmncSQLConnection> connection_;
  std::unique_ptr<TmncSQLTransaction> transaction_;
  std::string table_;
};

TEST_P(EngineConformance, ColumnTypesNullsAndNamedParameters) {
  auto insert = transaction_->CreateCommand("insert into " + table_ +
                                            " (id, name, amount) values (?id, ?name, ?amount)");
  insert->Prepare();
  insert->Param("id")->SetAsInteger(1);
  insert->Param("name")->SetAsString("it's one");
  insert->Param("amount")->SetAsDouble(2.5);
  insert->Execute();
  insert->Param("id")->SetAsInteger(2);
  insert->Param("name")->SetIsNull(true);
  insert->Param("amount")->SetIsNull(true);
  insert->Execute();

  auto select = transaction_->CreateCommand("select id, name, amount from " + table_ +
                                            " where id >= ?low order by id");
  select->Prepare();
  select->Param("low")->SetAsInteger(1);
  ASSERT_TRUE(select->Execute());
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(select->FieldItem(i)->Column()->DataType(), GetParam().column_types[i]) << i;
  EXPECT_EQ(select->Field(Column("id"))->AsInteger(), 1);
  EXPECT_EQ(select->Field(Column("name"))->AsString(), "it's one");
  EXPECT_EQ(select->Field(Column("amount"))->AsDouble(), 2.5);
  ASSERT_TRUE(select->Next());
  EXPECT_EQ(select->Field(Column("id"))->AsInteger(), 2);
  EXPECT_TRUE(select->Field(Column("name"))->IsNull());
  EXPECT_TRUE(select->Field(Column("amount"))->IsNull());
  EXPECT_FALSE(select->Next());
}

TEST_P(EngineConformance, PreparedCommandRunsAgainWithNewValues) {
  auto insert =
      transaction_->CreateCommand("insert into " + table_ + " (id, name) values (?id, ?name)");
  insert->Prepare();
  for (int id = 1; id <= 3; ++id) {
    insert->Param("id")->SetAsInteger(id);
    insert->Param("name")->SetAsString("n" + std::to_string(id));
    insert->Execute();
  }
  auto select =
      transaction_->CreateCommand("select name from " + table_ + " where id = ?id or id = ?id");
  select->Prepare();
  for (int id : {3, 1, 2}) {
    select->Param("id")->SetAsInteger(id);
    ASSERT_TRUE(select->Execute()) << id;
    EXPECT_EQ(select->FieldItem(0)->AsString(), "n" + std::to_string(id));
    EXPECT_FALSE(select->Next());
  }
}

TEST_P(EngineConformance, EmptyResultStillListsItsColumns) {
  auto select = transaction_->CreateCommand("select id, name from " + table_ + " where id < 0");
  EXPECT_FALSE(select->Execute());
  EXPECT_TRUE(select->Done());
  ASSERT_EQ(select->Columns().Count(), 2);
  EXPECT_EQ(select->Columns().Items(0)->Name(), Column("id"));
  EXPECT_EQ(select->Columns().Items(1)->Name(), Column("name"));
  ASSERT_NE(select->Fields(), nullptr);
}

TEST_P(EngineConformance, ScriptsRunEveryStatement) {
  const std::string script = "insert into " + table_ + " (id, name) values (1, 'a^b')^\n" +
                             "insert into " + table_ + " (id) values (2)^\n";
  GetParam().run_script(*transaction_, script);
  EXPECT_EQ(Count(*transaction_), "2");
  EXPECT_ANY_THROW(GetParam().run_script(*transaction_, "insert into no_such_table values (1)"));
  EXPECT_EQ(Count(*transaction_), "2");
}

TEST_P(EngineConformance, OpenedTransactionsCommitAndRollBack) {
  auto first = connection_->CreateTransaction();
  first->Start();
  first->Execute("insert into " + table_ + " (id) values (1)");
  if (GetParam().separate_transactions) {
    auto second = connection_->CreateTransaction();
    second->Start();
    EXPECT_EQ(Count(*second), "0");  // not committed yet
    second->Rollback();
  }
  first->Rollback();
  EXPECT_EQ(Count(*transaction_), "0");

  first->Start();
  first->Execute("insert into " + table_ + " (id) values (2)");
  first->Commit();
  EXPECT_EQ(Count(*transaction_), "1");
}

TEST_P(EngineConformance, ErrorsLeaveTheConnectionUsable) {
  const std::string from = GetParam().from_nothing;
  EXPECT_ANY_THROW(Value(*transaction_, "selec 1" + from));
  EXPECT_ANY_THROW(Value(*transaction_, "select nothing_here from " + table_));
  EXPECT_EQ(Value(*transaction_, "select 6 * 7" + from), "42");
}

void PrintTo(const EngineContext& context, std::ostream* out) {
  *out << context.name;
}

INSTANTIATE_TEST_SUITE_P(SQLite, EngineConformance, ::testing::Values(SQLiteContext()));
INSTANTIATE_TEST_SUITE_P(PostgreSQL, EngineConformance, ::testing::Values(PostgreSQLContext()));
INSTANTIATE_TEST_SUITE_P(Firebird, EngineConformance, ::testing::Values(FirebirdContext()));

}  // namespace
}  // namespace qm
