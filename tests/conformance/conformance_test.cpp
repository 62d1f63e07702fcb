// The behaviours every engine shares at the driver level, written once and run over SQLite,
// PostgreSQL and Firebird. Each engine declares its quirks in its context.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/message_of.h"
#include "conformance/engine_contexts.h"

namespace qm::conformance {
namespace {

using qm::testing::MessageOf;

class EngineConformance : public ::testing::TestWithParam<EngineContext> {
 protected:
  void SetUp() override {
    const EngineContext& context = GetParam();
    try {
      connection_ = context.connect();
    } catch (const std::exception& e) {
      GTEST_FAIL() << context.name << " cannot be reached: " << e.what();
    }
    table_ = UniqueTableName();
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
  Run("insert into " + table_ + " (id, name) values (7, 'p')");
  auto select = transaction_->CreateCommand("select id, name from " + table_ + " where id = ?id");
  select->Prepare();
  select->Param("id")->SetAsInteger(-1);
  EXPECT_FALSE(select->Execute());
  EXPECT_TRUE(select->Done());
  EXPECT_TRUE(select->Active());
  ASSERT_EQ(select->Columns().Count(), 2);
  EXPECT_EQ(select->Columns().Items(0)->Name(), Column("id"));
  EXPECT_EQ(select->Columns().Items(1)->Name(), Column("name"));
  ASSERT_NE(select->Fields(), nullptr);
  EXPECT_EQ(select->Fields()->Count(), 2);

  // Executed again with a row, and again after a close: the columns are not doubled.
  select->Param("id")->SetAsInteger(7);
  ASSERT_TRUE(select->Execute());
  EXPECT_EQ(select->Field(Column("name"))->AsString(), "p");
  EXPECT_EQ(select->Columns().Count(), 2);
  select->Close();
  select->Param("id")->SetAsInteger(7);
  ASSERT_TRUE(select->Execute());
  EXPECT_EQ(select->Columns().Count(), 2);
  EXPECT_EQ(select->Fields()->Count(), 2);
}

TEST_P(EngineConformance, ScriptsRunEveryStatement) {
  const EngineContext& engine = GetParam();
  const std::string script = "insert into " + table_ + " (id, name) values (1, 'a^b')^\n" +
                             "insert into " + table_ + " (id) values (2)^\n";
  engine.run_script(*transaction_, script);
  EXPECT_EQ(Count(*transaction_), "2");
  EXPECT_ANY_THROW(engine.run_script(*transaction_, "insert into no_such_table values (1)"));
  EXPECT_EQ(Count(*transaction_), "2");
  Run("delete from " + table_);

  // Inside an opened transaction, with CR LF, a caret in a text and empty statements.
  auto opened = connection_->CreateTransaction();
  opened->Start();
  engine.run_script(*opened, "insert into " + table_ + " (id) values (1)^\r\n insert into " +
                                 table_ + " (id) select 2" + engine.from_nothing +
                                 " where 'a^b' <> ''^ ^");
  EXPECT_EQ(Count(*opened), "2");
  opened->Rollback();
  EXPECT_EQ(Count(*transaction_), "0");

  // A failing statement ends the script with the engine's error; the ones before it ran.
  const std::string message = MessageOf([&] {
    engine.run_script(*transaction_, "insert into " + table_ + " (id) values (3)^bogus");
  });
  EXPECT_NE(message, "<no exception>");
  EXPECT_NE(message.find(engine.script_syntax_error), std::string::npos) << message;
  EXPECT_EQ(Count(*transaction_), "1");
}

TEST_P(EngineConformance, OpenedTransactionsCommitAndRollBack) {
  auto first = connection_->CreateTransaction();
  first->Start();
  first->Execute("insert into " + table_ + " (id) values (1)");
  if (GetParam().separate_transactions) {
    auto second = connection_->CreateTransaction();
    second->Start();
    EXPECT_EQ(Count(*second), "0");  // not committed yet
    second->Execute("insert into " + table_ + " (id) values (3)");
    EXPECT_EQ(Value(*second, "select max(id) from " + table_), "3");
    EXPECT_EQ(Value(*first, "select max(id) from " + table_), "1");
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

INSTANTIATE_TEST_SUITE_P(SQLite, EngineConformance, ::testing::Values(SQLiteContext()));
INSTANTIATE_TEST_SUITE_P(PostgreSQL, EngineConformance, ::testing::Values(PostgreSQLContext()));
INSTANTIATE_TEST_SUITE_P(Firebird, EngineConformance, ::testing::Values(FirebirdContext()));

}  // namespace
}  // namespace qm::conformance
