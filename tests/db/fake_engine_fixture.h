#pragma once

// A small in-memory database engine for the tests of the engine-neutral layer. It records every
// call that reaches the engine (connect, begin, commit, prepare, execute ...) in order, and
// answers statements from a table of scripted results keyed by the processed SQL text.

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/sql_connections.h"

namespace qm::fake {

struct FakeResult {
  std::vector<std::pair<std::string, TmnDataType>> columns;
  std::vector<std::vector<Variant>> rows;
};

// Shared by the connection, transactions and commands of one test.
struct FakeEngine {
  // In call order: "connect", "disconnect", "begin", "commit", "rollback", "commit retaining",
  // "rollback retaining", "prepare <sql>", "execute <sql>", "close", "unprepare".
  std::vector<std::string> events;
  // Results by processed SQL (trimmed); a statement without an entry returns no rows.
  std::map<std::string, FakeResult> results;
  // Executing a statement that contains this text raises EmncException "fake failure".
  std::string fail_on;
  // The bound values of the last execution, in bind order ("NULL" for null).
  std::vector<std::string> last_values;

  int Count(const std::string& event) const;
  // The events that begin with one of the given words, in order.
  std::vector<std::string> Only(std::initializer_list<std::string> words) const;
};

class FakeConnection : public TmncSQLConnection {
 public:
  explicit FakeConnection(FakeEngine& engine,
                          TmncCapabilities caps = {ccSQL, ccTransaction, ccMultiTransaction});
  ~FakeConnection() override { BeforeDestruction(); }

  TmncCapabilities Capabilities() const override { return caps_; }
  std::string EngineName() const override { return "Fake"; }
  bool IsDatabaseExists(const std::string& name) override { return name == "exists"; }
  void CreateDatabase(const std::string&, bool) override {}
  void DropDatabase(const std::string&, bool) override {}
  std::string GetParamChar() const override { return param_char; }
  std::string GetNextIDSQL(const std::string& name, int step) override;
  void DirectExecute(const std::string& sql) override;
  void StartListen(const std::string& channel) override {
    engine.events.push_back("listen " + channel);
  }
  void StopListen(const std::string& channel) override {
    engine.events.push_back("unlisten " + channel);
  }
  std::vector<TmncNotification> ReceiveNotifications() override {
    return std::exchange(notifications, {});
  }

  FakeEngine& engine;
  std::string param_char = "?";
  bool has_sequences = false;
  bool refuse_connect = false;  // DoConnect leaves the connection closed
  std::vector<TmncNotification> notifications;

 protected:
  void DoConnect() override;
  void DoDisconnect() override;
  bool GetConnected() const override { return connected_; }
  std::unique_ptr<TmncSQLTransaction> DoCreateTransaction() override;
  std::unique_ptr<TmncSQLConnection> CreateSameClass() const override;

 private:
  TmncCapabilities caps_;
  bool connected_ = false;
};

class FakeTransaction : public TmncSQLTransaction {
 public:
  FakeTransaction(FakeConnection* connection, FakeEngine& engine)
      : TmncSQLTransaction(connection), engine_(engine) {}
  ~FakeTransaction() override { BeforeDestruction(); }

 protected:
  void DoStart() override { engine_.events.push_back("begin"); }
  void DoStop(TmncTransactionAction how, bool retaining) override;
  std::unique_ptr<TmncSQLCommand> DoCreateCommand() override;

 private:
  FakeEngine& engine_;
};

class FakeCommand : public TmncSQLCommand {
 public:
  FakeCommand(FakeTransaction* transaction, FakeEngine& engine)
      : TmncSQLCommand(transaction), engine_(engine) {}
  ~FakeCommand() override { BeforeDestruction(); }

  bool GetActive() const override { return open_; }
  TmncParseOptions GetParseOptions() const override { return parse_options; }

  TmncParseOptions parse_options;
  bool use_prm_processed = false;  // TprmSQLProcessed instead of the default

 protected:
  void DoPrepare() override;
  void DoUnprepare() override { engine_.events.push_back("unprepare"); }
  void DoExecute() override;
  void DoNext() override;
  void DoClose() override;
  std::unique_ptr<TmncFields> CreateFields(TmncColumns* columns) override {
    return std::make_unique<TmncVariantFields>(columns);
  }
  std::unique_ptr<TmncParams> CreateParams() override {
    return std::make_unique<TmncVariantParams>();
  }
  std::unique_ptr<TmncProcessedSQL> CreateProcessedSQL() override;

 private:
  void LoadRow();

  FakeEngine& engine_;
  const FakeResult* result_ = nullptr;
  size_t row_ = 0;
  bool open_ = false;
};

// A connected fake connection with one transaction, for the common case.
struct FakeSession {
  FakeEngine engine;
  std::unique_ptr<FakeConnection> connection;
  std::unique_ptr<TmncSQLTransaction> transaction;

  explicit FakeSession(TmncCapabilities caps = {ccSQL, ccTransaction, ccMultiTransaction});
  std::unique_ptr<FakeCommand> Command(const std::string& sql = std::string());
};

}  // namespace qm::fake
