#include "db/connections.h"

#include <gtest/gtest.h>

#include "common/message_of.h"
#include "db/dispatchers.h"
#include "db/fake_engine_fixture.h"

namespace qm {
namespace {

using fake::FakeCommand;
using fake::FakeConnection;
using fake::FakeEngine;
using fake::FakeResult;
using fake::FakeSession;
using Events = std::vector<std::string>;

using qm::testing::MessageOf;

const TmncCapabilities kMultiple{ccSQL, ccTransaction, ccMultiTransaction};
const TmncCapabilities kEmulated{ccSQL, ccTransaction};
const TmncCapabilities kStrictMultiple{ccSQL, ccTransaction, ccMultiTransaction, ccStrict};

FakeResult TwoRows() {
  return FakeResult{{{"id", dtInteger}, {"name", dtString}},
                    {{Variant(1), Variant("a")}, {Variant(2), Variant::MakeNull()}}};
}

// ---- Connection ----

TEST(ConnectionTest, ConnectAndDisconnectFireHooksOnlyOnRealChange) {
  FakeEngine engine;
  FakeConnection conn(engine);
  int connected = 0, disconnected = 0;
  conn.SetOnConnected([&](TmncConnection&) { ++connected; });
  conn.SetOnDisconnected([&](TmncConnection&) { ++disconnected; });

  conn.SetConnected(true);
  conn.SetConnected(true);  // unchanged: nothing
  EXPECT_EQ(engine.Count("connect"), 1);
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(MessageOf([&] { conn.Connect(); }), "Connection is connected");

  conn.Disconnect();
  EXPECT_EQ(disconnected, 1);
  EXPECT_EQ(MessageOf([&] { conn.Disconnect(); }), "Connection is not connected");

  conn.refuse_connect = true;
  conn.Connect();  // the engine stayed closed: no event
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(engine.Count("connect"), 2);
}

TEST(ConnectionTest, SettingsCannotChangeWhileConnected) {
  FakeEngine engine;
  FakeConnection conn(engine);
  conn.SetHost("db.local");
  conn.Params().SetValues("Port", "5433");
  EXPECT_TRUE(conn.ParamsChanged());
  conn.Connect();
  const char* msg = "Connection is connected";
  EXPECT_EQ(MessageOf([&] { conn.SetHost("x"); }), msg);
  EXPECT_EQ(MessageOf([&] { conn.SetPassword("x"); }), msg);
  EXPECT_EQ(MessageOf([&] { conn.Params().Add("a=b"); }), msg);
  EXPECT_EQ(MessageOf([&] { conn.Params().Clear(); }), msg);
  EXPECT_EQ(conn.Host(), "db.local");
  EXPECT_EQ(conn.Params().Values("port"), "5433");
  EXPECT_EQ(MessageOf([&] { conn.CheckDisconnected(); }), msg);
  conn.CheckConnected();
}

TEST(ConnectionTest, StrictnessComesFromModeOrCapabilities) {
  FakeEngine engine;
  FakeConnection plain(engine, kMultiple);
  EXPECT_FALSE(plain.IsStrict());
  plain.SetMode({mcmStrict});
  EXPECT_TRUE(plain.IsStrict());
  FakeConnection strict(engine, kStrictMultiple);
  EXPECT_TRUE(strict.IsStrict());
}

TEST(ConnectionTest, DirectExecuteOnlyWhenConnectedAndDefaultRefuses) {
  FakeEngine engine;
  FakeConnection conn(engine);
  conn.Execute("vacuum");
  EXPECT_TRUE(engine.events.empty());
  conn.Connect();
  conn.Execute("select %d, %s", {5, "x"});
  EXPECT_EQ(engine.events.back(), "direct select 5, x");

  struct NoDirect : FakeConnection {
    using FakeConnection::FakeConnection;
    void DirectExecute(const std::string& sql) override { TmncSQLConnection::DirectExecute(sql); }
  } nodirect(engine);
  nodirect.Connect();
  EXPECT_EQ(MessageOf([&] { nodirect.Execute("x"); }), "Execute is not suported in Fake");
}

TEST(ConnectionTest, CloneCopiesServerInfoAndNeverRaises) {
  FakeEngine engine;
  FakeConnection conn(engine);
  conn.SetHost("h");
  conn.SetPort("1");
  conn.SetUserName("u");
  conn.SetPassword("p");
  conn.SetResource("main");
  auto clone = conn.Clone("other", false);
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(clone->Resource(), "other");
  EXPECT_EQ(clone->Host(), "h");
  EXPECT_EQ(clone->Port(), "1");
  EXPECT_EQ(clone->UserName(), "u");
  EXPECT_EQ(clone->Password(), "p");
  EXPECT_FALSE(clone->Connected());

  struct FailingConnect : FakeConnection {
    using FakeConnection::FakeConnection;
    void DoConnect() override { throw EmncException("refused"); }
    std::unique_ptr<TmncSQLConnection> CreateSameClass() const override {
      return std::make_unique<FailingConnect>(engine);
    }
  } failing(engine);
  EXPECT_EQ(failing.Clone(true), nullptr);

  conn.CloneExecute("other", "create table t");
  EXPECT_EQ(engine.Only({"connect", "direct", "disconnect"}),
            (Events{"connect", "direct create table t", "disconnect"}));
}

TEST(ConnectionTest, NextIDReadsTheFirstFieldOrZero) {
  FakeEngine engine;
  FakeConnection conn(engine);
  conn.Connect();
  EXPECT_EQ(conn.NextID("gen"), 0);  // no sequence support
  EXPECT_TRUE(engine.Only({"prepare", "execute"}).empty());
  conn.has_sequences = true;
  engine.results["next gen 5"] = FakeResult{{{"v", dtInteger}}, {{Variant(std::int64_t{41})}}};
  EXPECT_EQ(conn.NextID("gen", 5), 41);
  EXPECT_EQ(conn.NextID("empty", 1), 0);
}

// ---- Transactions ----

TEST(TransactionTest, BehavioursFollowCapabilities) {
  FakeEngine engine;
  struct Case {
    TmncCapabilities caps;
    TmncTransactionBehaviors expected;
  } cases[] = {
      {kMultiple, {sbhMultiple}},
      {kEmulated, {sbhEmulate}},
      {kStrictMultiple, {sbhMultiple, sbhStrict}},
      {{ccSQL}, {}},
  };
  for (const auto& c : cases) {
    FakeConnection conn(engine, c.caps);
    auto tr = conn.CreateTransaction();
    EXPECT_EQ(tr->Behaviors(), c.expected) << c.caps.Bits();
  }
}

TEST(TransactionTest, MultipleSendsEveryStartAndStop) {
  FakeSession s(kMultiple);
  auto second = s.connection->CreateTransaction();
  s.transaction->Start();
  second->Start();
  second->Rollback();
  s.transaction->CommitRetaining();
  EXPECT_TRUE(s.transaction->Active());  // retaining leaves it active
  s.transaction->Commit();
  EXPECT_FALSE(s.transaction->Active());
  EXPECT_EQ(s.engine.Only({"begin", "commit", "rollback"}),
            (Events{"begin", "begin", "rollback", "commit retaining", "commit"}));
}

TEST(TransactionTest, EmulatedNestingSharesOneEngineTransactionAndRollbackWins) {
  FakeSession s(kEmulated);
  auto& tr = *s.transaction;
  tr.Start();
  tr.Start();
  EXPECT_EQ(s.connection->StartCount(), 2);
  tr.Rollback();
  EXPECT_EQ(s.engine.Count("rollback"), 0);  // inner level: nothing reaches the engine
  tr.Commit();
  EXPECT_EQ(s.engine.Only({"begin", "commit", "rollback"}), (Events{"begin", "rollback"}));
  EXPECT_EQ(s.connection->StartCount(), 0);
  EXPECT_FALSE(tr.Active());

  EXPECT_EQ(MessageOf([&] { tr.Commit(); }), "Transaction not started yet!");

  // A fresh engine transaction starts from commit again.
  tr.Start();
  tr.Commit();
  EXPECT_EQ(s.engine.Only({"begin", "commit", "rollback"}),
            (Events{"begin", "rollback", "begin", "commit"}));
}

TEST(TransactionTest, EmulatedTransactionsOfOneConnectionShareTheEngineTransaction) {
  FakeSession s(kEmulated);
  auto other = s.connection->CreateTransaction();
  s.transaction->Start();
  other->Start();
  other->Commit();
  s.transaction->Commit();
  other->Start();
  other->RollbackRetaining();  // retaining goes straight to the engine
  other->Commit();
  EXPECT_EQ(s.engine.Only({"begin", "commit", "rollback"}),
            (Events{"begin", "commit", "begin", "rollback retaining", "commit"}));
}

TEST(TransactionTest, EmulatedRollbackOfOneTransactionWinsOverAnothersCommit) {
  // Both objects share one engine transaction: committing the outer one must not commit the
  // work the inner one rolled back.
  FakeSession s(kEmulated);
  auto inner = s.connection->CreateTransaction();
  s.transaction->Start();
  inner->Start();
  inner->Rollback();
  s.transaction->Commit();
  EXPECT_EQ(s.engine.Only({"begin", "commit", "rollback"}), (Events{"begin", "rollback"}));
}

TEST(TransactionTest, StrictConnectionChecksState) {
  FakeSession s(kStrictMultiple);
  auto& tr = *s.transaction;
  EXPECT_EQ(MessageOf([&] { tr.Commit(); }), "Oops you have not started it yet!");
  tr.Start();
  EXPECT_EQ(MessageOf([&] { tr.Start(); }), "Transaction is already active.");
  tr.Commit();
  s.connection->Disconnect();
  EXPECT_EQ(MessageOf([&] { tr.Start(); }), "Connection is not connected");
  EXPECT_EQ(s.engine.Only({"begin", "commit"}), (Events{"begin", "commit"}));
}

TEST(TransactionTest, NoTransactionCapabilityReachesNothing) {
  FakeSession s({ccSQL});
  s.transaction->Start();
  EXPECT_TRUE(s.transaction->Active());
  s.transaction->Commit();
  EXPECT_TRUE(s.engine.Only({"begin", "commit", "rollback"}).empty());
}

TEST(TransactionTest, ParamsCannotChangeWhileActive) {
  FakeSession s;
  s.transaction->Params().Add("isolation=serializable");
  s.transaction->Start();
  EXPECT_EQ(MessageOf([&] { s.transaction->Params().Add("x=y"); }), "Transaction is active/opened");
  EXPECT_EQ(MessageOf([&] { s.transaction->CheckInactive(); }), "Transaction is active/opened");
  s.transaction->Commit();
  EXPECT_EQ(MessageOf([&] { s.transaction->CheckActive(); }), "Transaction is not active/opened");
}

TEST(TransactionTest, AutoStartStartsNewTransactions) {
  FakeSession s;
  s.connection->SetAutoStart(true);
  auto tr = s.connection->CreateTransaction();
  EXPECT_TRUE(tr->Active());
  EXPECT_EQ(s.engine.Count("begin"), 1);
}

TEST(TransactionTest, FreeingAnActiveTransactionCommitsUnlessActionSaysRollback) {
  struct Case {
    TmncTransactionAction action;
    const char* expected;
  } cases[] = {{sdaCommit, "commit"}, {sdaRollback, "rollback"}};
  for (const auto& c : cases) {
    FakeSession s;
    auto tr = s.connection->CreateTransaction();
    tr->SetAction(c.action);
    tr->Start();
    tr.reset();
    EXPECT_EQ(s.engine.Only({"begin", "commit", "rollback"}), (Events{"begin", c.expected}));
    EXPECT_EQ(s.connection->Transactions().Count(), 1);  // only the session's own is left
  }
}

TEST(TransactionTest, FreeingTheConnectionStopsAndDetachesItsTransactions) {
  FakeEngine engine;
  auto conn = std::make_unique<FakeConnection>(engine);
  conn->Connect();
  auto committed = conn->CreateTransaction();
  auto rolled_back = conn->CreateTransaction();
  auto idle = conn->CreateTransaction();
  rolled_back->SetAction(sdaRollback);
  committed->Start();
  rolled_back->Start();
  conn.reset();
  EXPECT_EQ(engine.Only({"begin", "commit", "rollback", "disconnect"}),
            (Events{"begin", "begin", "commit", "rollback", "disconnect"}));
  EXPECT_EQ(committed->Connection(), nullptr);
  EXPECT_EQ(idle->Connection(), nullptr);
  EXPECT_FALSE(committed->Active());
  // Transactions outliving their connection stay usable for clean-up.
  EXPECT_EQ(MessageOf([&] { idle->Start(); }), "Connection is not connected");
  committed.reset();
  idle.reset();
}

TEST(TransactionTest, MovingATransactionBetweenConnections) {
  FakeEngine engine;
  FakeConnection a(engine), b(engine);
  auto tr = a.CreateTransaction();
  EXPECT_EQ(a.Transactions().Count(), 1);
  tr->SetConnection(&b);
  EXPECT_EQ(a.Transactions().Count(), 0);
  EXPECT_EQ(b.Transactions().Count(), 1);
  EXPECT_EQ(b.Transactions().Items(0), tr.get());
}

// ---- Commands ----

TEST(CommandTest, ExecuteWalksRowsInOrder) {
  FakeSession s;
  s.engine.results["select * from t"] = TwoRows();
  auto cmd = s.Command("select * from t");
  ASSERT_TRUE(cmd->Execute());
  EXPECT_EQ(cmd->Index(), 0);
  EXPECT_EQ(SafeField(cmd->Field("ID")).AsInteger(), 1);
  EXPECT_EQ(cmd->FieldItem(1)->AsString(), "a");
  EXPECT_TRUE(cmd->Next());
  EXPECT_EQ(cmd->Index(), 1);
  EXPECT_EQ(SafeField(cmd->Field("id")).AsInteger(), 2);
  EXPECT_TRUE(cmd->Field("name")->IsNull());
  EXPECT_EQ(cmd->Values("missing"), Variant());
  EXPECT_FALSE(cmd->Next());
  EXPECT_TRUE(cmd->Done());
  EXPECT_EQ(cmd->Index(), 1);
  EXPECT_EQ(s.engine.Only({"prepare", "execute"}),
            (Events{"prepare select * from t", "execute select * from t"}));
}

TEST(CommandTest, ExecuteWithoutRows) {
  FakeSession s;
  auto cmd = s.Command("update t set a = 1");
  EXPECT_FALSE(cmd->Execute());
  EXPECT_TRUE(cmd->Done());
  EXPECT_EQ(cmd->Index(), 0);
  EXPECT_EQ(cmd->Fields(), nullptr);
  EXPECT_EQ(cmd->Field("x"), nullptr);
  EXPECT_EQ(SafeField(cmd->Field("x")).AsString(), "");
  EXPECT_EQ(MessageOf([&] { cmd->FieldItem(0); }), "Fields is nil");
  EXPECT_EQ(MessageOf([&] { cmd->Values("x"); }), "Current record not found");
}

TEST(CommandTest, FetchDeliversTheFirstRowAndClosesAtTheEnd) {
  FakeSession s;
  s.engine.results["select * from t"] = TwoRows();
  auto cmd = s.Command("select * from t");
  cmd->Execute();
  std::vector<int> ids;
  while (cmd->Fetch())
    ids.push_back(cmd->Field("id")->AsInteger());
  EXPECT_EQ(ids, (std::vector<int>{1, 2}));
  EXPECT_FALSE(cmd->Prepared());  // the final Fetch closed (and unprepared) it
  EXPECT_FALSE(cmd->Active());

  // Fetch alone executes first.
  ids.clear();
  while (cmd->Fetch())
    ids.push_back(cmd->Field("id")->AsInteger());
  EXPECT_EQ(ids, (std::vector<int>{1, 2}));
  EXPECT_EQ(s.engine.Count("execute select * from t"), 2);
}

TEST(CommandTest, EnumeratorExecutesAndFetches) {
  FakeSession s;
  s.engine.results["select * from t"] = TwoRows();
  auto cmd = s.Command("select * from t");
  auto e = cmd->GetEnumerator();
  std::vector<std::string> names;
  while (e.MoveNext())
    names.push_back(e.Current()->Field("name")->AsString());
  EXPECT_EQ(names, (std::vector<std::string>{"a", ""}));
}

TEST(CommandTest, PrepareChecksAndResetsParameters) {
  FakeSession s;
  auto cmd = s.Command("select * from t where id = ?id");
  cmd->Prepare();
  EXPECT_EQ(MessageOf([&] { cmd->Prepare(); }), "Command is already prepared!");
  cmd->Param("id")->SetAsInteger(5);
  cmd->Execute();
  EXPECT_EQ(s.engine.last_values, (Events{"5"}));
  cmd->Close();
  EXPECT_FALSE(cmd->Prepared());
  cmd->Execute();  // prepares again: the value is null again
  EXPECT_EQ(s.engine.last_values, (Events{"NULL"}));
  EXPECT_EQ(s.engine.Count("prepare select * from t where id = ?"), 2);

  FakeEngine engine;
  FakeCommand orphan(nullptr, engine);
  orphan.SetSQL("select 1");
  EXPECT_EQ(MessageOf([&] { orphan.Prepare(); }), "Transaction not assigned");
  EXPECT_FALSE(orphan.Prepared());
}

TEST(CommandTest, ParamLookupPreparesFirst) {
  FakeSession s;
  auto cmd = s.Command("select ?a");
  TmncParam* a = cmd->Param("A");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(cmd->Prepared());
  EXPECT_EQ(cmd->Param("b"), nullptr);
  EXPECT_EQ(s.engine.Count("prepare select ?"), 1);
}

TEST(CommandTest, ChangingTheTextUnparsesClosesAndReprepares) {
  FakeSession s;
  s.engine.results["select * from t"] = TwoRows();
  auto cmd = s.Command("select * from t");
  cmd->Execute();
  EXPECT_TRUE(cmd->Active());
  cmd->SetSQL("select ?x");
  EXPECT_FALSE(cmd->Active());
  EXPECT_FALSE(cmd->Parsed());
  cmd->Param("x")->SetAsString("v");
  cmd->Execute();
  EXPECT_EQ(s.engine.Only({"prepare", "execute", "close", "unprepare"}),
            (Events{"prepare select * from t", "execute select * from t", "close", "unprepare",
                    "prepare select ?", "execute select ?"}));
  EXPECT_EQ(s.engine.last_values, (Events{"v"}));

  // A prepared but not executed command is unprepared on a text change, so the new text is
  // the one that gets prepared.
  auto prepared = s.Command("select 1");
  prepared->Prepare();
  prepared->SetSQL("select 2");
  prepared->Execute();
  EXPECT_EQ(s.engine.events.back(), "execute select 2");
}

TEST(CommandTest, ClearForgetsTextParamsAndBinds) {
  FakeSession s;
  auto cmd = s.Command("select ?a, ?b");
  cmd->Prepare();
  EXPECT_EQ(cmd->Params().Count(), 2);
  cmd->Clear();
  EXPECT_FALSE(cmd->Prepared());
  EXPECT_EQ(cmd->SQL(), "");
  EXPECT_EQ(cmd->Params().Count(), 0);
  EXPECT_EQ(cmd->Binds().Count(), 0);
}

TEST(CommandTest, ActiveGuardsAndSetActive) {
  FakeSession s;
  s.engine.results["select * from t"] = TwoRows();
  auto cmd = s.Command("select * from t");
  EXPECT_EQ(MessageOf([&] { cmd->CheckActive(); }), "Command is not active/opened");
  cmd->SetActive(true);
  EXPECT_EQ(MessageOf([&] { cmd->CheckInactive(); }), "Command is active/opened");
  cmd->SetActive(true);  // unchanged: no second execution
  EXPECT_EQ(s.engine.Count("execute select * from t"), 1);
  cmd->SetActive(false);
  EXPECT_EQ(s.engine.Count("close"), 1);
}

TEST(CommandTest, FreeingACommandClosesItAndLeavesTheTransaction) {
  FakeSession s;
  s.engine.results["select * from t"] = TwoRows();
  auto cmd = s.Command("select * from t");
  cmd->Execute();
  EXPECT_EQ(s.transaction->Links().Count(), 1);
  cmd.reset();
  EXPECT_EQ(s.transaction->Links().Count(), 0);
  EXPECT_EQ(s.engine.Only({"close", "unprepare"}), (Events{"close", "unprepare"}));
}

TEST(CommandTest, FreeingTheTransactionUnlinksCommands) {
  FakeSession s;
  auto cmd = s.Command("select 1");
  s.transaction.reset();
  EXPECT_EQ(cmd->Transaction(), nullptr);
  EXPECT_EQ(MessageOf([&] { cmd->Prepare(); }), "Transaction not assigned");
}

TEST(CommandTest, EngineErrorsPassThroughExecute) {
  FakeSession s;
  s.engine.fail_on = "boom";
  auto cmd = s.Command("select boom");
  EXPECT_EQ(MessageOf([&] { cmd->Execute(); }), "fake failure");
}

TEST(CommandTest, AsJsonAndAsCSV) {
  FakeSession s;
  s.engine.results["select * from t"] =
      FakeResult{{{"id", dtInteger}, {"note", dtString}},
                 {{Variant(1), Variant("a\"b/\n")}, {Variant::MakeNull(), Variant("x")}}};
  auto cmd = s.Command("select * from t");
  cmd->Execute();
  EXPECT_EQ(cmd->AsJson(),
            "[\n{\"id\":1,\"note\":\"a\\\"b\\/\\n\"},\n{\"id\":null,\"note\":\"x\"}\n]");
  cmd->Close();
  cmd->Execute();
  EXPECT_EQ(cmd->AsJson({asObject, asIndex}),
            "{\"rows\": [\n{ \"index\":\"0\",\"id\":1,\"note\":\"a\\\"b\\/\\n\"},\n"
            "{ \"index\":\"1\",\"id\":null,\"note\":\"x\"}\n]}");
  cmd->Close();
  cmd->Execute();
  EXPECT_EQ(cmd->AsCSV({asNames}, ";"), "id;note\n1;a\"b/\n\n;x");

  s.engine.results["select * from empty"] = FakeResult{{{"id", dtInteger}, {"note", dtString}}, {}};
  auto empty = s.Command("select * from empty");
  empty->Execute();
  EXPECT_EQ(empty->AsCSV({asNames}), "id,note\n");
  auto none = s.Command("update t");
  none->Execute();
  EXPECT_EQ(none->AsJson(), "");
}

// ---- Dispatchers ----

TEST(DispatcherTest, ChannelsAreListenedWhileUsed) {
  FakeEngine engine;
  FakeConnection conn(engine);
  auto& d = conn.Dispatchers();
  d.RegisterDispatcher("a", "jobs", nullptr);
  d.RegisterDispatcher("b", "JOBS", nullptr);
  EXPECT_EQ(MessageOf([&] { d.RegisterDispatcher("a", "other", nullptr); }), "duplicate name");
  d.UnregisterDispatcher("a");
  d.UnregisterDispatcher("unknown");
  d.UnregisterDispatcher("b");
  EXPECT_EQ(engine.events, (Events{"listen jobs", "unlisten jobs"}));
}

TEST(DispatcherTest, OnlyTheNewestNotificationPerChannelIsDelivered) {
  FakeEngine engine;
  FakeConnection conn(engine);
  std::vector<std::string> got;
  conn.Dispatchers().RegisterDispatcher("a", "jobs",
                                        [&](const std::string& message, std::intptr_t pid, bool&) {
                                          got.push_back(message + "@" + std::to_string(pid));
                                        });
  conn.notifications = {{"jobs", "1", 10}, {"other", "x", 11}, {"JOBS", "2", 12}};
  conn.Dispatchers().Process();
  EXPECT_EQ(got, (std::vector<std::string>{"2@12"}));
}

TEST(ReconnectTest, HandlerRunsOnlyWhenTheConnectionIsBroken) {
  struct Flaky : FakeConnection {
    using FakeConnection::FakeConnection;
    bool alive = true;
    bool TestConnected() override { return alive; }
  };
  FakeEngine engine;
  Flaky conn(engine);
  static int calls = 0;
  calls = 0;
  SetReconnectHandler([](TmncSQLConnection&) { ++calls; });
  conn.Reconnect();
  EXPECT_EQ(calls, 0);
  conn.alive = false;
  conn.Reconnect();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(conn.IsReconnecting());  // still broken
  SetReconnectHandler([](TmncSQLConnection& c) { static_cast<Flaky&>(c).alive = true; });
  conn.Reconnect();
  EXPECT_FALSE(conn.IsReconnecting());
  SetReconnectHandler(nullptr);
}

}  // namespace
}  // namespace qm
