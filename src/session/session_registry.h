#pragma once

// The client sessions of the server: each session holds one open database connection, its
// default transaction, and the transactions and prepared commands that the client opened,
// every one under a handle of its own. One process-wide registry keeps the sessions by handle.
//
// Lifetime: the registry holds its sessions through std::shared_ptr and a command that works on
// a session holds its own reference (taken under the registry lock), so a session that another
// client disconnects meanwhile stays valid until that command has finished; the last reference
// frees it.
//
// Locks, in the only nesting order: the registry lock (Enter/Leave of TqmdConnections) guards
// the registry's buckets and is held only to find, add, remove and list sessions; it is never
// held while a session is freed or a database call runs. The session lock (Enter/Leave of
// TqmdConnection) is taken after the registry lock is released and guards the session's
// connection, transactions and prepared commands (FTransaction, FCommands, FTransactions).

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/sql_connections.h"
#include "support/date_time.h"
#include "support/hash_list.h"
#include "support/thread_annotations.h"

namespace qm {

class TpdcDataCommandConnection;

// One prepared command under its handle; owns the command.
class TqmdCommand : public TprmHashItem {
 public:
  TqmdCommand(std::uint32_t Handle, std::unique_ptr<TmncSQLCommand> Command);
  ~TqmdCommand() override;
  TprmHashKey Key() const override { return FHandle; }
  std::uint32_t Handle() const { return FHandle; }
  TmncSQLCommand* Command() const { return FCommand.get(); }

 private:
  std::uint32_t FHandle;
  std::unique_ptr<TmncSQLCommand> FCommand;
};

// The prepared commands of one session, by handle.
class TqmdCommands : public TprmHashList {
 public:
  TqmdCommand* Find(std::uint32_t vHandle) { return FindAs<TqmdCommand>(vHandle); }
  TqmdCommand* Items(std::uint32_t vHandle) { return Find(vHandle); }
  TqmdCommand* RegisterCommand(std::unique_ptr<TmncSQLCommand> vCommand, std::uint32_t vHandle);

 protected:
  std::uint32_t KeyHash(const TprmHashKey& key) const override { return IntegerKeyHash(key); }
};

// One transaction that the client opened, under its handle; owns the transaction and rolls it
// back when it is still active as it goes.
class TqmdTransaction : public TprmHashItem {
 public:
  TqmdTransaction(std::uint32_t Handle, std::unique_ptr<TmncSQLTransaction> Transaction);
  ~TqmdTransaction() override;
  TprmHashKey Key() const override { return FHandle; }
  std::uint32_t Handle() const { return FHandle; }
  TmncSQLTransaction* Transaction() const { return FTransaction.get(); }

 private:
  std::uint32_t FHandle;
  std::unique_ptr<TmncSQLTransaction> FTransaction;
};

// The opened transactions of one session, by handle.
class TqmdTransactions : public TprmHashList {
 public:
  TqmdTransaction* Find(std::uint32_t vHandle) { return FindAs<TqmdTransaction>(vHandle); }
  TqmdTransaction* Items(std::uint32_t vHandle) { return Find(vHandle); }
  TqmdTransaction* RegisterTransaction(std::unique_ptr<TmncSQLTransaction> vTransaction,
                                       std::uint32_t vHandle);

 protected:
  std::uint32_t KeyHash(const TprmHashKey& key) const override { return IntegerKeyHash(key); }
};

// One client session. Handle, RemoteIP and the connection's Resource do not change after
// creation; LastAccess and the two counts may be read from any thread. Everything else is used
// only under the session lock.
class TqmdConnection {
 public:
  // Seconds of idleness after which a session is dead.
  static constexpr std::int64_t DeadAge = 900;

  // Takes the open connection over and creates the default transaction on it.
  TqmdConnection(std::unique_ptr<TmncSQLConnection> vConn, std::uint32_t vHandle,
                 std::string vRemoteIP);
  // Logs "%s: Disconnect [%s]", frees the default transaction, the prepared commands and the
  // opened transactions, then disconnects and frees the connection. Never raises.
  ~TqmdConnection();
  TqmdConnection(const TqmdConnection&) = delete;
  TqmdConnection& operator=(const TqmdConnection&) = delete;

  TmncSQLConnection* Connection() const { return FConnection.get(); }
  std::uint32_t Handle() const { return FHandle; }
  const std::string& RemoteIP() const { return FRemoteIP; }
  // The connection's database name or file (fixed once connected).
  const std::string& Resource() const { return FResource; }
  TDateTime LastAccess() const { return FLastAccess.load(); }
  void SetLastAccess(TDateTime Value) { FLastAccess.store(Value); }
  void HitLastAccess();
  // Whole seconds since LastAccess.
  std::int64_t Age() const;
  bool IsDead() const { return Age() > DeadAge; }

  TqmdCommands& Commands() REQUIRES(FLock) { return FCommands; }
  TqmdTransactions& Transactions() REQUIRES(FLock) { return FTransactions; }
  // The session's default transaction.
  TmncSQLTransaction* Transaction() const { return FTransaction.get(); }
  // The client connection that made the session: linked, never read here.
  TpdcDataCommandConnection* Server() const { return FServer.load(); }
  void SetServer(TpdcDataCommandConnection* Value) { FServer.store(Value); }

  // The counts of Commands and Transactions as last refreshed by SyncCounts: safe to read
  // without the session lock (the "Status" command does).
  int CommandCount() const { return FCommandCount.load(); }
  int TransactionCount() const { return FTransactionCount.load(); }
  // Call under the session lock after changing Commands or Transactions.
  void SyncCounts() REQUIRES(FLock);

  // The default transaction for 0, else the opened transaction vHandle; raises "Transaction
  // Handle Not Found" for a handle that is not open.
  TmncSQLTransaction* FindTransaction(std::uint32_t vHandle) REQUIRES(FLock);
  // Creates a transaction with the parameter lines vParams, starts it and registers it under
  // the next handle. On failure nothing is registered and no handle is used.
  TqmdTransaction* OpenTransaction(const std::string& vParams) REQUIRES(FLock);
  // Creates a command on vTR with the text vCommand, prepares it and registers it under the
  // next handle. On failure nothing is registered and no handle is used.
  TqmdCommand* PrepareSQL(TmncSQLTransaction* vTR, const std::string& vCommand) REQUIRES(FLock);
  // 1, 2, 3 ... shared by transactions and commands.
  std::uint32_t NextHandle() { return ++FQMDHandles; }

  // The session lock: one request at a time works on the session. Taken once per request
  // (never again inside it), so it is not re-entrant.
  TMutex& Lock() RETURN_CAPABILITY(FLock) { return FLock; }

 private:
  std::unique_ptr<TmncSQLConnection> FConnection;
  std::uint32_t FHandle;
  std::atomic<TDateTime> FLastAccess;
  TqmdCommands FCommands GUARDED_BY(FLock);
  TqmdTransactions FTransactions GUARDED_BY(FLock);
  std::atomic<std::uint32_t> FQMDHandles{0};
  std::unique_ptr<TmncSQLTransaction> FTransaction;
  std::atomic<TpdcDataCommandConnection*> FServer{nullptr};
  std::string FRemoteIP;
  std::string FResource;
  std::atomic<int> FCommandCount{0};
  std::atomic<int> FTransactionCount{0};
  TMutex FLock;
};

using TqmdConnectionPtr = std::shared_ptr<TqmdConnection>;

// How the registry hands out and shows its sessions (the server's configuration).
struct TqmdSessionRules {
  // Sessions at once, counting those still connecting; 0 for no bound.
  static constexpr int kDefaultMaxSessions = 1000;
  int MaxSessions = kDefaultMaxSessions;
  // Handles drawn at random; a session serves, lists and recreates only for the client address
  // that opened it.
  bool PrivateSessions = false;
};

// All sessions of the process, by handle, in the buckets of a TprmHashList (1023 of them), so
// that listings come in bucket order. The lookups do not lock; callers hold Enter/Leave.
//
// Handles: IssueHandle gives a number that no session holds and no other connect is about to
// take (1, 2, 3 ... per start, or drawn at random with PrivateSessions); it stays reserved
// until RegisterConnection or ReleaseHandle. Reconnect may make a session anew only under a
// handle that this run issued and that is neither live nor reserved (MayRecreate), so that no
// client can plant a session under a number that the next "Connect" hands to someone else.
class TqmdConnections {
 public:
  // Handles of ended sessions remembered with their owners for Reconnect (PrivateSessions);
  // past it the oldest are forgotten, so that the memory stays bounded.
  static constexpr std::size_t kMaxRememberedHandles = 65536;

  TqmdConnections();
  ~TqmdConnections();
  TqmdConnections(const TqmdConnections&) = delete;
  TqmdConnections& operator=(const TqmdConnections&) = delete;

  // The process-wide registry, created on first use.
  static TqmdConnections& Instance();

  // For the sessions made from now on; the server sets them once at start.
  void SetRules(const TqmdSessionRules& Value) EXCLUDES(FLock);
  TqmdSessionRules Rules() const EXCLUDES(FLock);
  bool PrivateSessions() const REQUIRES(FLock) { return FRules.PrivateSessions; }

  // A new handle for a session of vRemoteIP, reserved. Raises Exception "Too many sessions"
  // when MaxSessions sessions are live or connecting.
  std::uint32_t IssueHandle(const std::string& vRemoteIP) REQUIRES(FLock);
  // Gives a reserved handle up (its connect failed).
  void ReleaseHandle(std::uint32_t vHandle) REQUIRES(FLock);
  // Whether vRemoteIP may have a session made anew under vHandle: issued by this run, owned by
  // vRemoteIP (PrivateSessions), not live and not reserved. Raises "Too many sessions" like
  // IssueHandle when it may but the bound is reached.
  bool MayRecreate(std::uint32_t vHandle, const std::string& vRemoteIP) REQUIRES(FLock);
  // Forgets the owner of an ended handle: a "Disconnect" ends it for good.
  void ForgetHandle(std::uint32_t vHandle) REQUIRES(FLock);

  TqmdConnectionPtr Find(std::uint32_t vHandle) REQUIRES(FLock);
  // The session as vRemoteIP sees it: with PrivateSessions only its own, else any.
  TqmdConnectionPtr FindFor(std::uint32_t vHandle, const std::string& vRemoteIP) REQUIRES(FLock);
  TqmdConnectionPtr Items(std::uint32_t vHandle) REQUIRES(FLock) { return Find(vHandle); }
  // Makes a session of the open connection vConn (the session owns it), adds it and logs
  // "%s: Register Connection [%s]".
  TqmdConnectionPtr RegisterConnection(std::unique_ptr<TmncSQLConnection> vConn,
                                       std::uint32_t vHandle, const std::string& vRemoteIP)
      REQUIRES(FLock);
  // Takes out every dead session, logging "%s: Delete Dead [%s]" for each, and returns them.
  std::vector<TqmdConnectionPtr> EnumDeadConnections() REQUIRES(FLock);
  // Takes the session out and returns it (null when not registered).
  TqmdConnectionPtr Extract(std::uint32_t vHandle) REQUIRES(FLock);
  // Every session, in bucket order.
  std::vector<TqmdConnectionPtr> EnumItems() const REQUIRES(FLock);
  // The sessions vRemoteIP may see ("Status"): with PrivateSessions only its own.
  std::vector<TqmdConnectionPtr> EnumItemsFor(const std::string& vRemoteIP) const REQUIRES(FLock);
  // Drops every session (each is freed once no command holds it any more) and starts the
  // handles afresh.
  void Clear();
  int Count() const REQUIRES(FLock) { return FList.Count(); }

  // Taken for one look-up or change at a time, never again inside: not re-entrant.
  TMutex& Lock() RETURN_CAPABILITY(FLock) { return FLock; }

 private:
  class TqmdConnectionItem;
  class TqmdConnectionList : public TprmHashList {
   protected:
    std::uint32_t KeyHash(const TprmHashKey& key) const override { return IntegerKeyHash(key); }
  };

  void CheckRoom() const REQUIRES(FLock);
  // Whether vHandle is 0, held by a session, reserved by a connect or remembered for its owner.
  bool HandleTaken(std::uint32_t vHandle) REQUIRES(FLock);
  void RememberOwner(std::uint32_t vHandle, const std::string& vRemoteIP) REQUIRES(FLock);

  TqmdConnectionList FList GUARDED_BY(FLock);
  TqmdSessionRules FRules GUARDED_BY(FLock);
  // The last handle counted out (without PrivateSessions).
  std::uint32_t FLastHandle GUARDED_BY(FLock) = 0;
  // Handles issued whose connect is still under way.
  std::unordered_set<std::uint32_t> FReserved GUARDED_BY(FLock);
  // PrivateSessions: every handle issued this run and not disconnected, with the address that
  // opened it, and the order they came in (to forget the oldest).
  std::unordered_map<std::uint32_t, std::string> FOwners GUARDED_BY(FLock);
  std::deque<std::uint32_t> FOwnerOrder GUARDED_BY(FLock);
  mutable TMutex FLock;
};

}  // namespace qm
