#include "db/sqlite/sqlite_connection.h"

#include <gtest/gtest.h>

#include <fstream>

#include "db/sqlite/sqlite_fixture.h"

namespace qm::sqlite_test {
namespace {

bool FileExists(const std::string& file) {
  return std::filesystem::exists(file);
}

// ---- Opening ----

TEST(SQLiteConnectionTest, MissingFileIsCreatedOnceAndMarked) {
  TempFolder folder;
  const std::string file = folder.File("new.sqlite");
  {
    TprmSQLiteConnection connection;
    connection.SetResource(file);
    connection.Connect();
    EXPECT_TRUE(connection.Connected());
    EXPECT_TRUE(connection.States().Contains(cstCreated));
    EXPECT_TRUE(FileExists(file));
    connection.Execute("create table t(a integer)");
  }
  TprmSQLiteConnection again;
  again.SetResource(file);
  again.Connect();
  EXPECT_FALSE(again.States().Contains(cstCreated));
  again.Disconnect();
  EXPECT_FALSE(again.Connected());
  EXPECT_EQ(again.DBHandle(), nullptr);
}

TEST(SQLiteConnectionTest, MissingFileWithoutAutoCreateIsRefused) {
  TempFolder folder;
  const std::string file = folder.File("absent.sqlite");
  TprmSQLiteConnection connection;
  connection.SetAutoCreate(false);
  connection.SetResource(file);
  EXPECT_EQ(MessageOf([&] { connection.Connect(); }), "Database not exist: \"" + file + "\"");
  EXPECT_FALSE(connection.Connected());
  EXPECT_FALSE(FileExists(file));
}

TEST(SQLiteConnectionTest, OpenFailuresCarryTheLibraryMessage) {
  TempFolder folder;
  {
    // The folder of the file does not exist: the library cannot create it.
    const std::string file = folder.File("no/such/folder/db.sqlite");
    TprmSQLiteConnection connection;
    connection.SetResource(file);
    EXPECT_EQ(MessageOf([&] { connection.Connect(); }),
              "sqlite: unable to open database file - " + file);
    EXPECT_FALSE(connection.Connected());
  }
  {
    // A file that is no database opens, then fails at the first pragma; the connection must
    // not stay half open.
    const std::string file = folder.File("garbage.sqlite");
    std::ofstream(file) << std::string(4096, 'x');
    TprmSQLiteConnection connection;
    connection.SetResource(file);
    const std::string message = MessageOf([&] { connection.Connect(); });
    EXPECT_EQ(message.rfind("sqlite: file is not a database", 0), 0u) << message;
    EXPECT_FALSE(connection.Connected());
  }
}

TEST(SQLiteConnectionTest, MissingLibraryGivesTheLoaderError) {
  TmncSQLiteLib missing("/nonexistent/libsqlite3.so.0");
  EXPECT_EQ(MessageOf([&] { TprmSQLiteConnection connection(missing); }),
            "Can not load library \"/nonexistent/libsqlite3.so.0\". Check your installation. "
            "(/nonexistent/libsqlite3.so.0: cannot open shared object file: No such file or "
            "directory)");
  EXPECT_THROW(TprmSQLiteConnection{missing}, EInOutError);
  EXPECT_EQ(SQLiteLib().LibraryName(), "libsqlite3.so.0");
}

TEST(SQLiteConnectionTest, DescribesItself) {
  TprmSQLiteConnection connection;
  EXPECT_EQ(connection.EngineName(), "SQLite");
  EXPECT_EQ(connection.GetExtension(), ".sqlite");
  EXPECT_EQ(connection.Capabilities().Bits(), 573u);
  EXPECT_EQ(connection.GetNextIDSQL("gen", 5), "select max('gen')+5");
  EXPECT_EQ(connection.GetVersion().rfind("3.", 0), 0u);
  EXPECT_TRUE(connection.CorrectDateTime());
  EXPECT_TRUE(connection.AutoCreate());
  EXPECT_FALSE(connection.Exclusive());
}

// ---- Pragmas and options ----

struct PragmaCase {
  bool exclusive;
  TmncTempStore temp_store;
  TmncJournalMode journal;
  TmncSynchronous synchronous;
  const char* locking_mode;
  std::int64_t temp_store_value;
  const char* journal_mode;
  std::int64_t synchronous_value;
  friend void PrintTo(const PragmaCase& c, std::ostream* os) {
    *os << (c.exclusive ? "exclusive/" : "normal/") << c.journal_mode << "/" << c.synchronous_value
        << "/" << c.temp_store_value;
  }
};

class SQLitePragmaTest : public ::testing::TestWithParam<PragmaCase> {};

TEST_P(SQLitePragmaTest, ConnectAppliesTheOptions) {
  const PragmaCase& c = GetParam();
  TempFolder folder;
  TprmSQLiteConnection connection;
  connection.SetResource(folder.File("p.sqlite"));
  connection.SetExclusive(c.exclusive);
  connection.SetTempStore(c.temp_store);
  connection.SetJournalMode(c.journal);
  connection.SetSynchronous(c.synchronous);
  connection.Connect();
  auto transaction = connection.CreateTransaction();
  auto value = [&](const std::string& pragma) {
    auto command = transaction->CreateCommand("PRAGMA " + pragma);
    EXPECT_TRUE(command->Execute());
    return command->FieldItem(0)->GetValue();
  };
  EXPECT_EQ(value("encoding").ToString(), "UTF-8");
  EXPECT_EQ(value("foreign_keys").ToInt64(), 1);
  EXPECT_EQ(value("locking_mode").ToString(), c.locking_mode);
  EXPECT_EQ(value("temp_store").ToInt64(), c.temp_store_value);
  EXPECT_EQ(value("journal_mode").ToString(), c.journal_mode);
  EXPECT_EQ(value("synchronous").ToInt64(), c.synchronous_value);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SQLitePragmaTest,
    ::testing::Values(
        // The defaults: what every session connection runs.
        PragmaCase{false, tmpDefault, jrmDefault, syncDefault, "normal", 0, "delete", 2},
        // Temp store is applied only in exclusive mode.
        PragmaCase{false, tmpMemory, jrmTruncate, syncOFF, "normal", 0, "truncate", 0},
        PragmaCase{true, tmpMemory, jrmWal, syncNormal, "exclusive", 2, "wal", 1},
        PragmaCase{true, tmpFile, jrmPersist, syncFull, "exclusive", 1, "persist", 2},
        PragmaCase{false, tmpDefault, jrmMemory, syncDefault, "normal", 0, "memory", 2},
        PragmaCase{false, tmpDefault, jrmOff, syncDefault, "normal", 0, "off", 2}));

TEST(SQLiteConnectionTest, LockedOptionsRefuseChangesWhileConnected) {
  TempFolder folder;
  TprmSQLiteConnection connection;
  connection.SetResource(folder.File("o.sqlite"));
  connection.Connect();
  EXPECT_EQ(MessageOf([&] { connection.SetExclusive(true); }),
            "You can not set Exclusive when Transaction active");
  EXPECT_EQ(MessageOf([&] { connection.SetJournalMode(jrmWal); }),
            "You can not set JournalMode when Transaction active");
  EXPECT_EQ(MessageOf([&] { connection.SetReadCommited(true); }),
            "You can not set ReadCommited when Transaction active");
  EXPECT_EQ(MessageOf([&] { connection.SetTempStore(tmpMemory); }),
            "You can not set TempStore when Transaction active");
  EXPECT_FALSE(connection.Exclusive());
  EXPECT_EQ(connection.JournalMode(), jrmDefault);
  EXPECT_FALSE(connection.ReadCommited());
  EXPECT_EQ(connection.TempStore(), tmpDefault);

  // The same value is always allowed, and the free options change at any time.
  connection.SetExclusive(false);
  connection.SetJournalMode(jrmDefault);
  connection.SetSynchronous(syncOFF);
  connection.SetCorrectDateTime(false);
  connection.SetAutoCreate(false);

  connection.Disconnect();
  connection.SetExclusive(true);
  EXPECT_TRUE(connection.Exclusive());
}

// ---- Direct execution and errors ----

TEST(SQLiteConnectionTest, DirectExecuteRunsEveryStatementAndReportsErrors) {
  TempFolder folder;
  TprmSQLiteConnection connection;
  connection.SetResource(folder.File("d.sqlite"));
  connection.Connect();
  connection.Execute("create table t(a integer); insert into t values(1); insert into t values(2)");
  auto transaction = connection.CreateTransaction();
  auto command = transaction->CreateCommand("select count(*) from t");
  ASSERT_TRUE(command->Execute());
  EXPECT_EQ(command->FieldItem(0)->AsInteger(), 2);
  command->Close();

  // The error text of the run is the detail, written even though it repeats the message.
  EXPECT_EQ(MessageOf([&] { connection.Execute("insert into nope values(1)"); }),
            "sqlite: no such table: nope - no such table: nope");
  EXPECT_EQ(MessageOf([&] { connection.Execute("selec 1"); }),
            "sqlite: near \"selec\": syntax error - near \"selec\": syntax error");
}

TEST(SQLiteConnectionTest, DisconnectWithAnOpenStatementFailsAndStaysConnected) {
  TempFolder folder;
  TprmSQLiteConnection connection;
  connection.SetResource(folder.File("b.sqlite"));
  connection.Connect();
  auto transaction = connection.CreateTransaction();
  auto command = transaction->CreateCommand("select 1");
  ASSERT_TRUE(command->Execute());
  const std::string message = MessageOf([&] { connection.Disconnect(); });
  EXPECT_EQ(message.rfind("sqlite: unable to close", 0), 0u) << message;
  EXPECT_TRUE(connection.Connected());
  command->Close();
  connection.Disconnect();
  EXPECT_FALSE(connection.Connected());
}

TEST(SQLiteConnectionTest, ConnectionFreedBeforeItsCommandsLeavesThemClosable) {
  TempFolder folder;
  auto connection = std::make_unique<TprmSQLiteConnection>();
  connection->SetResource(folder.File("z.sqlite"));
  connection->Connect();
  auto transaction = connection->CreateTransaction();
  auto command = transaction->CreateCommand("select 1 union all select 2");
  ASSERT_TRUE(command->Execute());
  connection.reset();  // the statement is still open: the database closes after it
  EXPECT_EQ(command->FieldItem(0)->AsInteger(), 1);
  command->Close();
  EXPECT_FALSE(command->Active());
}

TEST(SQLiteConnectionTest, DatabaseFilesAreDroppedAndVacuumed) {
  TempFolder folder;
  const std::string file = folder.File("drop.sqlite");
  TprmSQLiteConnection connection;
  connection.SetResource(file);
  EXPECT_FALSE(connection.IsDatabaseExists());
  connection.CreateDatabase();  // creates nothing: connecting does
  EXPECT_FALSE(FileExists(file));
  connection.Connect();
  connection.Execute("create table t(a)");
  connection.Vacuum();
  EXPECT_TRUE(connection.IsDatabaseExists());
  connection.Disconnect();
  connection.DropDatabase(true);
  EXPECT_FALSE(FileExists(file));
  connection.DropDatabase(false);  // a failed deletion is ignored
  connection.DropDatabase(folder.File("never"), true);
}

}  // namespace
}  // namespace qm::sqlite_test
