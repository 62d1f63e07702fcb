#include "db/db_script.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "common/message_of.h"
#include "db/fake_engine_fixture.h"

namespace qm {
namespace {

using fake::FakeSession;
using Events = std::vector<std::string>;

using qm::testing::MessageOf;

// ---- Script buffer ----

std::vector<std::string> Statements(TprmSQLScriptBuffer& buffer) {
  std::vector<std::string> out;
  for (buffer.First(); !buffer.Eof(); buffer.Next())
    out.push_back(buffer.SQLStatement());
  return out;
}

TEST(ScriptBufferTest, SplitsAtSeparatorsOutsideQuotes) {
  struct Case {
    const char* text;
    std::vector<std::string> statements;
    int count;
  } cases[] = {
      {"a^b^", {"a", "b"}, 3},
      {"", {}, 0},
      {"select 1", {"select 1"}, 1},
      {"insert into t values ('x^y')^select 2", {"insert into t values ('x^y')", "select 2"}, 3},
      {"a^ \r\n ^\tb", {"a", "", "\tb"}, 3},  // blank stretches read as ""; a tab is not blank
      {"^^", {"", ""}, 3},
  };
  for (const auto& c : cases) {
    TprmSQLScriptBuffer buffer;
    buffer.Write(c.text);
    EXPECT_EQ(Statements(buffer), c.statements) << c.text;
    EXPECT_EQ(buffer.StatementCount(), c.count) << c.text;
  }
}

TEST(ScriptBufferTest, OtherSeparator) {
  TprmSQLScriptBuffer buffer;
  buffer.SetSeparator(';');
  buffer.Write("a;b^c");
  EXPECT_EQ(Statements(buffer), (std::vector<std::string>{"a", "b^c"}));
}

// ---- TprmDBScript ----

TEST(DBScriptTest, RunsEachStatementThroughOneCommand) {
  FakeSession s;
  TprmDBScript script(static_cast<TmncSQLTransaction*>(s.transaction.get()));
  script.Execute("create table t (a int)^\r\n^insert into t values (?a)^", "ignored");
  EXPECT_EQ(s.engine.Only({"execute"}),
            (Events{"execute create table t (a int)", "execute insert into t values (?)"}));
}

TEST(DBScriptTest, AFailingStatementEndsTheScriptWithItsText) {
  FakeSession s;
  s.engine.fail_on = "bad";
  TprmDBScript script(static_cast<TmncSQLTransaction*>(s.transaction.get()));
  const std::string msg = MessageOf([&] { script.Execute("select 1^select bad^select 3"); });
  EXPECT_EQ(msg, "Error [fake failure]: select bad");
  EXPECT_EQ(s.engine.Only({"execute"}), (Events{"execute select 1", "execute select bad"}));

  // A parse error of the statement is wrapped the same way.
  EXPECT_EQ(MessageOf([&] { script.Execute("select 'open"); }),
            "Error [Done in string detected: 13]: select 'open");
}

// ---- Line scripts ----

TEST(LineScriptTest, TransactionScriptSplitsAtTerminatorsAndSendsTextAsWritten) {
  FakeSession s;
  s.transaction->ExecuteScript({"  create table t (a int);  ", "", "insert into t", "values (?a)",
                                "GO;", ";", "update t set a = 2"},
                               true, ";");
  EXPECT_EQ(s.engine.Only({"execute", "commit"}),
            (Events{"execute create table t (a int)", "commit retaining",
                    "execute insert into t\nvalues (?a)\nGO", "commit retaining",
                    "execute update t set a = 2", "commit retaining"}));
}

TEST(LineScriptTest, TerminatorComparesIgnoringCase) {
  FakeSession s;
  s.transaction->ExecuteScript({"select 1", "go", "select 2 GO"}, false, "GO");
  EXPECT_EQ(s.engine.Only({"execute", "commit"}), (Events{"execute select 1", "execute select 2"}));
}

TEST(LineScriptTest, FailingStatementNamesItsNumber) {
  FakeSession s;
  s.engine.fail_on = "bad";
  const std::string msg = MessageOf([&] {
    s.transaction->ExecuteScript({"select 1;", "select bad;", "select 3;"}, false);
  });
  EXPECT_EQ(msg, "fake failure\r on script number 2");
  EXPECT_EQ(s.engine.Count("execute select 3"), 0);
}

TEST(LineScriptTest, ErrorKeepsTheSystemClass) {
  FakeSession s;
  s.engine.fail_on = "bad";
  EXPECT_THROW(s.transaction->ExecuteScript({"select bad"}), EmncException);
}

TEST(LineScriptTest, CommandScriptTakesLinesAsTheyAre) {
  FakeSession s;
  auto cmd = s.Command();
  cmd->ExecuteScript({"select ?a;", "  select 2 ;  ", "select 3;"}, ";");
  // The second line does not end with the terminator: it joins the third statement.
  EXPECT_EQ(s.engine.Only({"execute"}),
            (Events{"execute select ?", "execute select 2 ;  \nselect 3"}));
}

TEST(LineScriptTest, ExecuteFileReadsLinesAndNamesTheFailingStatement) {
  FakeSession s;
  const std::string path = ::testing::TempDir() + "qm_line_script.sql";
  {
    std::ofstream out(path, std::ios::binary);
    out << "\xEF\xBB\xBFselect 1;\r\nselect bad\r\n;\r\nselect 3;\r\n";
  }
  s.engine.fail_on = "bad";
  EXPECT_EQ(MessageOf([&] { s.transaction->ExecuteFile(path, true); }),
            "fake failure\r\n on script number 2");
  EXPECT_EQ(s.engine.Only({"execute", "commit"}),
            (Events{"execute select 1", "commit retaining", "execute select bad"}));
  std::remove(path.c_str());

  EXPECT_THROW(s.transaction->ExecuteFile(path + ".missing"), EmncException);
}

}  // namespace
}  // namespace qm
