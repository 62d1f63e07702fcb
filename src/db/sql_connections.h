#pragma once

// The SQL forms of the connection, transaction and command, with the line-oriented script
// runners. Engines derive from these (see "Engine side" on each class and the destruction rule
// in db/connections.h).

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/api_operations.h"
#include "db/connections.h"
#include "db/row_sink.h"
#include "db/session_settings.h"
#include "db/sql_processing.h"
#include "support/format.h"
#include "support/text_utils.h"

namespace qm {

class TmncSQLTransaction;
class TmncSQLCommand;
class TDBDispatchers;

// One received notification: channel, payload and the sender's process id.
struct TmncNotification {
  std::string Channel;
  std::string Payload;
  std::intptr_t PID = 0;
};

// Engine side: besides the TmncConnection operations, `DoCreateTransaction`,
// `IsDatabaseExists(name)`, `CreateDatabase(name, check)`, `DropDatabase(name, check)` and
// `CreateSameClass` (for Clone); as needed `DirectExecute`, `GetParamChar`, `GetNextIDSQL`,
// `AssignClone`, `TestConnected`, `ReceiveNotifications`, `StartListen`, `StopListen` and the
// other defaults below. (A class that overrides one overload of IsDatabaseExists,
// CreateDatabase or DropDatabase should add `using TmncSQLConnection::...` for the others.)
class TmncSQLConnection : public TmncConnection {
 public:
  TmncSQLConnection();
  ~TmncSQLConnection() override;

  // A new transaction on this connection, started when AutoStart is set.
  std::unique_ptr<TmncSQLTransaction> CreateTransaction();

  // The next value of a sequence: 0 when the engine has no sequence statement.
  std::int64_t NextID(const std::string& name, int step = 1);
  bool IsDatabaseExists() { return IsDatabaseExists(Resource()); }
  void CreateDatabase(bool check_exists = false) { CreateDatabase(Resource(), check_exists); }
  void DropDatabase(bool check_exists = false) { DropDatabase(Resource(), check_exists); }

  // DirectExecute when connected; nothing when not.
  void Execute(const std::string& sql);
  void Execute(std::string_view format, std::initializer_list<FormatArg> args) {
    Execute(Format(format, args));
  }

  // A connection of the same class on `resource` with the same host, port, user name and
  // password, AssignClone'd and connected when asked. Never raises: nil on any failure.
  std::unique_ptr<TmncSQLConnection> Clone(const std::string& resource, bool auto_connect = true);
  std::unique_ptr<TmncSQLConnection> Clone(bool auto_connect = true) {
    return Clone(Resource(), auto_connect);
  }
  // Runs one statement on a connected clone; failures pass on after the clone is freed.
  void CloneExecute(const std::string& resource, const std::string& sql);
  void CloneExecute(const std::string& resource, std::string_view format,
                    std::initializer_list<FormatArg> args) {
    CloneExecute(resource, Format(format, args));
  }

  TDBDispatchers& Dispatchers() { return *FDispatchers; }

  // ---- Virtual operations with defaults ----
  // Copies engine settings of `source` into this clone.
  virtual void AssignClone(const TmncSQLConnection& source);
  // The statement that yields a sequence value; "" means no sequences.
  virtual std::string GetNextIDSQL(const std::string& name, int step);
  // Runs one statement outside any command; the default raises Exception
  // "Execute is not suported in <EngineName>".
  virtual void DirectExecute(const std::string& sql);
  virtual bool IsDatabaseExists(const std::string& name) = 0;
  virtual void CreateDatabase(const std::string& name, bool check_exists) = 0;
  virtual void DropDatabase(const std::string& name, bool check_exists) = 0;
  virtual std::string UniqueDBName(const std::string& /*base*/) { return std::string(); }
  virtual TStrings EnumDatabases() { return TStrings(); }
  virtual void Vacuum() {}
  // The text that replaces a parameter marker in processed SQL.
  virtual std::string GetParamChar() const { return "?"; }
  virtual std::string GetExtension() const { return std::string(); }
  virtual bool TestConnected() { return true; }
  // Whether the engine still answers: a round trip where the engine has one (TestConnected
  // only tells what the client library last saw). Used before a session is trusted again.
  virtual bool TestAlive() { return TestConnected(); }
  bool IsReconnecting() const { return FIsReconnecting; }
  virtual std::vector<TmncNotification> ReceiveNotifications() { return {}; }
  // Nothing when TestConnected; otherwise marks the connection reconnecting and calls the
  // process-wide reconnect handler when one is installed. The mark stays while the connection
  // is still broken afterwards.
  virtual void Reconnect();
  virtual void RecoverConnection() {}
  virtual void StartListen(const std::string& /*channel*/) {}
  virtual void StopListen(const std::string& /*channel*/) {}

  // ---- Client sessions ----
  // Connects for a client session: Connect, then whatever the engine does with the session's
  // settings on a live connection.
  virtual void ConnectSession(const TmncSessionSettings& /*settings*/) { Connect(); }
  // The notices the engine reported at the last commit of any of this connection's
  // transactions ("" when it had none; a rollback leaves it as it was).
  virtual std::string CommitNotices() const { return std::string(); }
  // The services beyond SQL that the engine offers a session; null when it has none.
  virtual IDBAPIOperations* APIOperations() { return nullptr; }

 protected:
  virtual std::unique_ptr<TmncSQLTransaction> DoCreateTransaction() = 0;
  // A new, unconnected connection of the same class; nil (the default) makes Clone give nil.
  virtual std::unique_ptr<TmncSQLConnection> CreateSameClass() const { return nullptr; }

  // Frees the dispatchers, then as TmncConnection::BeforeDestruction.
  void BeforeDestruction();

 private:
  bool FIsReconnecting = false;
  std::unique_ptr<TDBDispatchers> FDispatchers;
};

// A process-wide reconnect handler (none is installed by default). Safe to call from any thread.
using TmncReconnectProc = void (*)(TmncSQLConnection& connection);
void SetReconnectHandler(TmncReconnectProc handler);

// Engine side: `DoStart`, `DoStop`, `DoCreateCommand`.
class TmncSQLTransaction : public TmncTransaction {
 public:
  using TmncTransaction::TmncTransaction;

  TmncSQLConnection* Connection() const;

  // A new command on this transaction, with `sql` as its text when given.
  std::unique_ptr<TmncSQLCommand> CreateCommand(const std::string& sql = std::string());
  // Creates a command, sets its text, executes it once and frees it.
  virtual void Execute(const std::string& sql);
  void Execute(std::string_view format, std::initializer_list<FormatArg> args) {
    Execute(Format(format, args));
  }

  // Line scripts: a line ending with `terminator` (ignoring case) ends a statement; lines are
  // trimmed and empty ones skipped; statements go to the engine as written (ProcessSQL off).
  // With `auto_commit` every statement is followed by CommitRetaining. A failing statement's
  // error passes on with "\r on script number <n>" (ExecuteFile: "\r\n on script number <n>").
  void ExecuteScript(const TStrings& lines, bool auto_commit = false,
                     const std::string& terminator = ";");
  // The same with the lines of a UTF-8 file.
  void ExecuteFile(const std::string& file_name, bool auto_commit = false,
                   const std::string& terminator = ";");
  // Runs a "^"-separated script as a session's "ExecScript" does (db/db_script.h): by default
  // each statement through a command of this transaction. `name` names the script.
  virtual void RunScript(const std::string& script, const std::string& name);

 protected:
  virtual std::unique_ptr<TmncSQLCommand> DoCreateCommand() = 0;
};

// Engine side: besides the TmncCommand operations, as needed `GetParseOptions`,
// `CreateProcessedSQL`, `GetRowsChanged`, `GetLastRowID`. The engine reads
// `ProcessedSQL().SQL()` as the statement text and walks `Binds()` in order for the values.
class TmncSQLCommand : public TmncCommand {
 public:
  explicit TmncSQLCommand(TmncSQLTransaction* transaction = nullptr);
  ~TmncSQLCommand() override;

  TmncSQLTransaction* Transaction() const;

  const std::string& SQL() const { return Request(); }
  void SetSQL(const std::string& sql) { SetRequest(sql); }
  void AddSQL(const std::string& line) { AddRequestLine(line); }

  using TmncCommand::Prepare;
  // Sets the text, then prepares.
  void Prepare(const std::string& sql);

  bool FetchBlobs() const { return FFetchBlob; }
  void SetFetchBlobs(bool value) { FFetchBlob = value; }
  char ParamPrefix() const { return FParamPrefix; }
  void SetParamPrefix(char value) { FParamPrefix = value; }
  // Off: the text goes to the engine as written, Params and Binds stay as they are.
  bool ProcessSQL() const { return FProcessSQL; }
  void SetProcessSQL(bool value) { FProcessSQL = value; }
  TmncProcessedSQL& ProcessedSQL();

  // The line script on this command, with its own settings; lines are taken as they are.
  // A failing statement's error passes on with "\r on script number <n>".
  void ExecuteScript(const TStrings& lines, const std::string& terminator = ";");

  virtual TmncParseOptions GetParseOptions() const { return {}; }
  virtual std::int64_t GetLastRowID() { return 0; }
  virtual int GetRowsChanged() { return 0; }

  // The command runs once, its rows are read in one pass and then it is freed: an engine may
  // save round trips or read rows while the server still sends them. Set before the first
  // execution; by default it changes nothing.
  virtual void SetRunOnce() {}
  // Writes the executed command's rows into `sink`, stepping from the current row to the end:
  // by default row by row through Fields, byte values in their text form. A value the sink
  // will not take ends the rows with the sink's Refuse. The engine's errors pass on.
  virtual void WriteRows(TmncRowSink& sink);

 protected:
  virtual std::unique_ptr<TmncProcessedSQL> CreateProcessedSQL();
  // Scans the text with GetParseOptions unless they contain psoSkip.
  void DoParse() override;
  // Also empties the processed SQL.
  void DoUnparse() override;

 private:
  bool FFetchBlob = false;
  char FParamPrefix = '?';
  bool FProcessSQL = true;
  std::unique_ptr<TmncProcessedSQL> FProcessedSQL;
};

}  // namespace qm
