#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

#include "db/sqlite/sqlite_command.h"
#include "db/sqlite/sqlite_fixture.h"

namespace qm::sqlite_test {
namespace {

// ---- Rows, columns and types ----

TEST_F(SQLiteTest, TwoRowExampleReadsWithTypesAndNulls) {
  Exec("create table t(id INTEGER, name TEXT)");
  Exec("insert into t values(1, 'a'), (2, NULL)");

  auto command = Command("select id, name from t order by id");
  ASSERT_TRUE(command->Execute());
  TmncColumns& columns = command->Columns();
  ASSERT_EQ(columns.Count(), 2);
  EXPECT_EQ(columns.Items(0)->Name(), "id");
  EXPECT_EQ(columns.Items(0)->DataType(), dtInteger);
  EXPECT_EQ(columns.Items(0)->MetaType(), "INTEGER");
  EXPECT_EQ(columns.Items(1)->Name(), "name");
  EXPECT_EQ(columns.Items(1)->DataType(), dtString);
  EXPECT_EQ(columns.Items(1)->MetaType(), "TEXT");

  EXPECT_EQ(command->Field("id")->GetValue(), Variant(1));
  EXPECT_EQ(command->Field("NAME")->GetValue(), Variant("a"));
  EXPECT_EQ(command->Field("id")->DataType(), dtInteger);
  ASSERT_TRUE(command->Next());
  EXPECT_EQ(command->Field("id")->AsInteger(), 2);
  EXPECT_TRUE(command->Field("name")->IsNull());
  EXPECT_EQ(command->Index(), 1);

  // The end is reported once; more calls stay at the end and keep the last row.
  EXPECT_FALSE(command->Next());
  EXPECT_TRUE(command->Done());
  EXPECT_FALSE(command->Next());
  EXPECT_EQ(command->Field("id")->AsInteger(), 2);

  // The statement was reset, not dropped: it runs again without preparing.
  sqlite3_stmt* statement = static_cast<TmncSQLiteCommand*>(command.get())->Statment();
  ASSERT_NE(statement, nullptr);
  ASSERT_TRUE(command->Execute());
  EXPECT_EQ(static_cast<TmncSQLiteCommand*>(command.get())->Statment(), statement);
  EXPECT_EQ(command->Field("id")->AsInteger(), 1);
}

TEST_F(SQLiteTest, FetchWalksEveryRowAndCloses) {
  Exec("create table t(id INTEGER, name TEXT)");
  Exec("insert into t values(1, 'a'), (2, NULL)");
  auto command = Command("select id, name from t order by id");
  command->Execute();
  EXPECT_EQ(command->AsCSV({asNames}), "id,name\n1,a\n2,");
  command->Close();

  std::vector<int> ids;
  TmncCommandEnumerator rows = command->GetEnumerator();
  while (rows.MoveNext())
    ids.push_back(rows.Current()->Field("id")->AsInteger());
  EXPECT_EQ(ids, (std::vector<int>{1, 2}));
  EXPECT_FALSE(command->Active());
  EXPECT_FALSE(command->Prepared());
}

TEST_F(SQLiteTest, IntegersOutside32BitsReadBackWhole) {
  Exec("create table big(v INTEGER)");
  auto insert = Command("insert into big values(?v)");
  const std::int64_t values[] = {4294967297LL, -5000000000LL, INT64_MAX,
                                 INT64_MIN,    2147483647LL,  -2147483648LL};
  for (std::int64_t v : values) {
    insert->Param("v")->SetAsInt64(v);
    insert->Execute();
  }
  auto rows = Rows("select v from big order by rowid");
  ASSERT_EQ(rows.size(), std::size(values));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0].ToInt64(), values[i]) << i;
    // Values that fit keep the 32-bit kind of a plain integer.
    const bool fits = values[i] >= INT32_MIN && values[i] <= INT32_MAX;
    EXPECT_EQ(rows[i][0].Kind(), fits ? VariantKind::kInt32 : VariantKind::kInt64) << i;
  }
}

TEST_F(SQLiteTest, ColumnTypesFollowStorageClassAndDeclaredType) {
  Exec(
      "create table c(i_date DATE, i_ts timestamp, i_int integer, f_dt DateTime, f_real real,"
      " t_blob Blob, t_ts TIMESTAMP, t_dt datetime, t_text varchar(10), b_any text, n_any integer,"
      " x)");
  Exec(
      "insert into c values(2460385, 2460385, 5, 2460385.25, 1.5, 'raw', '2024-03-15 10:20:30',"
      " '2024-03-15 10:20:30', 'txt', x'0001', NULL, 7)");
  auto command = Command("select * from c");
  ASSERT_TRUE(command->Execute());
  const std::pair<const char*, TmnDataType> expected[] = {
      {"i_date", dtDate},   {"i_ts", dtDate},   {"i_int", dtInteger}, {"f_dt", dtDateTime},
      {"f_real", dtFloat},  {"t_blob", dtBlob}, {"t_ts", dtDateTime}, {"t_dt", dtString},
      {"t_text", dtString}, {"b_any", dtBlob},  {"n_any", dtUnknown}, {"x", dtInteger},
  };
  ASSERT_EQ(command->Columns().Count(), static_cast<int>(std::size(expected)));
  for (int i = 0; i < command->Columns().Count(); ++i) {
    EXPECT_EQ(command->Columns().Items(i)->Name(), expected[i].first);
    EXPECT_EQ(command->Columns().Items(i)->DataType(), expected[i].second) << expected[i].first;
  }
  EXPECT_EQ(command->Columns().Items(11)->MetaType(), "");

  TmncFields& f = *command->Fields();
  const TDateTime day = EncodeDate(2024, 3, 15);
  // INTEGER in a date column: whole days of the Julian day number.
  EXPECT_EQ(f.Values("i_date"), Variant::FromDateTime(day));
  EXPECT_EQ(f.Values("f_dt"), Variant::FromDateTime(day + 0.75));
  EXPECT_EQ(f.Values("t_blob"), Variant(TBytes{'r', 'a', 'w'}));
  EXPECT_EQ(f.Values("t_ts"), Variant::FromDateTime(day + EncodeTime(10, 20, 30, 0)));
  // Only "timestamp" makes TEXT a date: a "datetime" column keeps the text.
  EXPECT_EQ(f.Values("t_dt"), Variant("2024-03-15 10:20:30"));
  EXPECT_EQ(f.Values("b_any"), Variant(TBytes{0, 1}));
  EXPECT_TRUE(f.FieldByName("n_any")->IsNull());
}

TEST_F(SQLiteTest, ColumnNamesLoseOnePairOfQuotesAndKeepTheirText) {
  auto command = Command("select 'abc', \"def\", 1 as \"x y\", 2 as größe");
  ASSERT_TRUE(command->Execute());
  // Names are UTF-8 like everything else the library hands out.
  EXPECT_EQ(command->Columns().Items(3)->Name(), "größe");
  EXPECT_EQ(command->Columns().Items(0)->Name(), "abc");
  EXPECT_EQ(command->Columns().Items(1)->Name(), "def");
  EXPECT_EQ(command->Columns().Items(2)->Name(), "x y");
}

// A result without rows has no values to look at: its columns come from the declared types and
// must match what a row of ordinary values gives.
TEST_F(SQLiteTest, ResultWithoutRowsHasTheColumnsARowWouldGive) {
  Exec(
      "create table c(i INTEGER, t TEXT, v varchar(10), big bigint, r REAL, d double, b BLOB,"
      " dt DATETIME, flag BOOLEAN)");
  auto command = Command("select * from c");
  EXPECT_FALSE(command->Execute());
  EXPECT_TRUE(command->Done());
  const std::pair<const char*, TmnDataType> expected[] = {
      {"i", dtInteger}, {"t", dtString}, {"v", dtString},    {"big", dtInteger},  {"r", dtFloat},
      {"d", dtFloat},   {"b", dtBlob},   {"dt", dtDateTime}, {"flag", dtInteger},
  };
  auto check_columns = [&](const char* when) {
    SCOPED_TRACE(when);
    ASSERT_EQ(command->Columns().Count(), static_cast<int>(std::size(expected)));
    for (int i = 0; i < command->Columns().Count(); ++i) {
      EXPECT_EQ(command->Columns().Items(i)->Name(), expected[i].first);
      EXPECT_EQ(command->Columns().Items(i)->DataType(), expected[i].second) << expected[i].first;
    }
  };
  check_columns("no rows");
  EXPECT_EQ(command->Columns().Items(1)->MetaType(), "TEXT");
  // The session lists a result's fields: there is one per column, all null.
  ASSERT_NE(command->Fields(), nullptr);
  ASSERT_EQ(command->Fields()->Count(), static_cast<int>(std::size(expected)));
  EXPECT_EQ(command->Fields()->Items(7)->Name(), "dt");
  EXPECT_EQ(command->Fields()->Items(0)->DataType(), dtInteger);
  EXPECT_TRUE(command->Fields()->Items(0)->IsNull());
  EXPECT_FALSE(command->Next());

  auto insert =
      Command("insert into c values(5, 'txt', 'v', 5000000000, 1.5, 2, x'00', ?dt, ?flag)");
  insert->Param("dt")->SetValue(Variant::FromDateTime(EncodeDate(2024, 3, 15)));
  insert->Param("flag")->SetValue(Variant(true));
  insert->Execute();
  ASSERT_TRUE(command->Execute());
  check_columns("one row");
}

TEST_F(SQLiteTest, EveryExecutionBuildsItsColumnsAnew) {
  // Without a declared type the first row's value decides; without a row it is a string.
  Exec("create table t(a integer, x)");
  Exec("insert into t values(1, 7)");
  auto command = Command("select a, x from t where a = ?a");
  command->Param("a")->SetAsInteger(1);
  ASSERT_TRUE(command->Execute());
  EXPECT_EQ(command->Columns().Items(1)->DataType(), dtInteger);
  EXPECT_EQ(command->Fields()->Items(1)->GetValue(), Variant(7));

  command->Param("a")->SetAsInteger(9);
  EXPECT_FALSE(command->Execute());
  ASSERT_EQ(command->Columns().Count(), 2);
  EXPECT_EQ(command->Columns().Items(1)->DataType(), dtString);
  // No value of the earlier row survives.
  ASSERT_NE(command->Fields(), nullptr);
  EXPECT_TRUE(command->Fields()->Items(1)->IsNull());

  // A statement without result columns has neither columns nor fields.
  auto update = Command("update t set x = 8");
  EXPECT_FALSE(update->Execute());
  EXPECT_EQ(update->Columns().Count(), 0);
  EXPECT_EQ(update->Fields(), nullptr);
}

// ---- Parameters ----

struct BindCase {
  const char* name;
  Variant value;
  const char* storage;  // typeof() of the bound value
  const char* text;     // the value as SQLite prints it
  friend void PrintTo(const BindCase& c, std::ostream* os) { *os << c.name; }
};

class SQLiteBindTest : public SQLiteTest, public ::testing::WithParamInterface<BindCase> {};

TEST_P(SQLiteBindTest, EachKindIsBoundAsItsStorageClass) {
  const BindCase& c = GetParam();
  auto command = Command("select typeof(?v), quote(?v)");
  command->Param("v")->SetValue(c.value);
  ASSERT_TRUE(command->Execute());
  EXPECT_EQ(command->FieldItem(0)->AsString(), c.storage);
  EXPECT_EQ(command->FieldItem(1)->AsString(), c.text);
}

const TDateTime kNoon = EncodeDate(2024, 3, 15) + 0.5;

INSTANTIATE_TEST_SUITE_P(
    Kinds, SQLiteBindTest,
    ::testing::Values(BindCase{"Null", Variant::MakeNull(), "null", "NULL"},
                      BindCase{"Empty", Variant(), "null", "NULL"},
                      BindCase{"Int32", Variant(std::int32_t{-7}), "integer", "-7"},
                      BindCase{"Int64", Variant(std::int64_t{1} << 40), "integer", "1099511627776"},
                      BindCase{"Double", Variant(1.5), "real", "1.5"},
                      BindCase{"Currency", Variant(Currency{12500}), "real", "1.25"},
                      // The Julian day number of the date-time.
                      BindCase{"DateTime", Variant::FromDateTime(kNoon), "real", "2460385.0"},
                      BindCase{"True", Variant(true), "integer", "1"},
                      BindCase{"False", Variant(false), "integer", "0"},
                      BindCase{"Text", Variant("héllo"), "text", "'héllo'"},
                      BindCase{"EmptyTextIsNull", Variant(""), "null", "NULL"},
                      BindCase{"Int16AsText", Variant(std::int16_t{5}), "text", "'5'"},
                      BindCase{"SingleAsText", Variant(2.5f), "text", "'2.5'"},
                      BindCase{"BytesWithZero", Variant(TBytes{0x41, 0x00, 0x42}), "blob",
                               "X'410042'"},
                      BindCase{"NoBytesIsNull", Variant(TBytes{}), "null", "NULL"}),
    [](const ::testing::TestParamInfo<BindCase>& info) { return std::string(info.param.name); });

TEST_F(SQLiteTest, PreparedStatementRunsTwiceWithOtherValues) {
  Exec("create table t(id integer, name text)");
  auto insert = Command("insert into t values(?id, ?name)");
  insert->Prepare();
  sqlite3_stmt* statement = static_cast<TmncSQLiteCommand*>(insert.get())->Statment();
  insert->Param("id")->SetAsInteger(1);
  insert->Param("name")->SetAsString("one");
  EXPECT_FALSE(insert->Execute());
  insert->Param("id")->SetAsInteger(2);
  insert->Param("name")->SetAsString("two");
  EXPECT_FALSE(insert->Execute());
  EXPECT_EQ(static_cast<TmncSQLiteCommand*>(insert.get())->Statment(), statement);
  EXPECT_EQ(insert->GetRowsChanged(), 1);
  EXPECT_EQ(insert->GetLastRowID(), 2);

  auto select = Command("select name from t where id = ?id");
  for (auto [id, name] : {std::pair{2, "two"}, std::pair{1, "one"}}) {
    select->Param("id")->SetAsInteger(id);
    ASSERT_TRUE(select->Execute()) << id;
    EXPECT_EQ(select->FieldItem(0)->AsString(), name);
    EXPECT_FALSE(select->Next());
  }
}

// SQLite prepares the first statement and hands back the rest; running only the first would
// drop the others unseen, so the text is refused and nothing of it runs.
TEST_F(SQLiteTest, TextAfterTheFirstStatementIsRefused) {
  Exec("create table t(a integer)");
  auto command = Command("insert into t values(1); insert into t values(2)");
  EXPECT_THROW(command->Execute(), EmncException);
  EXPECT_EQ(Scalar("select count(*) from t"), Variant(0));
}

// ---- Dates ----

TEST_F(SQLiteTest, DatesRoundTripAsJulianDays) {
  Exec("create table d(at datetime)");
  const TDateTime when = EncodeDate(2024, 3, 15) + EncodeTime(18, 30, 0, 0);
  auto insert = Command("insert into d values(?at)");
  insert->Param("at")->SetAsDateTime(when);
  insert->Execute();

  // Stored as the REAL Julian day, which SQLite's own date functions understand.
  EXPECT_EQ(Scalar("select typeof(at) from d"), Variant("real"));
  EXPECT_EQ(Scalar("select datetime(at) from d"), Variant("2024-03-15 18:30:00"));
  const Variant back = Scalar("select at from d");
  ASSERT_EQ(back.Kind(), VariantKind::kDateTime);
  EXPECT_NEAR(back.ToDateTime(), when, 1e-6);
}

TEST(SQLiteDateTest, WithoutCorrectDateTimeTheNumberIsStoredAsIs) {
  TempFolder folder;
  TprmSQLiteConnection connection;
  connection.SetResource(folder.File("raw.sqlite"));
  connection.SetCorrectDateTime(false);
  connection.Connect();
  auto transaction = connection.CreateTransaction();
  transaction->Execute("create table d(at datetime, day date)");
  auto insert = transaction->CreateCommand("insert into d values(?at, 45366)");
  insert->Param("at")->SetAsDateTime(45366.25);
  insert->Execute();
  auto select = transaction->CreateCommand("select at, day, at + 0 as raw from d");
  ASSERT_TRUE(select->Execute());
  EXPECT_EQ(select->Field("at")->GetValue(), Variant::FromDateTime(45366.25));
  EXPECT_EQ(select->Field("day")->GetValue(), Variant::FromDateTime(45366));
  EXPECT_EQ(select->Field("raw")->GetValue(), Variant(45366.25));
}

TEST_F(SQLiteTest, ImpossibleTimestampTextStaysText) {
  Exec("create table d(at timestamp)");
  Exec("insert into d values('2024-03-15 01:02:03'), ('2024-13-45 99:99:99')");
  auto rows = Rows("select at from d order by rowid");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0].Kind(), VariantKind::kDateTime);
  EXPECT_EQ(rows[1][0], Variant("2024-13-45 99:99:99"));
}

// ---- Errors ----

TEST_F(SQLiteTest, ConstraintViolationSurfacesAtTheFirstRowAndLeavesNoStatement) {
  Exec("create table u(id integer primary key, name text not null)");
  auto insert = Command("insert into u(name) values(?name)");
  insert->Param("name")->SetIsNull(true);
  const std::string message = MessageOf([&] { insert->Execute(); });
  EXPECT_EQ(message.rfind("sqlite: NOT NULL constraint failed: u.name", 0), 0u) << message;
  EXPECT_EQ(static_cast<TmncSQLiteCommand*>(insert.get())->Statment(), nullptr);
  EXPECT_FALSE(insert->Active());

  // Without the first row the error waits for Next.
  insert->Param("name")->SetIsNull(true);
  EXPECT_TRUE(insert->Execute(false));
  EXPECT_THROW(insert->Next(), EmncException);

  // The command recovers: the next execution prepares the statement again.
  insert->Param("name")->SetAsString("ok");
  EXPECT_FALSE(insert->Execute());
  EXPECT_EQ(Scalar("select name from u"), Variant("ok"));
}

// Clients match these texts: "sqlite: " + message, then " - " + detail whenever there is one,
// even when the detail repeats the message.
TEST_F(SQLiteTest, ErrorTextsAlwaysCarryTheirDetail) {
  Exec("create table p(id integer primary key)");
  Exec("create table c(p integer references p(id) deferrable initially deferred)");
  Exec("create table k(id integer primary key)");
  Exec("insert into k values(1)");
  transaction->Commit();

  struct Case {
    const char* what;
    std::function<void()> run;
    std::string text;
  };
  const Case cases[] = {
      // A failed step finalizes the statement, which reports the same error: that is the detail.
      {"step",
       [&] {
         transaction->Start();
         Command("insert into k values(1)")->Execute();
       },
       "sqlite: UNIQUE constraint failed: k.id - UNIQUE constraint failed: k.id"},
      // Preparing fails before there is a statement: no detail.
      {"prepare", [&] { Command("select * from missing_table")->Execute(); },
       "sqlite: no such table: missing_table"},
      // Transaction control runs directly; its error text is the detail.
      {"begin", [&] { connection->Execute("BEGIN"); },
       "sqlite: cannot start a transaction within a transaction - cannot start a transaction "
       "within a transaction"},
      {"commit",
       [&] {
         Exec("insert into c values(7)");
         transaction->Commit();
       },
       "sqlite: FOREIGN KEY constraint failed - FOREIGN KEY constraint failed"},
      // The first ROLLBACK ends what the failed COMMIT left open; the second has nothing to end.
      {"rollback",
       [&] {
         connection->Execute("ROLLBACK");
         connection->Execute("ROLLBACK");
       },
       "sqlite: cannot rollback - no transaction is active - cannot rollback - no transaction is "
       "active"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MessageOf(c.run), c.text) << c.what;
}

TEST_F(SQLiteTest, PrepareErrorsCarryTheLibraryMessage) {
  auto command = Command("select * from missing_table");
  EXPECT_EQ(MessageOf([&] { command->Execute(); }), "sqlite: no such table: missing_table");
  EXPECT_FALSE(command->Prepared());
}

TEST_F(SQLiteTest, PreparedCommandSurvivesASchemaChange) {
  Exec("create table s(a integer)");
  Exec("insert into s values(1)");
  auto select = Command("select * from s");
  ASSERT_TRUE(select->Execute());
  EXPECT_EQ(select->Fields()->Count(), 1);
  EXPECT_FALSE(select->Next());
  Exec("alter table s add column b text default 'x'");
  ASSERT_TRUE(select->Execute());
  ASSERT_EQ(select->Fields()->Count(), 2);
  EXPECT_EQ(select->Field("b")->AsString(), "x");
}

TEST_F(SQLiteTest, InterruptStopsARunningStatementFromAnotherThread) {
  auto command = Command(
      "with recursive c(x) as (select 1 union all select x + 1 from c where x < 2000000000)"
      " select count(*) from c");
  std::atomic<bool> finished{false};
  std::thread interrupter([&] {
    while (!finished.load()) {
      connection->Interrupt();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const std::string message = MessageOf([&] { command->Execute(); });
  finished = true;
  interrupter.join();
  EXPECT_EQ(message.rfind("sqlite: interrupted", 0), 0u) << message;
}

// ---- Transactions ----

TEST_F(SQLiteTest, TransactionsOfAConnectionShareOneEngineTransaction) {
  Exec("create table t(a integer)");
  transaction->Commit();

  // Two transaction objects, one engine transaction: the first start begins it, the last stop
  // ends it. (SQLite would refuse a second BEGIN.)
  auto second = connection->CreateTransaction();
  transaction->Start();
  second->Start();
  EXPECT_EQ(connection->StartCount(), 2);
  Command("insert into t values(1)", second.get())->Execute();
  second->Commit();
  EXPECT_EQ(connection->StartCount(), 1);
  transaction->Rollback();
  EXPECT_EQ(connection->StartCount(), 0);
  EXPECT_EQ(Scalar("select count(*) from t"), Variant(0));

  // Nested levels of one transaction: a rollback inside makes the final stop a rollback.
  transaction->Start();
  transaction->Start();
  Exec("insert into t values(2)");
  transaction->Rollback();
  EXPECT_EQ(Scalar("select count(*) from t"), Variant(1));
  transaction->Commit();
  EXPECT_EQ(Scalar("select count(*) from t"), Variant(0));
}

TEST_F(SQLiteTest, CommittedRowsAreSeenByAnotherConnection) {
  Exec("create table t(a integer)");
  Exec("insert into t values(1)");
  transaction->CommitRetaining();
  EXPECT_TRUE(transaction->Active());

  auto other = Open(File("test.sqlite"));
  auto other_transaction = other->CreateTransaction();
  EXPECT_EQ(Scalar("select count(*) from t", other_transaction.get()), Variant(1));

  Exec("insert into t values(2)");
  transaction->Commit();
  EXPECT_FALSE(transaction->Active());
  EXPECT_EQ(Scalar("select count(*) from t", other_transaction.get()), Variant(2));
}

// Sessions of one server share database files: a second writer waits for the first one's
// transaction instead of failing with "locked". `commit` ends the first writer's transaction,
// from another thread after a moment; `writer` inserts meanwhile and commits.
void ExpectSecondWriterWaits(TmncSQLTransaction& writer, const std::function<void()>& commit) {
  std::atomic<bool> committing{false};
  std::thread first([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    committing = true;
    commit();
  });
  std::string message;
  try {
    writer.CreateCommand("insert into t values(2)")->Execute();
  } catch (const Exception& e) {
    message = e.Message();
  }
  first.join();
  EXPECT_EQ(message, "");
  // The insert could only go through once the first writer let go.
  EXPECT_TRUE(committing.load());
  writer.Commit();
}

TEST_F(SQLiteTest, SecondWriterOfThisProcessWaitsForTheFirstToCommit) {
  Exec("create table t(a integer)");
  transaction->Commit();
  auto other = Open(File("test.sqlite"));
  auto other_transaction = other->CreateTransaction();

  // Connections of one process share the file's cache, where the lock is on the table.
  transaction->Start();
  Exec("insert into t values(1)");
  other_transaction->Start();
  ExpectSecondWriterWaits(*other_transaction, [&] { transaction->Commit(); });
  EXPECT_EQ(Scalar("select count(*) from t", other_transaction.get()), Variant(2));
}

TEST_F(SQLiteTest, SecondWriterWaitsForAnotherCachesFileLock) {
  Exec("create table t(a integer)");
  transaction->Commit();

  // A connection outside the shared cache (as another process would be) locks the whole file.
  TmncSQLiteLib& lib = SQLiteLib();
  sqlite3* holder = nullptr;
  ASSERT_EQ(
      lib.sqlite3_open_v2(File("test.sqlite").c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr),
      SQLITE_OK);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> guard(holder, lib.sqlite3_close);
  ASSERT_EQ(lib.sqlite3_exec(holder, "BEGIN IMMEDIATE; insert into t values(1)", nullptr, nullptr,
                             nullptr),
            SQLITE_OK);

  transaction->Start();
  ExpectSecondWriterWaits(*transaction,
                          [&] { lib.sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr); });
  EXPECT_EQ(Scalar("select count(*) from t"), Variant(2));
}

TEST_F(SQLiteTest, RowCountersNeedAnActiveTransaction) {
  Exec("create table t(id integer primary key, a integer)");
  Exec("insert into t(a) values(1), (2), (3)");
  auto update = Command("update t set a = a + 1 where a >= 2");
  update->Execute();
  EXPECT_EQ(update->GetRowsChanged(), 2);
  auto* sqlite_transaction = static_cast<TmncSQLiteTransaction*>(transaction.get());
  EXPECT_EQ(sqlite_transaction->GetLastRowID(), 3);
  transaction->Commit();
  EXPECT_EQ(MessageOf([&] { sqlite_transaction->GetLastRowID(); }),
            "Transaction is not active/opened");
  EXPECT_EQ(MessageOf([&] { update->GetRowsChanged(); }), "Transaction is not active/opened");
}

TEST_F(SQLiteTest, ScriptsRunLineByLine) {
  transaction->ExecuteScript(
      {"create table t(a integer);", "insert into t", "values(1);", "insert into t values(2);"});
  EXPECT_EQ(Scalar("select sum(a) from t"), Variant(3));
  const std::string message = MessageOf([&] {
    transaction->ExecuteScript({"insert into t values(3);", "insert into nope values(4);"});
  });
  EXPECT_EQ(message, "sqlite: no such table: nope\r on script number 2");
}

}  // namespace
}  // namespace qm::sqlite_test
