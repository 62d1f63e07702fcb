#include "db/sql_processing.h"

#include <gtest/gtest.h>

#include "db/fake_engine_fixture.h"

namespace qm {
namespace {

using fake::FakeCommand;
using fake::FakeSession;
using Names = std::vector<std::string>;

struct Parsed {
  std::string sql;
  Names params;  // in list order
  Names binds;   // parameter name per bind
  std::string error;
};

Parsed ParseWith(const std::string& sql, const std::string& param_char, TmncParseOptions options,
                 bool prm = false, TmncCommandOptions command_options = {}) {
  FakeSession s;
  s.connection->param_char = param_char;
  auto cmd = s.Command();
  cmd->parse_options = options;
  cmd->use_prm_processed = prm;
  cmd->SetOptions(command_options);
  cmd->SetSQL(sql);
  Parsed out;
  try {
    cmd->Prepare();
  } catch (const Exception& e) {
    out.error = e.Message();
    return out;
  }
  out.sql = cmd->ProcessedSQL().SQL();
  for (TmncParam* p : cmd->Params())
    out.params.push_back(p->Name());
  for (TmncBind* b : cmd->Binds())
    out.binds.push_back(b->Param()->Name());
  return out;
}

TEST(SqlProcessingTest, MarkersAreReplacedOutsideLiteralsAndComments) {
  const TmncParseOptions numbered{psoNumbered};
  struct Case {
    const char* sql;
    const char* param_char;
    TmncParseOptions options;
    const char* expected;
    Names params;
    Names binds;
  } cases[] = {
      {"select * from t where id = ?id and note <> '?x' /* ?y */ and id2 = ?id",
       "$",
       numbered,
       "select * from t where id = $1 and note <> '?x' /* ?y */ and id2 = $2 ",
       {"id"},
       {"id", "id"}},
      {"select ?a, ?b", "$", numbered, "select $1, $2 ", {"a", "b"}, {"a", "b"}},
      {"select ?a, ?b, ?a", "?", {}, "select ?, ?, ? ", {"a", "b"}, {"a", "b", "a"}},
      {"select 'it''s ?x' from t where a = ?a",
       "?",
       {},
       "select 'it''s ?x' from t where a = ? ",
       {"a"},
       {"a"}},
      {"select \"odd?name\" from t", "$", numbered, "select \"odd?name\" from t ", {}, {}},
      {"select /**/ ?a", "$", numbered, "select /**/ $1 ", {"a"}, {"a"}},
      {"  \r\n select ?Id_2\t\r\n", "$", numbered, "select $1 ", {"Id_2"}, {"Id_2"}},
      {"select :?id", ":", {psoKeepNames}, "select ::id ", {"id"}, {"id"}},
      {"update t set a = ?a where b = ?b",
       "@",
       {psoKeepNames, psoNumbered},
       "update t set a = @a1 where b = @b2 ",
       {"a", "b"},
       {"a", "b"}},
      // The character right after a name is scanned too.
      {"select ?a?b", "$", numbered, "select $1$2 ", {"a", "b"}, {"a", "b"}},
      {"select ?a'?b'", "$", numbered, "select $1'?b' ", {"a"}, {"a"}},
      {"select ?\"my name\", ?b",
       "$",
       numbered,
       "select $1, $2 ",
       {"my name", "b"},
       {"my name", "b"}},
  };
  for (const auto& c : cases) {
    Parsed p = ParseWith(c.sql, c.param_char, c.options);
    EXPECT_EQ(p.error, "") << c.sql;
    EXPECT_EQ(p.sql, c.expected) << c.sql;
    EXPECT_EQ(p.params, c.params) << c.sql;
    EXPECT_EQ(p.binds, c.binds) << c.sql;
  }
}

TEST(SqlProcessingTest, UnnamedMarkers) {
  EXPECT_EQ(ParseWith("values (?, ?)", "?", {}).error, "Parameter name expected");
  EXPECT_EQ(ParseWith("select ? x", "?", {}).error, "Parameter name expected");

  Parsed p = ParseWith("values (?, ?)", "?", {psoAllowUnnamed});
  EXPECT_EQ(p.sql, "values (?, ?) ");
  EXPECT_EQ(p.params, (Names{"_Param_1", "_Param_2"}));

  p = ParseWith("values (?,?a,?)", "$", {psoAllowUnnamed, psoNumbered});
  EXPECT_EQ(p.sql, "values ($1,$2,$3) ");
  EXPECT_EQ(p.binds, (Names{"_Param_1", "a", "_Param_3"}));
}

TEST(SqlProcessingTest, ScannerErrors) {
  struct Case {
    const char* sql;
    bool prm;
    const char* error;
  } cases[] = {
      {"select 1 /* open", false, "Done in comment detected: 17"},
      {"select 'abc", false, "Done in string detected: 12"},
      {"select \"abc", false, "Done in string detected: 12"},
      {"select 1 /* open", true, "EOF in comment detected: 17"},
      {"select 'abc", true, "EOF in string detected: 12"},
      {"select ?\"open", false, "Parameter name expected"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseWith(c.sql, "$", {psoNumbered}, c.prm).error, c.error) << c.sql;

  FakeSession s;
  EXPECT_THROW(s.Command()->Prepare(), EmncException);
  auto cmd = s.Command();
  cmd->use_prm_processed = true;
  try {
    cmd->Prepare();
    ADD_FAILURE() << "no exception";
  } catch (const EprmException& e) {
    EXPECT_EQ(e.Message(), "Empty SQL to parse!");
  }
}

TEST(SqlProcessingTest, FailedParseLeavesParamsAndBindsAlone) {
  FakeSession s;
  auto cmd = s.Command("select ?a");
  cmd->Prepare();
  cmd->Close();
  cmd->SetSQL("select ?b '");
  EXPECT_THROW(cmd->Prepare(), EmncException);
  ASSERT_EQ(cmd->Params().Count(), 1);
  EXPECT_EQ(cmd->Params().Items(0)->Name(), "a");
  EXPECT_EQ(cmd->Binds().Count(), 1);
}

TEST(SqlProcessingTest, RecordedPositionsAndIds) {
  FakeSession s;
  s.connection->param_char = "$";
  auto cmd = s.Command("select ?a, ?b");
  cmd->parse_options = {psoNumbered};
  cmd->Prepare();
  const TmncProcessedSQL& names = cmd->ProcessedSQL();
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(names.Items(0)->ID, 1);
  EXPECT_EQ(names.Items(0)->Position, 9);  // "select $1"
  EXPECT_EQ(names.Items(1)->ID, 2);
  EXPECT_EQ(names.Items(1)->Position, 13);  // "select $1, $2"

  auto prm = s.Command("select ?a");
  prm->use_prm_processed = true;
  prm->Prepare();
  EXPECT_EQ(prm->ProcessedSQL().Items(0)->Position, -1);
}

TEST(SqlProcessingTest, ProcessSQLOffKeepsTheTextAndTheParameters) {
  FakeSession s;
  auto cmd = s.Command("select ?a");
  cmd->Prepare();
  cmd->Close();
  cmd->SetProcessSQL(false);
  cmd->SetSQL("  select ?b  ");
  cmd->Prepare();
  EXPECT_EQ(cmd->ProcessedSQL().SQL(), "  select ?b  ");
  ASSERT_EQ(cmd->Params().Count(), 1);
  EXPECT_EQ(cmd->Params().Items(0)->Name(), "a");
}

TEST(SqlProcessingTest, PrmProcessedIgnoresPrefixAndProcessSQL) {
  FakeSession s;
  s.connection->param_char = "$";
  auto cmd = s.Command("select ?a, :b");
  cmd->use_prm_processed = true;
  cmd->parse_options = {psoNumbered};
  cmd->SetParamPrefix(':');
  cmd->SetProcessSQL(false);
  cmd->Prepare();
  EXPECT_EQ(cmd->ProcessedSQL().SQL(), "select $1, :b ");
  EXPECT_EQ(cmd->Params().Count(), 1);
}

TEST(SqlProcessingTest, ReplaceParamsSuppressesNumbersOnlyInTheDefaultScanner) {
  const TmncCommandOptions replace{cmoReplaceParams};
  EXPECT_EQ(ParseWith("select ?a", "$", {psoNumbered}, false, replace).sql, "select $ ");
  EXPECT_EQ(ParseWith("select ?a", "$", {psoNumbered}, true, replace).sql, "select $1 ");
}

TEST(SqlProcessingTest, SkipDoesNotScan) {
  FakeSession s;
  auto cmd = s.Command("select ?a");
  cmd->parse_options = {psoSkip};
  cmd->Prepare();
  EXPECT_EQ(cmd->ProcessedSQL().SQL(), "");
  EXPECT_EQ(cmd->Params().Count(), 0);
}

TEST(SqlProcessingTest, ATextChangeEmptiesTheProcessedSQL) {
  FakeSession s;
  auto cmd = s.Command("select ?a");
  cmd->Prepare();
  EXPECT_EQ(cmd->ProcessedSQL().Count(), 1);
  cmd->SetSQL("select 1");
  EXPECT_EQ(cmd->ProcessedSQL().Count(), 0);
  EXPECT_EQ(cmd->ProcessedSQL().SQL(), "");
}

}  // namespace
}  // namespace qm
