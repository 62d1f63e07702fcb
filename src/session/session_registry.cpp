#include "session/session_registry.h"

#include <cmath>
#include <typeinfo>
#include <utility>

#include "support/exception.h"
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
  free_part(FTransaction ? ClassNameOf(typeid(*FTransaction)) : std::string(),
            [this] { FTransaction.reset(); });
  free_part("TqmdCommands", [this] { FCommands.Clear(); });
  free_part("TqmdTransactions", [this] { FTransactions.Clear(); });
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

TqmdConnectionPtr TqmdConnections::Find(std::uint32_t vHandle) {
  auto* item = FList.FindAs<TqmdConnectionItem>(vHandle);
  return item == nullptr ? nullptr : item->Session();
}

TqmdConnectionPtr TqmdConnections::RegisterConnection(std::unique_ptr<TmncSQLConnection> vConn,
                                                      std::uint32_t vHandle,
                                                      const std::string& vRemoteIP) {
  auto session = std::make_shared<TqmdConnection>(std::move(vConn), vHandle, vRemoteIP);
  FList.Add(std::make_unique<TqmdConnectionItem>(session));
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

void TqmdConnections::Clear() {
  std::vector<TqmdConnectionPtr> sessions;
  {
    TLockGuard lock(FLock);
    sessions = EnumItems();
    FList.Clear();
  }
  // The sessions go here, outside the registry lock.
  sessions.clear();
}

}  // namespace qm
