// PostgreSQL commands against a real server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/db_errors.h"
#include "db/postgres/postgres_fixture.h"
#include "support/text_utils.h"

namespace qm::pgtest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// ---- Against the server ----

class PGCommandTest : public PostgresTest {
 protected:
  void SetUp() override {
    PostgresTest::SetUp();
    if (HasFatalFailure())
      return;
    connection_ = Connect();
    transaction_ = connection_->CreateTransaction();
  }

  std::unique_ptr<TmncSQLCommand> Command(const std::string& sql) {
    return transaction_->CreateCommand(sql);
  }
  TmncPGCommand& PG(std::unique_ptr<TmncSQLCommand>& command) {
    return static_cast<TmncPGCommand&>(*command);
  }
  int PreparedCount() {
    return std::stoi(QueryValue(*connection_,
                                "select count(*) from pg_prepared_statements where name like "
                                "'pgtr\\_%'"));
  }

  std::unique_ptr<TprmPGConnection> connection_;
  std::unique_ptr<TmncSQLTransaction> transaction_;
};

TEST_F(PGCommandTest, ValuesArriveAsTheServersText) {
  auto command = Command(
      "select true as yes, false as no, 42 as n, 12.50::numeric as amount, null::text as nothing, "
      "'héllo'::text as greeting, '\\x0102'::bytea as raw");
  ASSERT_TRUE(command->Execute());
  const TmncFields& fields = *command->Fields();
  EXPECT_EQ(fields.Field("yes")->AsString(), "t");
  EXPECT_EQ(fields.Field("no")->AsString(), "f");
  EXPECT_TRUE(fields.Field("yes")->AsBoolean());
  EXPECT_FALSE(fields.Field("no")->AsBoolean());
  EXPECT_EQ(fields.Field("yes")->AsInteger(), 0);
  EXPECT_EQ(fields.Field("n")->AsInteger(), 42);
  EXPECT_EQ(fields.Field("amount")->AsString(), "12.50");
  EXPECT_DOUBLE_EQ(fields.Field("amount")->AsDouble(), 12.5);
  EXPECT_TRUE(fields.Field("nothing")->IsNull());
  EXPECT_FALSE(fields.Field("n")->IsNull());
  EXPECT_EQ(fields.Field("greeting")->AsString(), "héllo");
  EXPECT_EQ(fields.Field("raw")->AsString(), "\\001\\002");  // bytea_output = escape
  EXPECT_EQ(fields.Field("n")->Memory().Size, 2);
  EXPECT_FALSE(static_cast<const TmncPostgreFields&>(fields).IsNull());
  EXPECT_FALSE(command->Next());
}

TEST_F(PGCommandTest, ColumnTypesMapToFieldDataTypes) {
  auto command = Command(
      "select true::boolean as b, 1::int8 as i8, 1::int2 as i2, 1::int4 as i4, 1::oid as o, "
      "1::float4 as f4, 1::float8 as f8, 1::money as m, 1::numeric as num, "
      "current_date as d, localtime as t, localtimestamp as ts, now() as tz, 'x'::text as s");
  ASSERT_TRUE(command->Execute());
  std::vector<TmnDataType> types;
  std::vector<int> oids;
  for (TmncColumn* column : command->Columns()) {
    types.push_back(column->DataType());
    oids.push_back(static_cast<TmncPGColumn*>(column)->PGType());
  }
  EXPECT_THAT(types, ElementsAre(dtBoolean, dtInteger, dtInteger, dtInteger, dtInteger, dtCurrency,
                                 dtCurrency, dtCurrency, dtCurrency, dtDate, dtDateTime, dtDateTime,
                                 dtUnknown, dtUnknown));
  EXPECT_THAT(oids,
              ElementsAre(16, 20, 21, 23, 26, 700, 701, 790, 1700, 1082, 1083, 1114, 1184, 25));
  EXPECT_EQ(static_cast<TmncPGColumn*>(command->Columns().Items(3))->FieldSize(), 4);
  EXPECT_EQ(static_cast<TmncPGColumn*>(command->Columns().Items(13))->FieldSize(), -1);
  // The field's own type stays unknown; the column carries it.
  EXPECT_EQ(command->Fields()->Items(0)->DataType(), dtUnknown);
}

TEST_F(PGCommandTest, TimestampFractionIsDroppedBothWays) {
  auto command = Command("select '2024-03-01 10:20:30.123'::timestamp as ts, ?p::text as sent");
  command->Prepare();
  command->Param("p")->SetAsDateTime(EncodeDate(2024, 3, 1) + EncodeTime(10, 20, 30, 123));
  ASSERT_TRUE(command->Execute());
  const TDateTime expected = EncodeDate(2024, 3, 1) + EncodeTime(10, 20, 30, 0);
  EXPECT_DOUBLE_EQ(command->Field("ts")->AsDateTime(), expected);
  EXPECT_DOUBLE_EQ(command->Field("ts")->AsDate(), EncodeDate(2024, 3, 1));
  EXPECT_EQ(command->Field("sent")->AsString(), "2024-03-01 10:20:30");
}

TEST_F(PGCommandTest, PreparedCommandWithParametersExecutedTwice) {
  connection_->Execute("drop table if exists qm_cmd_test");
  connection_->Execute("create table qm_cmd_test (id int, name text, amount numeric)");
  auto insert = Command("insert into qm_cmd_test values (?id, ?name, ?amount)");
  insert->Prepare();
  EXPECT_EQ(Trim(insert->ProcessedSQL().SQL()), "insert into qm_cmd_test values ($1, $2, $3)");
  const std::string name = PG(insert).Handle();
  EXPECT_THAT(name, StartsWith("pgtr_"));

  insert->Param("id")->SetAsInteger(1);
  insert->Param("name")->SetAsString("one");
  insert->Param("amount")->SetAsDouble(1.5);
  EXPECT_FALSE(insert->Execute());
  EXPECT_TRUE(insert->Done());
  EXPECT_EQ(insert->GetRowsChanged(), 1);

  insert->Param("id")->SetAsInteger(2);
  insert->Param("name")->SetAsString("");  // sends NULL
  insert->Param("amount")->SetAsCurrency(Currency{-32500});
  insert->Execute();
  EXPECT_EQ(PG(insert).Handle(), name);  // same statement, not prepared again
  EXPECT_EQ(PG(insert).Status(), PGRES_COMMAND_OK_);

  auto select = Command("select id, name, amount from qm_cmd_test where id >= ?min order by id");
  select->Prepare();
  select->Param("min")->SetAsInteger(1);
  ASSERT_TRUE(select->Execute());
  EXPECT_EQ(PG(select).RecordCount(), 2);
  EXPECT_EQ(select->Field("name")->AsString(), "one");
  EXPECT_EQ(select->Field("amount")->AsString(), "1.5");
  ASSERT_TRUE(select->Next());
  EXPECT_TRUE(select->Field("name")->IsNull());
  EXPECT_EQ(select->Field("amount")->AsString(), "-3.25");
  EXPECT_FALSE(select->Next());

  select->Param("min")->SetAsInteger(2);
  ASSERT_TRUE(select->Execute());
  EXPECT_EQ(select->Field("id")->AsInteger(), 2);
  EXPECT_FALSE(select->Next());

  auto update = Command("update qm_cmd_test set name = 'x'");
  update->Execute();
  EXPECT_EQ(update->GetRowsChanged(), 2);
  connection_->Execute("drop table qm_cmd_test");
}

TEST_F(PGCommandTest, SameMarkerTwiceSendsTheValueTwice) {
  auto command = Command("select ?v::text || '-' || ?v::text as twice, ?e::text is null as e_null");
  command->Prepare();
  EXPECT_EQ(Trim(command->ProcessedSQL().SQL()),
            "select $1::text || '-' || $2::text as twice, $3::text is null as e_null");
  command->Param("v")->SetAsString("a'b");
  command->Param("e")->SetValue(Variant(""));  // an empty string, not NULL
  ASSERT_TRUE(command->Execute());
  EXPECT_EQ(command->Field("twice")->AsString(), "a'b-a'b");
  EXPECT_EQ(command->Field("e_null")->AsString(), "f");
}

TEST_F(PGCommandTest, ErrorGivesPostgreCommandMessageAndConnectionStaysUsable) {
  auto command = Command("select * from qm_no_such_table");
  try {
    command->Execute();
    ADD_FAILURE() << "no error";
  } catch (const EmncSQLError& e) {
    EXPECT_THAT(e.Message(), StartsWith("Postgre command: ERROR:  relation \"qm_no_such_table\""));
    EXPECT_EQ(e.SQLState(), "42P01");
  }

  auto failing = Command("select 1 / ?d");
  failing->Prepare();
  failing->Param("d")->SetAsInteger(0);
  try {
    failing->Execute();
    ADD_FAILURE() << "no error";
  } catch (const EmncSQLError& e) {
    EXPECT_THAT(e.Message(), StartsWith("Postgre command: ERROR:  division by zero"));
    EXPECT_EQ(e.SQLState(), "22012");
  }
  EXPECT_FALSE(failing->Active());
  EXPECT_EQ(PG(failing).Status(), PGRES_EMPTY_QUERY_);
  EXPECT_EQ(PG(failing).Statement(), nullptr);

  failing->Param("d")->SetAsInteger(2);
  ASSERT_TRUE(failing->Execute());
  EXPECT_EQ(failing->FieldItem(0)->AsInteger(), 0);
  auto ok = Command("select 5");
  ASSERT_TRUE(ok->Execute());
  EXPECT_EQ(ok->FieldItem(0)->AsInteger(), 5);
}

TEST_F(PGCommandTest, StatementsAreDeallocated) {
  const int before = PreparedCount();
  {
    auto command = Command("select 1");
    command->Execute();
    const std::string first = PG(command).Handle();
    EXPECT_EQ(PreparedCount(), before + 1);
    command->Close();
    EXPECT_EQ(PreparedCount(), before);
    command->Execute();
    EXPECT_NE(PG(command).Handle(), first);
    EXPECT_EQ(PreparedCount(), before + 1);
  }
  EXPECT_EQ(PreparedCount(), before);
  {
    // Freed after a failed execution: holds no result, yet the statement goes too.
    auto command = Command("select 1 / ?d");
    command->Prepare();
    command->Param("d")->SetAsInteger(0);
    EXPECT_THROW(command->Execute(), EmncSQLError);
    EXPECT_EQ(PreparedCount(), before + 1);
  }
  EXPECT_EQ(PreparedCount(), before);
  // A statement that does not parse creates nothing.
  EXPECT_THROW(Command("selec 1")->Execute(), EmncSQLError);
  EXPECT_EQ(PreparedCount(), before);
}

// A one-shot command runs as the unnamed statement: whatever way it ends it leaves no named
// statement behind, its parameters still travel, and the connection stays usable. BEGIN and
// COMMIT take the same one-round-trip way and use up no statement name.
TEST_F(PGCommandTest, OneShotCommandsRunUnnamed) {
  struct Case {
    const char* Sql;
    bool SingleRow;
    int Divisor;             // the value of ?d when the text has it
    const char* Error;       // empty: succeeds
    const char* FirstValue;  // of the first row, when it succeeds with rows
  };
  const Case cases[] = {
      {"select 10 / ?d::int as q", false, 5, "", "2"},
      {"select 10 / ?d::int as q", true, 5, "", "2"},
      {"select g from generate_series(1, 3) g", true, 0, "", "1"},
      {"select 1 where false", true, 0, "", nullptr},
      {"selec 1", false, 0, "syntax error", nullptr},
      {"selec 1", true, 0, "syntax error", nullptr},
      {"select 10 / ?d::int", true, 0, "division by zero", nullptr},
      {"select 10 / (g - 2) from generate_series(1, 3) g", true, 0, "division by zero", nullptr},
  };
  const int before = PreparedCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Sql) + (c.SingleRow ? " (single row)" : ""));
    auto command = Command(c.Sql);
    PG(command).SetOneShot(true);
    PG(command).SetSingleRowMode(c.SingleRow);
    command->Prepare();
    if (TmncParam* divisor = command->Params().Param("d"))
      divisor->SetAsInteger(c.Divisor);
    try {
      bool has_row = command->Execute();
      if (*c.Error != '\0') {
        // An error part-way through the rows comes with a later step.
        while (has_row)
          has_row = command->Next();
        ADD_FAILURE() << "no error";
      } else if (c.FirstValue == nullptr) {
        EXPECT_FALSE(has_row);
      } else {
        ASSERT_TRUE(has_row);
        EXPECT_EQ(command->FieldItem(0)->AsString(), c.FirstValue);
      }
    } catch (const EmncSQLError& e) {
      EXPECT_THAT(e.Message(), HasSubstr(c.Error));
      EXPECT_NE(*c.Error, '\0') << e.Message();
    }
    command.reset();
    EXPECT_EQ(PreparedCount(), before);
    auto next = Command("select 7");
    ASSERT_TRUE(next->Execute());
    EXPECT_EQ(next->FieldItem(0)->AsInteger(), 7);
  }

  const std::string name_before = NextPGStatementName();
  transaction_->Start();
  transaction_->Commit();
  transaction_->Start();
  transaction_->Rollback();
  const std::string name_after = NextPGStatementName();
  EXPECT_EQ(std::stoi(name_after.substr(5)), std::stoi(name_before.substr(5)) + 1);
}

TEST_F(PGCommandTest, DuplicateColumnNamesGetSuffixes) {
  auto command = Command("select 1 as id, 2 as id, 3 as \"ID\", 4 as \"'q'\"");
  ASSERT_TRUE(command->Execute());
  std::vector<std::string> names;
  for (TmncColumn* column : command->Columns())
    names.push_back(column->Name());
  EXPECT_THAT(names, ElementsAre("id", "id_1", "ID_2", "q"));
  EXPECT_EQ(command->Field("id_1")->AsInteger(), 2);
}

TEST_F(PGCommandTest, RowsChangedNeedsAResult) {
  auto command = Command("select 1");
  EXPECT_THROW(command->GetRowsChanged(), EmncException);
}

TEST_F(PGCommandTest, CommandsInsideAnEmulatedTransaction) {
  connection_->Execute("drop table if exists qm_cmd_tr");
  connection_->Execute("create table qm_cmd_tr (id int)");
  transaction_->Start();
  auto insert = Command("insert into qm_cmd_tr select generate_series(1, 3)");
  insert->Execute();
  EXPECT_EQ(insert->GetRowsChanged(), 3);
  transaction_->Rollback();
  auto count = Command("select count(*) from qm_cmd_tr");
  ASSERT_TRUE(count->Execute());
  EXPECT_EQ(count->FieldItem(0)->AsInteger(), 0);
  connection_->Execute("drop table qm_cmd_tr");
}

TEST_F(PGCommandTest, SingleRowModeWalksEveryRow) {
  for (int stop_after : {-1, 2}) {
    auto command = Command("select g, 'r' || g as label from generate_series(1, 5) g");
    PG(command).SetSingleRowMode(true);
    std::vector<std::string> labels;
    if (command->Execute()) {
      do {
        labels.push_back(command->Field("label")->AsString());
        EXPECT_EQ(PG(command).Tuple(), 0);
        if (static_cast<int>(labels.size()) == stop_after)
          break;
      } while (command->Next());
    }
    if (stop_after < 0)
      EXPECT_THAT(labels, ElementsAre("r1", "r2", "r3", "r4", "r5"));
    else
      EXPECT_THAT(labels, ElementsAre("r1", "r2"));
    command->Close();  // the rest is drained: the connection can run the next statement
    auto next = Command("select 7");
    ASSERT_TRUE(next->Execute());
    EXPECT_EQ(next->FieldItem(0)->AsInteger(), 7);
  }
  auto empty = Command("select 1 as a where false");
  PG(empty).SetSingleRowMode(true);
  EXPECT_FALSE(empty->Execute());
  EXPECT_EQ(empty->Columns().Count(), 1);
  auto after = Command("select 8");
  ASSERT_TRUE(after->Execute());
}

TEST_F(PGCommandTest, UseLockSerialisesLibraryCalls) {
  connection_->SetUseLock(true);
  auto command = Command("select ?x::int + 1");
  command->Prepare();
  command->Param("x")->SetAsInteger(41);
  ASSERT_TRUE(command->Execute());
  EXPECT_EQ(command->FieldItem(0)->AsInteger(), 42);
}

TEST_F(PGCommandTest, PlainCommandUsesQuestionMarksAsMarkers) {
  auto base = std::make_unique<TmncPGConnection>();
  base->SetHost(settings_.host);
  base->SetPort(settings_.port);
  base->SetUserName(settings_.user);
  base->SetPassword(settings_.password);
  base->SetResource(settings_.database);
  base->Connect();
  auto transaction = base->CreateTransaction();
  auto command = transaction->CreateCommand("select ?a::int * 2 as doubled");
  EXPECT_NE(dynamic_cast<TmncPGCommand*>(command.get()), nullptr);
  EXPECT_EQ(dynamic_cast<TprmPGCommand*>(command.get()), nullptr);
  command->Prepare();
  command->Param("a")->SetAsInteger(21);
  ASSERT_TRUE(command->Execute());
  EXPECT_EQ(command->Field("doubled")->AsInteger(), 42);
}

}  // namespace
}  // namespace qm::pgtest
