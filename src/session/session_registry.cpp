#include "session/session_registry.h"

#include <cmath>
#include <random>
#include <typeinfo>
#include <utility>

#include "support/exception.h"
#include "support/format.h"
#include "support/log.h"
#include "support/object_list.h"

namespace qm {

// --- TqmdCommand / TqmdCommands ---

TqmdCommand::TqmdCommand(std::uint32_t Handle, std::unique_ptr<TmncSQLCommand> Command)
    : FHandle(Handle), FCommand(std::move(Command)) {}

TqmdCommand::~TqmdCommand() {
  try {
    FCommand.reset();
  } catch (...) {
  }
}

TqmdCommand* TqmdCommands::RegisterCommand(std::unique_ptr<TmncSQLCommand> vCommand,
                                           std::uint32_t vHandle) {
  return Add(std::make_unique<TqmdCommand>(vHandle, std::move(vCommand)));
}

// --- TqmdTransaction / TqmdTransactions ---

TqmdTransaction::TqmdTransaction(std::uint32_t Handle,
                                 std::unique_ptr<TmncSQLTransaction> Transaction)
    : FHandle(Handle), FTransaction(std::move(Transaction)) {}

TqmdTransaction::~TqmdTransaction() {
  // An opened transaction that the client never closed is rolled back, not committed (which is
  // what the engine objects would do on their own).
  try {
    if (FTransaction && FTransaction->Active())
      FTransaction->Rollback();
  } catch (...) {
  }
  try {
    FTransaction.reset();
  } catch (...) {
  }
}

TqmdTransaction* TqmdTransactions::RegisterTransaction(
    std::unique_ptr<TmncSQLTransaction> vTransaction, std::uint32_t vHandle) {
  return Add(std::make_unique<TqmdTransaction>(vHandle, std::move(vTransaction)));
}

// --- TqmdConnection ---

TqmdConnection::TqmdConnection(std::unique_ptr<TmncSQLConnection> vConn, std::uint32_t vHandle,
                               std::string vRemoteIP)
    : FConnection(std::move(vConn)),
      FHandle(vHandle),
      FLastAccess(Now()),
      FRemoteIP(std::move(vRemoteIP)) {
  FResource = FConnection->Resource();
  FTransaction = FConnection->CreateTransaction();
}

TqmdConnection::~TqmdConnection() {
  WriteLogFmt("%s: Disconnect [%s]", {FRemoteIP, FResource});
  const auto free_part = [this](const std::string& class_name, const auto& release) {
    try {
      release();
    } catch (const std::exception& e) {
      WriteLogFmt("%s: Free [%d-%s]: %s", {FRemoteIP, FHandle, class_name, e.what()});
    } catch (...) {
      WriteLogFmt("%s: Free [%d-%s]: %s", {FRemoteIP, FHandle, class_name, ""});
    }
  };
  std::string transaction_class;
  if (FTransaction) {
    const auto& transaction = *FTransaction;
    transaction_class = ClassNameOf(typeid(transaction));
  }
  free_part(transaction_class, [this] { FTransaction.reset(); });
  // The last reference is going: nobody else can hold the session lock any more.
  free_part("TqmdCommands", [this]() NO_THREAD_SAFETY_ANALYSIS { FCommands.Clear(); });
  free_part("TqmdTransactions", [this]() NO_THREAD_SAFETY_ANALYSIS { FTransactions.Clear(); });
  try {
    if (FConnection && FConnection->Connected())
      FConnection->Disconnect();
    FConnection.reset();
  } catch (const std::exception& e) {
    WriteLogFmt("%s: Disconnect [%d]: %s", {FRemoteIP, FHandle, e.what()});
  } catch (...) {
    WriteLogFmt("%s: Disconnect [%d]: %s", {FRemoteIP, FHandle, ""});
  }
  // A connection whose disconnect raised is still freed.
  FConnection.reset();
}

void TqmdConnection::HitLastAccess() {
  FLastAccess.store(Now());
}

std::int64_t TqmdConnection::Age() const {
  // Whole milliseconds first, so that 900 s written as days does not read as 899.999...
  const double ms = std::round((Now() - FLastAccess.load()) * 86400000.0);
  return static_cast<std::int64_t>(ms / 1000.0);
}

void TqmdConnection::SyncCounts() {
  FCommandCount.store(FCommands.Count());
  FTransactionCount.store(FTransactions.Count());
}

TmncSQLTransaction* TqmdConnection::FindTransaction(std::uint32_t vHandle) {
  if (vHandle == 0)
    return FTransaction.get();
  // A handle that is not open (rolled back, dropped by "Reconnect", never opened) must not
  // fall back to the default transaction: the statement would be committed at once while the
  // client believes it part of its transaction.
  TqmdTransaction* item = FTransactions.Find(vHandle);
  if (item == nullptr)
    throw Exception("Transaction Handle Not Found");
  return item->Transaction();
}

TqmdTransaction* TqmdConnection::OpenTransaction(const std::string& vParams) {
  std::unique_ptr<TmncSQLTransaction> transaction = FConnection->CreateTransaction();
  transaction->Params().SetText(vParams);
  transaction->Start();
  TqmdTransaction* item = FTransactions.RegisterTransaction(std::move(transaction), NextHandle());
  SyncCounts();
  return item;
}

TqmdCommand* TqmdConnection::PrepareSQL(TmncSQLTransaction* vTR, const std::string& vCommand) {
  std::unique_ptr<TmncSQLCommand> command = vTR->CreateCommand();
  command->SetSQL(vCommand);
  command->Prepare();
  TqmdCommand* item = FCommands.RegisterCommand(std::move(command), NextHandle());
  SyncCounts();
  return item;
}

// --- TqmdConnections ---

// The registry's item: one reference to a session.
class TqmdConnections::TqmdConnectionItem : public TprmHashItem {
 public:
  explicit TqmdConnectionItem(TqmdConnectionPtr Session) : FSession(std::move(Session)) {}
  TprmHashKey Key() const override { return FSession->Handle(); }
  const TqmdConnectionPtr& Session() const { return FSession; }

 private:
  TqmdConnectionPtr FSession;
};

TqmdConnections::TqmdConnections() = default;

TqmdConnections::~TqmdConnections() {
  Clear();
}

TqmdConnections& TqmdConnections::Instance() {
  static TqmdConnections instance;
  return instance;
}

void TqmdConnections::SetRules(const TqmdSessionRules& Value) {
  TLockGuard lock(FLock);
  FRules = Value;
}

TqmdSessionRules TqmdConnections::Rules() const {
  TLockGuard lock(FLock);
  return FRules;
}

void TqmdConnections::CheckRoom() const {
  const std::size_t open = static_cast<std::size_t>(FList.Count()) + FReserved.size();
  if (FRules.MaxSessions > 0 && open >= static_cast<std::size_t>(FRules.MaxSessions))
    throw Exception(
        Format("Too many sessions (the server allows %d at once)", {FRules.MaxSessions}));
}

bool TqmdConnections::HandleTaken(std::uint32_t vHandle) {
  return vHandle == 0 || Find(vHandle) != nullptr || FReserved.count(vHandle) != 0 ||
         FOwners.count(vHandle) != 0;
}

std::uint32_t TqmdConnections::IssueHandle(const std::string& vRemoteIP) {
  CheckRoom();
  std::uint32_t handle = 0;
  if (FRules.PrivateSessions) {
    // From the system's random source: a handle must not be guessable from one's own.
    std::random_device source;
    // Below 2^31: clients keep a handle as a signed 32-bit number.
    std::uniform_int_distribution<std::uint32_t> draw(1, INT32_MAX);
    do
      handle = draw(source);
    while (HandleTaken(handle));
    RememberOwner(handle, vRemoteIP);
  } else {
    // Past 2^32 - 1 the count starts again, around the handles still in use.
    do
      handle = ++FLastHandle;
    while (HandleTaken(handle));
  }
  FReserved.insert(handle);
  return handle;
}

void TqmdConnections::ReleaseHandle(std::uint32_t vHandle) {
  if (FReserved.erase(vHandle) != 0)
    FOwners.erase(vHandle);
}

bool TqmdConnections::MayRecreate(std::uint32_t vHandle, const std::string& vRemoteIP) {
  if (vHandle == 0 || Find(vHandle) != nullptr || FReserved.count(vHandle) != 0)
    return false;
  if (FRules.PrivateSessions) {
    const auto owner = FOwners.find(vHandle);
    if (owner == FOwners.end() || owner->second != vRemoteIP)
      return false;
  } else if (vHandle > FLastHandle) {
    return false;  // never issued in this run
  }
  CheckRoom();
  return true;
}

void TqmdConnections::ForgetHandle(std::uint32_t vHandle) {
  FOwners.erase(vHandle);
}

void TqmdConnections::RememberOwner(std::uint32_t vHandle, const std::string& vRemoteIP) {
  FOwners[vHandle] = vRemoteIP;
  FOwnerOrder.push_back(vHandle);
  // The oldest ended handles go first; live and reserved ones are kept.
  for (std::size_t turns = FOwnerOrder.size();
       FOwnerOrder.size() > kMaxRememberedHandles && turns > 0; --turns) {
    const std::uint32_t oldest = FOwnerOrder.front();
    FOwnerOrder.pop_front();
    if (Find(oldest) != nullptr || FReserved.count(oldest) != 0)
      FOwnerOrder.push_back(oldest);
    else
      FOwners.erase(oldest);
  }
}

TqmdConnectionPtr TqmdConnections::Find(std::uint32_t vHandle) {
  auto* item = FList.FindAs<TqmdConnectionItem>(vHandle);
  return item == nullptr ? nullptr : item->Session();
}

TqmdConnectionPtr TqmdConnections::FindFor(std::uint32_t vHandle, const std::string& vRemoteIP) {
  TqmdConnectionPtr session = Find(vHandle);
  // Another address's session answers as a handle that does not exist.
  if (session && FRules.PrivateSessions && session->RemoteIP() != vRemoteIP)
    return nullptr;
  return session;
}

TqmdConnectionPtr TqmdConnections::RegisterConnection(std::unique_ptr<TmncSQLConnection> vConn,
                                                      std::uint32_t vHandle,
                                                      const std::string& vRemoteIP) {
  auto session = std::make_shared<TqmdConnection>(std::move(vConn), vHandle, vRemoteIP);
  FList.Add(std::make_unique<TqmdConnectionItem>(session));
  FReserved.erase(vHandle);
  WriteLogFmt("%s: Register Connection [%s]", {vRemoteIP, session->Resource()});
  return session;
}

std::vector<TqmdConnectionPtr> TqmdConnections::EnumDeadConnections() {
  std::vector<TqmdConnectionPtr> dead;
  for (const TqmdConnectionPtr& session : EnumItems()) {
    if (session->IsDead()) {
      WriteLogFmt("%s: Delete Dead [%s]", {session->RemoteIP(), session->Resource()});
      if (TqmdConnectionPtr taken = Extract(session->Handle()))
        dead.push_back(std::move(taken));
    }
  }
  return dead;
}

TqmdConnectionPtr TqmdConnections::Extract(std::uint32_t vHandle) {
  std::unique_ptr<TprmHashItem> item = FList.Extract(vHandle);
  if (!item)
    return nullptr;
  return static_cast<TqmdConnectionItem&>(*item).Session();
}

std::vector<TqmdConnectionPtr> TqmdConnections::EnumItems() const {
  std::vector<TqmdConnectionPtr> sessions;
  sessions.reserve(static_cast<std::size_t>(FList.Count()));
  FList.Process([&sessions](TprmHashItem& item) {
    sessions.push_back(static_cast<TqmdConnectionItem&>(item).Session());
  });
  return sessions;
}

std::vector<TqmdConnectionPtr> TqmdConnections::EnumItemsFor(const std::string& vRemoteIP) const {
  std::vector<TqmdConnectionPtr> sessions = EnumItems();
  if (FRules.PrivateSessions)
    std::erase_if(sessions, [&vRemoteIP](const TqmdConnectionPtr& session) {
      return session->RemoteIP() != vRemoteIP;
    });
  return sessions;
}

void TqmdConnections::Clear() {
  std::vector<TqmdConnectionPtr> sessions;
  {
    TLockGuard lock(FLock);
    sessions = EnumItems();
    FList.Clear();
    FLastHandle = 0;
    FReserved.clear();
    FOwners.clear();
    FOwnerOrder.clear();
  }
  // The sessions go here, outside the registry lock.
  sessions.clear();
}

}  // namespace qm
