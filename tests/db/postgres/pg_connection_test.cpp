// The PostgreSQL connection against a real server: connecting, session settings and variables,
// notices, transactions, listen/notify, large objects and administration.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "db/db_errors.h"
#include "db/postgres/pg_transaction.h"
#include "db/postgres/postgres_fixture.h"
#include "support/pool.h"

namespace qm::pgtest {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class PGConnectionTest : public PostgresTest {};

TEST_F(PGConnectionTest, ConnectSendsSessionSettings) {
  auto connection = NewConnection();
  connection->SetLockTimeout(5000);
  connection->Connect();
  ASSERT_TRUE(connection->Connected());
  EXPECT_TRUE(connection->TestConnected());
  EXPECT_EQ(QueryValue(*connection, "show client_encoding"), "UNICODE");  // as it was set
  EXPECT_EQ(QueryValue(*connection, "select pg_client_encoding()"), "UTF8");
  EXPECT_EQ(QueryValue(*connection, "show bytea_output"), "escape");
  EXPECT_EQ(QueryValue(*connection, "show datestyle"), "ISO, MDY");
  EXPECT_EQ(QueryValue(*connection, "show lock_timeout"), "5s");
  connection->Disconnect();
  EXPECT_FALSE(connection->Connected());
  EXPECT_EQ(connection->Handle(), nullptr);
}

TEST_F(PGConnectionTest, SimpleConnectionConnectsToo) {
  auto connection = NewConnection();
  connection->SetSimpleConnection(true);
  connection->SetAppName("simple");
  connection->Connect();
  EXPECT_EQ(QueryValue(*connection, "select current_database()"), settings_.database);
}

TEST_F(PGConnectionTest, WrongPasswordFailsAndLeavesNoHandle) {
  for (bool simple : {false, true}) {
    auto connection = NewConnection();
    connection->SetSimpleConnection(simple);
    connection->SetPassword(settings_.password + "-wrong");
    try {
      connection->Connect();
      ADD_FAILURE() << "connected with a wrong password";
    } catch (const EmncConnectFailed& e) {
      EXPECT_THAT(e.Message(), StartsWith("Postgre connection failed\r"));
      EXPECT_THAT(e.Message(), HasSubstr("password authentication failed"));
    }
    EXPECT_FALSE(connection->Connected());
    EXPECT_EQ(connection->Handle(), nullptr);
  }
}

TEST_F(PGConnectionTest, PasswordWithQuoteSpaceAndBackslash) {
  auto admin = Connect();
  const std::string role = "qm_odd_password";
  const std::string password = "it's a \\ secret";
  admin->Execute("drop role if exists " + role);
  admin->Execute("create role " + role + " login password '" + admin->EscapeLiteral(password) +
                 "'");
  for (bool simple : {false, true}) {
    auto connection = NewConnection();
    connection->SetSimpleConnection(simple);
    connection->SetUserName(role);
    connection->SetPassword(password);
    connection->SetAppName("it's \\ an app");
    ASSERT_NO_THROW(connection->Connect()) << "simple " << simple;
    EXPECT_EQ(QueryValue(*connection, "select current_user"), role);
    if (!simple) {
      EXPECT_EQ(QueryValue(*connection, "show application_name"), "it's \\ an app");
    }
  }
  admin->Execute("drop role " + role);
}

TEST_F(PGConnectionTest, SetVariableEscapesTheValueAndRefusesOddNames) {
  auto connection = Connect();
  const std::string value = "a'b\\c; drop table x; --";
  connection->SetVariable("RemoteIP", value);
  EXPECT_EQ(QueryValue(*connection, "select current_setting('globals.remoteip')"), value);

  for (const char* name : {"", "a b", "x = 1; drop table t; --", "1abc", "a.b"}) {
    EXPECT_THROW(connection->SetVariable(name, "v"), EprmException) << name;
  }
  EXPECT_EQ(QueryValue(*connection, "select 1"), "1");  // still usable
}

TEST_F(PGConnectionTest, DirectExecuteErrorKeepsTheConnectionUsable) {
  auto connection = Connect();
  try {
    connection->Execute("select * from qm_no_such_table");
    ADD_FAILURE() << "no error";
  } catch (const EmncSQLError& e) {
    EXPECT_THAT(e.Message(), StartsWith("Postgre command: ERROR:  relation"));
  }
  EXPECT_EQ(QueryValue(*connection, "select 2"), "2");
}

// Records every DoNotices call.
class NoticeConnection : public TprmPGConnection {
 public:
  ~NoticeConnection() override { BeforeDestruction(); }
  struct Call {
    std::string message;
    bool committed;
  };
  std::vector<Call> calls;

 protected:
  void DoNotices(TmncPGNoticeItems& notices, bool committed) override {
    TprmPGConnection::DoNotices(notices, committed);
    calls.push_back({notices.Message(), committed});
  }
};

TEST_F(PGConnectionTest, NoticesReachDoNoticesAtTransactionEnd) {
  auto connection = Connect<NoticeConnection>();
  auto transaction = connection->CreateTransaction();

  transaction->Start();
  transaction->Execute("do $$ begin raise notice 'first one'; raise warning 'second'; end $$");
  EXPECT_TRUE(connection->calls.empty());
  transaction->Commit();
  ASSERT_EQ(connection->calls.size(), 1u);
  EXPECT_EQ(connection->calls[0].message, "NOTICE: first one\r WARNING: second");
  EXPECT_TRUE(connection->calls[0].committed);
  EXPECT_EQ(connection->Notices().Count(), 0);

  transaction->Start();
  transaction->Execute("do $$ begin raise notice 'rolled'; end $$");
  transaction->Rollback();
  ASSERT_EQ(connection->calls.size(), 2u);
  EXPECT_EQ(connection->calls[1].message, "NOTICE: rolled");
  EXPECT_FALSE(connection->calls[1].committed);
}

TEST_F(PGConnectionTest, TransactionsShareOneEngineTransaction) {
  auto connection = Connect();
  auto observer = Connect();
  connection->Execute("drop table if exists qm_tr_test");
  connection->Execute("create table qm_tr_test (id int)");
  const auto status = [&] { return PGLib().PQtransactionStatus(connection->Handle()); };

  auto t1 = connection->CreateTransaction();
  auto t2 = connection->CreateTransaction();
  t1->Start();
  EXPECT_EQ(status(), PQTRANS_INTRANS);
  t2->Start();
  t2->Execute("insert into qm_tr_test values (1)");
  t2->Commit();
  EXPECT_EQ(status(), PQTRANS_INTRANS);  // the inner commit ends nothing on the server
  EXPECT_EQ(QueryValue(*observer, "select count(*) from qm_tr_test"), "0");
  t1->Commit();
  EXPECT_EQ(status(), PQTRANS_IDLE);
  EXPECT_EQ(QueryValue(*observer, "select count(*) from qm_tr_test"), "1");

  // A rollback by either transaction turns the final stop into a rollback.
  t1->Start();
  t2->Start();
  t2->Execute("insert into qm_tr_test values (2)");
  t2->Rollback();
  EXPECT_EQ(status(), PQTRANS_INTRANS);
  t1->Commit();
  EXPECT_EQ(status(), PQTRANS_IDLE);
  EXPECT_EQ(QueryValue(*observer, "select count(*) from qm_tr_test"), "1");

  // A retaining commit makes the work so far visible and keeps a transaction open.
  t1->Start();
  t1->Execute("insert into qm_tr_test values (3)");
  t1->CommitRetaining();
  EXPECT_EQ(status(), PQTRANS_INTRANS);
  EXPECT_EQ(QueryValue(*observer, "select count(*) from qm_tr_test"), "2");
  t1->Execute("insert into qm_tr_test values (4)");
  t1->Rollback();
  EXPECT_EQ(status(), PQTRANS_IDLE);
  EXPECT_EQ(QueryValue(*observer, "select count(*) from qm_tr_test"), "2");

  TmncPGTransaction& pg = static_cast<TmncPGTransaction&>(*t1);
  pg.SetExclusive(true);  // inactive: stored
  EXPECT_TRUE(pg.Exclusive());
  pg.Start();
  EXPECT_THROW(pg.SetExclusive(false), EprmException);
  pg.Rollback();
  connection->Execute("drop table qm_tr_test");
}

TEST_F(PGConnectionTest, TRExecuteCommitsOrRollsBack) {
  auto connection = Connect();
  connection->Execute("drop table if exists qm_trx_test");
  connection->Execute("create table qm_trx_test (id int)");
  connection->TRExecute(
      [](TmncPGTransaction& t) { t.Execute("insert into qm_trx_test values (1)"); });
  EXPECT_THROW(connection->TRExecute([](TmncPGTransaction& t) {
    t.Execute("insert into qm_trx_test values (2)");
    t.Execute("select * from qm_no_such_table");
  }),
               EmncEngineError);
  EXPECT_EQ(QueryValue(*connection, "select string_agg(id::text, ',') from qm_trx_test"), "1");
  connection->TRExecute([](TmncPGTransaction& t) {
    EXPECT_EQ(t.ServerEncoding(), "UTF8");
    EXPECT_EQ(t.CountTable("qm_trx_test"), 1);
  });
  connection->Execute("drop table qm_trx_test");
}

TEST_F(PGConnectionTest, ListenInOneConnectionNotifyFromAnother) {
  auto listener = Connect();
  auto sender = Connect();
  listener->StartListen("qm_channel");
  sender->Execute("notify qm_channel, 'first'");
  sender->Execute("select pg_notify('qm_channel', 'second')");
  const int sender_pid = PGLib().PQbackendPID(sender->Handle());

  std::vector<TmncNotification> received;
  // The notifications travel asynchronously: collect for a bounded while.
  for (int i = 0; i < 200 && received.size() < 2; ++i) {
    for (TmncNotification& n : listener->ReceiveNotifications())
      received.push_back(n);
    if (received.size() < 2)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].Channel, "qm_channel");
  EXPECT_EQ(received[0].Payload, "first");
  EXPECT_EQ(received[1].Payload, "second");
  EXPECT_EQ(received[0].PID, sender_pid);
  EXPECT_TRUE(listener->ReceiveNotifications().empty());  // consumed

  listener->StopListen("qm_channel");
  sender->Execute("notify qm_channel, 'late'");
  QueryValue(*listener, "select 1");  // a round trip that would carry a notification
  EXPECT_TRUE(listener->ReceiveNotifications().empty());
}

TEST_F(PGConnectionTest, AdvisoryLocks) {
  auto a = Connect();
  auto b = Connect();
  EXPECT_TRUE(a->TryAdvisoryLock(4242));
  EXPECT_FALSE(b->TryAdvisoryLock(4242));
  EXPECT_TRUE(a->AdvisoryUnlock(4242));
  EXPECT_FALSE(a->AdvisoryUnlock(4242));
  EXPECT_TRUE(b->TryAdvisoryLock(4242));
  EXPECT_TRUE(b->AdvisoryUnlock(4242));
}

TEST_F(PGConnectionTest, SequencesThroughNextID) {
  auto connection = Connect();
  connection->Execute("drop sequence if exists qm_seq");
  connection->Execute("create sequence qm_seq");
  EXPECT_EQ(connection->NextID("qm_seq", 1), 1);
  EXPECT_EQ(connection->NextID("qm_seq", 10), 11);
  EXPECT_EQ(connection->NextID("qm_seq", 0), 11);
  connection->Execute("drop sequence qm_seq");
}

TEST_F(PGConnectionTest, DatabaseAdministration) {
  auto connection = Connect();
  connection->DropDatabase("qm_admin_db", false);
  connection->DropDatabase("qm_admin_db1", false);
  connection->DropDatabase("qm_admin_db2", false);
  EXPECT_FALSE(connection->IsDatabaseExists("qm_admin_db"));
  EXPECT_EQ(connection->UniqueDBName("qm_admin_db"), "qm_admin_db");

  connection->CreateDatabase("qm_admin_db", false);
  EXPECT_TRUE(connection->IsDatabaseExists("qm_admin_db"));
  EXPECT_EQ(connection->UniqueDBName("qm_admin_db"), "qm_admin_db1");
  EXPECT_THAT(connection->EnumDatabases(), ::testing::Contains("qm_admin_db"));
  EXPECT_THAT(connection->EnumDatabases(), ::testing::Not(::testing::Contains("template1")));

  connection->RenameDatabase("qm_admin_db", "qm_admin_db2");
  EXPECT_TRUE(connection->IsDatabaseExists("qm_admin_db2"));
  connection->TerminateConnections("qm_admin_db2");
  connection->DropDatabase("qm_admin_db2", false);
  EXPECT_FALSE(connection->IsDatabaseExists("qm_admin_db2"));
  EXPECT_THROW(connection->CreateDatabase("postgres", false), Exception);
}

// ---- Large objects ----

std::string RandomBytes(size_t size) {
  std::mt19937_64 random(12345);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::string Export(TprmPGConnection& connection, Oid oid, std::int64_t* count = nullptr) {
  std::string out;
  TStringByteSink sink(out);
  const std::int64_t n = connection.loExport(oid, sink);
  if (count != nullptr)
    *count = n;
  return out;
}

TEST_F(PGConnectionTest, LargeObjectsTenMegabytesByteForByte) {
  auto connection = Connect();
  // 10 MB plus a partial chunk, so that the last read is short.
  const std::string data = RandomBytes(10 * 1024 * 1024 + 1000);

  TMemoryByteSource source(data);
  const Oid oid = connection->loImport(source);
  ASSERT_NE(oid, 0u);
  EXPECT_EQ(PGLib().PQtransactionStatus(connection->Handle()), PQTRANS_IDLE);

  std::int64_t count = 0;
  EXPECT_TRUE(Export(*connection, oid, &count) == data);
  EXPECT_EQ(count, static_cast<std::int64_t>(data.size()));

  const Oid copy = connection->loCopy(oid);
  ASSERT_NE(copy, 0u);
  EXPECT_NE(copy, oid);
  EXPECT_TRUE(Export(*connection, copy) == data);

  EXPECT_EQ(connection->loUnlink(oid), 1);
  EXPECT_EQ(connection->loUnlink(copy), 1);
  EXPECT_EQ(Export(*connection, oid, &count), "");
  EXPECT_EQ(count, -1);
  EXPECT_EQ(PGLib().PQtransactionStatus(connection->Handle()), PQTRANS_IDLE);
}

TEST_F(PGConnectionTest, LargeObjectEdgeCases) {
  auto connection = Connect();
  auto other = Connect();
  std::int64_t count = 7;
  EXPECT_EQ(Export(*connection, 0, &count), "");
  EXPECT_EQ(count, 0);
  EXPECT_EQ(connection->loCopy(0), 0u);

  // A chosen id, an exact multiple of the chunk size, and an empty object.
  connection->Execute("select lo_unlink(987654) from pg_largeobject_metadata where oid = 987654");
  const std::string data = RandomBytes(4096);
  TMemoryByteSource source(data);
  EXPECT_EQ(connection->loImport(source, 987654), 987654u);
  EXPECT_TRUE(Export(*connection, 987654) == data);
  TMemoryByteSource again(data);
  EXPECT_THROW(connection->loImport(again, 987654), EmncEngineError);  // already exists
  EXPECT_EQ(QueryValue(*connection, "select 1"), "1");

  TMemoryByteSource empty("");
  const Oid empty_oid = connection->loImport(empty);
  EXPECT_EQ(Export(*connection, empty_oid, &count), "");
  EXPECT_EQ(count, 0);

  // Copy across connections, and inside an open transaction of ours.
  const Oid copied = other->TmncPGConnection::loCopy(*connection, 987654);
  EXPECT_TRUE(Export(*other, copied) == data);
  auto transaction = connection->CreateTransaction();
  transaction->Start();
  TMemoryByteSource inside(data);
  const Oid in_tr = connection->loImport(inside);
  EXPECT_TRUE(Export(*connection, in_tr) == data);
  transaction->Rollback();
  EXPECT_EQ(Export(*connection, in_tr, &count), "");
  EXPECT_EQ(count, -1);

  // Files.
  const std::string file = ::testing::TempDir() + "qm_pg_lo_test.bin";
  {
    std::ofstream out(file, std::ios::binary);
    out << "old content that is longer than the object";
  }
  EXPECT_EQ(connection->loExportFile(987654, file), 4096);
  const Oid from_file = connection->loImportFile(file);
  EXPECT_TRUE(Export(*connection, from_file) == data);
  EXPECT_EQ(connection->loImportFile(file + ".missing"), 0u);
  std::filesystem::remove(file);

  for (Oid oid : {Oid{987654}, empty_oid, from_file})
    EXPECT_EQ(connection->loUnlink(oid), 1);
  EXPECT_EQ(other->loUnlink(copied), 1);
}

TEST_F(PGConnectionTest, DeferredResultsAreFreedOnThePool) {
  {
    auto connection = Connect();
    for (int i = 0; i < 20; ++i)
      connection->Execute("select 1");
  }
  // Every result went to the pool; leak checkers see whether they were freed.
  EXPECT_TRUE(TpoolServices::Instance().WaitIdle(std::chrono::seconds(10)));
}

}  // namespace
}  // namespace qm::pgtest
