// The PostgreSQL connection without a server: the connection text and its quoting, notices,
// the statements and values of the class, and the statement-freeing job.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "db/postgres/pg_api.h"
#include "db/postgres/pg_command.h"
#include "db/postgres/pg_connection.h"
#include "db/postgres/pg_notices.h"
#include "db/postgres/pg_transaction.h"

namespace qm::pgtest {
namespace {

using ::testing::HasSubstr;

TEST(PGConnectionText, QuotesEveryValueAndDefaultsHostAndPort) {
  TprmPGConnection connection;
  connection.SetResource("db");
  // User and password always, and none of the files that would lend the server's own.
  const std::string no_own =
      "passfile=/proc/self/no-such-file sslcert=/proc/self/no-such-file "
      "sslkey=/proc/self/no-such-file gssencmode=disable ";
  EXPECT_EQ(connection.ConnectionText(),
            "user='' password='' " + no_own +
                "host='127.0.0.1' port='5432' dbname='db' sslmode=disable sslcompression=0 "
                "application_name=''");

  connection.SetUserName("u");
  connection.SetPassword("it's a \\secret");
  connection.SetAppName("app [1.2.3.4]");
  connection.SetUseSSL(true);
  EXPECT_EQ(connection.ConnectionText("other"),
            "user='u' password='it\\'s a \\\\secret' " + no_own +
                "host='127.0.0.1' port='5432' "
                "dbname='other' sslmode=prefer sslcompression=1 application_name='app [1.2.3.4]'");
}

TEST(PGConnectionText, AValueCannotInjectAnOption) {
  TprmPGConnection connection;
  connection.SetUserName("u");
  connection.SetPassword("x' sslmode='require");
  const std::string text = connection.ConnectionText("db");
  EXPECT_THAT(text, HasSubstr("password='x\\' sslmode=\\'require'"));
  EXPECT_THAT(text, HasSubstr(" sslmode=disable "));
}

TEST(PGNotices, ParseLevelsAndMessages) {
  struct Case {
    const char* text;
    TmncPGNoticeLevel level;
    const char* message;
  };
  const Case cases[] = {
      {"NOTICE:  table created\n", mpnNOTICE, "table created"},
      {"LOG:  x", mpnINFO, "x"},
      {"WARNING:  careful\n", mpnWARNING, "careful"},
      {"info: lower case", mpnINFO, "lower case"},
      {"DEBUG:  d", mpnDEBUG, "d"},
      {"EXCEPTION: e", mpnERROR, "e"},
      {"  something else  ", mpnNone, "something else"},
  };
  for (const Case& c : cases) {
    std::string message;
    TmncPGNoticeLevel level = mpnNone;
    ASSERT_TRUE(ParsePGNotice(c.text, message, level)) << c.text;
    EXPECT_EQ(level, c.level) << c.text;
    EXPECT_EQ(message, c.message) << c.text;
  }
  std::string message;
  TmncPGNoticeLevel level = mpnNone;
  EXPECT_FALSE(ParsePGNotice("", message, level));
}

TEST(PGNotices, MessageJoinsDisplayTexts) {
  TmncPGNoticeItems items;
  items.Add("one", mpnNOTICE);
  items.Add("plain", mpnNone);
  items.Add("three", mpnERROR);
  EXPECT_EQ(items.Message(), "NOTICE: one\r plain\r EXCEPTION: three");
  EXPECT_TRUE(items.HasLevel(mpnERROR));
  EXPECT_FALSE(items.HasLevel(mpnWARNING));
}

TEST(PGConnectionSQL, NextIDStatements) {
  TprmPGConnection connection;
  EXPECT_EQ(connection.GetNextIDSQL("s", 0), "select currval('s')");
  EXPECT_EQ(connection.GetNextIDSQL("s", 1), "select nextval('s')");
  EXPECT_EQ(connection.GetNextIDSQL("s", 10), "select setval('s', nextval('s')+10-1)");
  EXPECT_EQ(connection.GetNextIDSQL("it's", 1), "select nextval('it''s')");
}

TEST(PGConnectionSQL, ClassValues) {
  TprmPGConnection connection;
  EXPECT_EQ(connection.EngineName(), "PostgreSQL");
  EXPECT_EQ(connection.GetParamChar(), "$");
  EXPECT_EQ(connection.ClientEncoding(), "UNICODE");
  EXPECT_EQ(connection.ByteaOutput(), "escape");
  EXPECT_EQ(connection.DateStyle(), "iso, mdy");
  auto transaction = connection.CreateTransaction();
  EXPECT_TRUE(transaction->Behaviors().Contains(sbhEmulate));
  EXPECT_NE(dynamic_cast<TprmPGTransaction*>(transaction.get()), nullptr);
  EXPECT_GT(TmncPGLib::EntryPointCount(), 150);
}

TEST(PGFreeStatementPool, TheJobOwnsItsResultWhetherItRunsOrNot) {
  const TprmPGConnection loader;  // loads the client library
  TFreeStatementPool empty(nullptr);
  EXPECT_EQ(empty.Name(), "PGStatment");
  empty.Execute();  // nothing to free

  TFreeStatementPool run(TPGResultOwner(PGLib().PQmakeEmptyPGresult(nullptr, PGRES_TUPLES_OK)));
  ASSERT_TRUE(run.Holds());
  run.Execute();
  EXPECT_FALSE(run.Holds());

  // A job dropped without running (a pool that stops, a skipped job) still frees its result:
  // the leak check of the sanitizer build sees it otherwise.
  TFreeStatementPool skipped(TPGResultOwner(PGLib().PQmakeEmptyPGresult(nullptr, PGRES_TUPLES_OK)));
  EXPECT_TRUE(skipped.Holds());
}

}  // namespace
}  // namespace qm::pgtest
