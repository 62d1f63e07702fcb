#pragma once

// The engine-neutral object model that drives every database engine: a connection, transactions
// bound to it and commands bound to a transaction. All state checks, counting, transaction
// nesting and the order of calls live here; an engine derives the three classes and overrides
// the operations listed under "Engine side" of each class.
//
// Ownership: objects are linked, not owned. A connection does not own its transactions and a
// transaction does not own its commands; whoever created an object frees it, and it detaches
// itself on destruction. The caller guarantees that a linked object outlives its use through
// the link (or detaches first).
//
// Destruction: the engine operations that destruction runs (commit of an active transaction,
// close of an active command, disconnect) are virtual, and a C++ base destructor can no longer
// reach an override. Therefore the destructor of every concrete engine class must call
// `BeforeDestruction()` first. The base destructors repeat it for the parts that need no engine
// (detaching links), so forgetting it loses only the engine calls. Destructors never throw:
// failures of these final engine calls are swallowed.
//
// Threads: nothing here locks. A connection with its transactions and commands is used by one
// thread at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db/fields.h"
#include "db/string_list.h"
#include "support/enum_set.h"
#include "support/object_list.h"

namespace qm {

class TmncLinksObject;

// The member side of a one-to-many link. The link is not owned.
class TmncLinkObject {
 public:
  TmncLinkObject() = default;
  TmncLinkObject(const TmncLinkObject&) = delete;
  TmncLinkObject& operator=(const TmncLinkObject&) = delete;
  virtual ~TmncLinkObject();  // leaves the link

  virtual bool GetActive() const { return false; }
  virtual void SetActive(bool) {}
  bool Active() const { return GetActive(); }

  TmncLinksObject* Link() const { return FLink; }
  // Leaves the old link's list and joins the new one's (nothing when unchanged).
  void SetLink(TmncLinksObject* value);

 protected:
  TmncLinksObject* FLink = nullptr;
};

// The linked members of a TmncLinksObject, in joining order. Does not own them.
class TmncLinks : public TmnObjectList<TmncLinkObject> {
 public:
  TmncLinks() : TmnObjectList<TmncLinkObject>(false) {}
  // Active := false on every member, in index order.
  void Close();
  // Detaches every member (sets its link to nil).
  void Unlink();
};

// The single side of a one-to-many link.
class TmncLinksObject {
 public:
  TmncLinksObject() = default;
  TmncLinksObject(const TmncLinksObject&) = delete;
  TmncLinksObject& operator=(const TmncLinksObject&) = delete;
  virtual ~TmncLinksObject() { FLinks.Unlink(); }
  TmncLinks& Links() { return FLinks; }
  const TmncLinks& Links() const { return FLinks; }

 private:
  TmncLinks FLinks;
};

enum TmncCapability {
  ccDB,
  ccAlias,
  ccPath,
  ccCreate,
  ccDrop,
  ccSQL,
  ccNetwork,
  ccBrowse,
  ccStrict,
  ccTransaction,
  ccMultiTransaction,
};
using TmncCapabilities = EnumSet<TmncCapability>;

enum TmncState { cstCreated };
using TmncStates = EnumSet<TmncState>;

enum TmncMode { mcmStrict, mcmAutoStart };
using TmncModes = EnumSet<TmncMode>;

enum TmncTransactionBehavior { sbhStrict, sbhMultiple, sbhEmulate };
using TmncTransactionBehaviors = EnumSet<TmncTransactionBehavior>;

// Ordered: a rollback outranks a commit.
enum TmncTransactionAction { sdaCommit, sdaRollback };

enum TmncCommandOption { cmoReplaceParams, cmoTruncate, cmoCorrectDate };
using TmncCommandOptions = EnumSet<TmncCommandOption>;

// As flags: asObject = 1, asNames = 2, asIndex = 4.
enum TmncFetchOption { asObject, asNames, asIndex };
using TmncFetchOptions = EnumSet<TmncFetchOption>;

struct TmncServerInfo {
  std::string Host;
  std::string Port;
  std::string UserName;
  std::string Password;
  std::string Role;
};

class TmncTransaction;

// The transactions bound to one connection. Does not own them.
class TmncTransactions : public TmnObjectList<TmncTransaction> {
 public:
  TmncTransactions() : TmnObjectList<TmncTransaction>(false) {}
  bool IsAnyActive() const;
  // Stops every active transaction, in index order (each with its own Action). Failures are
  // swallowed: this runs while the connection is going away.
  void StopAll();
};

// A connection to one database.
//
// Engine side: `DoConnect`, `DoDisconnect`, `GetConnected`, `Capabilities`, `EngineName`; as
// needed `DoBeforeConnect`, `DoConnected`, `DoDisconnected`. (An engine loads its client
// library in its own constructor.)
class TmncConnection {
 public:
  using TNotifyEvent = std::function<void(TmncConnection& sender)>;

  TmncConnection();
  TmncConnection(const TmncConnection&) = delete;
  TmncConnection& operator=(const TmncConnection&) = delete;
  virtual ~TmncConnection();

  virtual TmncCapabilities Capabilities() const = 0;
  virtual std::string EngineName() const = 0;
  // mcmStrict in Mode or ccStrict in Capabilities.
  virtual bool IsStrict() const;

  // DoBeforeConnect; "Connection is connected" when connected; DoConnect; when now connected,
  // DoConnected and then OnConnected.
  void Connect();
  // "Connection is not connected" when not connected; DoDisconnect; when no longer connected,
  // DoDisconnected and then OnDisconnected.
  void Disconnect();
  void Open() { Connect(); }
  void Close() { Disconnect(); }
  bool Connected() const { return GetConnected(); }
  bool Active() const { return GetConnected(); }
  // Connect or Disconnect when `value` differs from Connected.
  void SetConnected(bool value);
  void SetActive(bool value) { SetConnected(value); }

  // Guards: "Connection is not connected" / "Connection is connected".
  void CheckConnected() const;
  void CheckDisconnected() const;

  // Server settings; changing them while connected raises "Connection is connected".
  const TmncServerInfo& ServerInfo() const { return FServerInfo; }
  void SetServerInfo(const TmncServerInfo& value);
  const std::string& Host() const { return FServerInfo.Host; }
  void SetHost(const std::string& value);
  const std::string& Port() const { return FServerInfo.Port; }
  void SetPort(const std::string& value);
  const std::string& UserName() const { return FServerInfo.UserName; }
  void SetUserName(const std::string& value);
  const std::string& Password() const { return FServerInfo.Password; }
  void SetPassword(const std::string& value);
  const std::string& Role() const { return FServerInfo.Role; }
  void SetRole(const std::string& value);
  // Engine parameters as name=value lines; every change while connected raises
  // "Connection is connected".
  TmncStringList& Params() { return FParams; }
  const TmncStringList& Params() const { return FParams; }
  bool ParamsChanged() const { return FParamsChanged || FParams.Changed(); }

  // The database name or file.
  const std::string& Resource() const { return FResource; }
  void SetResource(const std::string& value) { FResource = value; }
  // A transaction made by CreateTransaction starts itself.
  bool AutoStart() const { return FAutoStart; }
  void SetAutoStart(bool value) { FAutoStart = value; }

  TmncStates States() const { return FStates; }
  // Adds a one-time fact; ordinals above 7 are ignored.
  void SetState(TmncState state);
  TmncModes Mode() const { return FMode; }
  void SetMode(TmncModes value) { FMode = value; }

  TmncTransactions& Transactions() { return FTransactions; }
  // Nesting depth of the shared engine transaction of emulated transactions.
  int StartCount() const { return FStartCount; }

  void SetOnConnected(TNotifyEvent event) { FOnConnected = std::move(event); }
  void SetOnDisconnected(TNotifyEvent event) { FOnDisconnected = std::move(event); }

  // Seconds a connect may wait for the database server before it fails; 0 waits without limit.
  // A new connection starts with DefaultConnectTimeout (15 s unless the server configures it).
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int seconds) { FConnectTimeout = seconds < 0 ? 0 : seconds; }
  static int DefaultConnectTimeout();
  static void SetDefaultConnectTimeout(int seconds);

  // Stops what the connection is doing on its owner's thread: the running statement is
  // cancelled and a connect under way gives up. Meant for another thread (a server that stops)
  // and safe while the connection object lives; work started afterwards is not affected. An
  // engine without a way to cancel does nothing.
  virtual void Interrupt() {}

 protected:
  virtual void DoBeforeConnect() {}
  virtual void DoConnect() = 0;
  virtual void DoConnected() {}
  virtual void DoDisconnect() = 0;
  virtual void DoDisconnected() {}
  virtual bool GetConnected() const = 0;

  // Stops the active transactions (each with its Action: commit unless set to rollback),
  // detaches every transaction and disconnects when connected. Call first in the destructor of
  // a concrete engine class; runs once.
  void BeforeDestruction();

 private:
  friend class TmncTransaction;
  void CheckChangeable() const;

  TNotifyEvent FOnConnected;
  TNotifyEvent FOnDisconnected;
  bool FParamsChanged = false;
  TmncServerInfo FServerInfo;
  TmncStringList FParams;
  bool FAutoStart = false;
  std::string FResource;
  TmncTransactions FTransactions;
  int FStartCount = 0;
  // Outcome of the shared engine transaction of emulated transactions: a rollback by any of
  // them wins over the commits of the others, so rolled-back work is never committed.
  TmncTransactionAction FEmulatedAction = sdaCommit;
  TmncStates FStates;
  TmncModes FMode;
  bool FDestroying = false;
  int FConnectTimeout = DefaultConnectTimeout();
};

// A transaction on a connection (linked, not owned). Its Links are the commands bound to it.
//
// Engine side: `DoStart`, `DoStop`; as needed `DoInit`, `GetActive`.
//
// Behaviours: sbhMultiple sends every start and stop to the engine; sbhEmulate shares one engine
// transaction among all transactions of the connection (the first start begins it, the stop
// that ends the last nesting level ends it, and one rollback inside makes that final stop a
// rollback); with neither, nothing reaches the engine. On a strict connection starting an active
// transaction and stopping an inactive one raise.
class TmncTransaction : public TmncLinksObject {
 public:
  // Behaviours from the connection's capabilities: sbhStrict with ccStrict; with
  // ccTransaction, sbhMultiple when ccMultiTransaction is present too, else sbhEmulate.
  explicit TmncTransaction(TmncConnection* connection);
  TmncTransaction(TmncConnection* connection, TmncTransactionBehaviors behaviors);
  ~TmncTransaction() override;

  TmncConnection* Connection() const { return FConnection; }
  // Moves the transaction between the connections' Transactions lists.
  void SetConnection(TmncConnection* value);

  void Start() { InternalStart(); }
  // Ends one level with the transaction's Action.
  void Stop() { InternalStop(FAction, false); }
  virtual void Commit(bool retaining = false) { InternalStop(sdaCommit, retaining); }
  virtual void Rollback(bool retaining = false) { InternalStop(sdaRollback, retaining); }
  void CommitRetaining() { Commit(true); }
  void RollbackRetaining() { Rollback(true); }

  virtual bool GetActive() const { return FStartCount > 0; }
  bool Active() const { return GetActive(); }
  // Start or Stop when `value` differs from Active.
  void SetActive(bool value);

  // Guards: "Transaction is not active/opened" / "Transaction is active/opened".
  void CheckActive() const;
  void CheckInactive() const;

  // What Stop (and destruction of an active transaction) does; sdaCommit unless set.
  TmncTransactionAction Action() const { return FAction; }
  void SetAction(TmncTransactionAction value) { FAction = value; }
  TmncTransactionBehaviors Behaviors() const { return FBehaviors; }
  int StartCount() const { return FStartCount; }
  // Name=value lines; a change while active raises "Transaction is active/opened".
  TmncStringList& Params() { return FParams; }
  const TmncStringList& Params() const { return FParams; }
  bool ParamsChanged() const { return FParamsChanged || FParams.Changed(); }

 protected:
  virtual void DoInit() {}  // once, before the first start
  virtual void DoStart() = 0;
  virtual void DoStop(TmncTransactionAction how, bool retaining) = 0;
  virtual void InternalStart();
  virtual void InternalStop(TmncTransactionAction how, bool retaining);

  // Stops the transaction when active (with its Action), detaches its commands and leaves the
  // connection. Call first in the destructor of a concrete engine class; runs once.
  void BeforeDestruction();

 private:
  TmncStringList FParams;
  TmncConnection* FConnection = nullptr;
  int FStartCount = 0;
  TmncTransactionAction FAction = sdaCommit;
  bool FParamsChanged = false;
  bool FIsInit = false;
  TmncTransactionBehaviors FBehaviors;
  bool FDestroying = false;
};

class TmncCommand;

// Walks the rows of a command: creating it executes the command when not executed yet;
// `MoveNext` is Fetch, `Current` the fields of the row.
class TmncCommandEnumerator {
 public:
  explicit TmncCommandEnumerator(TmncCommand& command);
  bool MoveNext();
  TmncFields* Current() const;

 private:
  TmncCommand& FCommand;
};

// A command on a transaction (linked, not owned): prepares a statement, takes parameter values,
// executes and steps through result rows.
//
// Engine side: `DoParse`, `DoPrepare`, `DoExecute` (mark Done when there is no row),
// `DoNext` (load the next row into Fields, or mark Done), `DoClose`, `CreateFields`,
// `CreateParams`; as needed `GetActive`, `DoUnprepare`, `CreateColumns`, `CreateBinds`.
// The engine builds Fields after execution with `SetFields(CreateFields(&Columns()))`.
//
// Calling order: set the text; Prepare (which resets every parameter to null); assign
// parameters; Execute (positions on the first row); while not Done read Fields and call Next.
class TmncCommand : public TmncLinkObject {
 public:
  explicit TmncCommand(TmncTransaction* transaction = nullptr);
  ~TmncCommand() override;

  TmncTransaction* Transaction() const;
  void SetTransaction(TmncTransaction* value) { SetLink(value); }

  // The command text; any change unparses the command.
  const std::string& Request() const { return FRequest; }
  void SetRequest(const std::string& text);
  // Appends a line (after a line break when the text is not empty).
  void AddRequestLine(const std::string& line);

  // Active := true executes, false closes (nothing when unchanged).
  void SetActive(bool value) override;

  // DoParse, then Parsed.
  void Parse();
  // "Command is already prepared!" when prepared; "Transaction not assigned" without a
  // transaction; parses when needed; DoPrepare; every parameter becomes null.
  void Prepare();
  // Prepares when needed and runs the statement; with `next` positions on the first row.
  // True when a row is there.
  bool Execute(bool next = true) { return InternalExecute(next); }
  // The next row; false (and Done) when there is none.
  bool Next();
  // Iteration without a separate first step: the first call delivers the row that Execute
  // loaded. A call that returns false closes the command.
  bool Fetch();
  // Releases the result and unprepares: the next Execute prepares again.
  void Close();
  // Not prepared, no text, no parameters, no binds.
  virtual void Clear();

  // Guards: "Command is not active/opened" / "Command is active/opened".
  void CheckActive() const;
  void CheckInactive() const;

  // For engines: mark the result exhausted / the current row consumed.
  void HitDone() { FDone = true; }
  void HitDone(bool condition) {
    if (condition)
      FDone = true;
  }
  void HitUnready() { FReady = false; }

  // The field of the current row, or nil (also when there are no fields yet).
  TmncField* Field(std::string_view name) const;
  // The field at `index`; "Fields is nil" when there are no fields.
  TmncField* FieldItem(int index) const;
  // Prepares first when needed; the parameter or nil.
  TmncParam* Param(std::string_view name);
  // Prepares first when needed; "Current record not found" without fields; an empty value for
  // an unknown name.
  Variant Values(std::string_view name);

  // Consume the remaining rows as text; "" when there are no fields.
  std::string AsJson(TmncFetchOptions options = {}, const std::string& rows = "rows");
  std::string AsCSV(TmncFetchOptions options = {}, const std::string& delimiter = ",");
  TmncCommandEnumerator GetEnumerator() { return TmncCommandEnumerator(*this); }

  TmncColumns& Columns();
  void SetColumns(const TmncColumns& value) { Columns().Assign(value); }
  TmncFields* Fields() const { return FFields.get(); }
  // Takes the new fields and frees the previous ones.
  void SetFields(std::unique_ptr<TmncFields> value);
  TmncParams& Params();
  TmncBinds& Binds();
  TmncCommandOptions Options() const { return FOptions; }
  void SetOptions(TmncCommandOptions value) { FOptions = value; }

  bool Parsed() const { return FParsed; }
  bool Prepared() const { return FPrepared; }
  bool Executed() const { return FExecuted; }
  bool Done() const { return FDone; }
  bool Ready() const { return FReady; }
  // 0-based number of the current row.
  std::int64_t Index() const { return FIndex; }
  std::int64_t ID() const { return FID; }
  void SetID(std::int64_t value) { FID = value; }
  std::int64_t Tag() const { return FID; }
  void SetTag(std::int64_t value) { FID = value; }

 protected:
  virtual void DoParse() = 0;
  virtual void DoPrepare() = 0;
  virtual void DoUnprepare() {}
  virtual void DoExecute() = 0;
  virtual void DoNext() = 0;
  virtual void DoClose() = 0;
  // Marks the command unparsed and closes it when active; a prepared statement that is not
  // active is unprepared too, so that the next Execute prepares the new text.
  virtual void DoUnparse();
  virtual std::unique_ptr<TmncFields> CreateFields(TmncColumns* columns) = 0;
  virtual std::unique_ptr<TmncColumns> CreateColumns();
  virtual std::unique_ptr<TmncParams> CreateParams() = 0;
  virtual std::unique_ptr<TmncBinds> CreateBinds();
  virtual bool InternalExecute(bool next);

  // Closes the command when active and leaves the transaction. Call first in the destructor
  // of a concrete engine class; runs once.
  void BeforeDestruction();

 private:
  friend class TmncCommandEnumerator;

  // Created on first use (an engine's Create* override is reachable only after construction).
  std::unique_ptr<TmncColumns> FColumns;
  std::unique_ptr<TmncFields> FFields;
  TmncCommandOptions FOptions;
  std::unique_ptr<TmncParams> FParams;
  std::unique_ptr<TmncBinds> FBinds;
  bool FParsed = false;
  bool FPrepared = false;
  std::int64_t FIndex = 0;
  std::int64_t FID = 0;
  bool FDone = true;
  bool FReady = true;
  bool FExecuted = false;
  bool FFetched = false;
  std::string FRequest;
  bool FDestroying = false;
};

}  // namespace qm
