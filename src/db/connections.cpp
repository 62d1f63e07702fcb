#include "db/connections.h"

#include <atomic>

#include "support/text_utils.h"

namespace qm {

// ---- Links ----

TmncLinkObject::~TmncLinkObject() {
  SetLink(nullptr);
}

void TmncLinkObject::SetLink(TmncLinksObject* value) {
  if (value == FLink)
    return;
  if (FLink != nullptr)
    FLink->Links().Extract(this);
  FLink = value;
  if (FLink != nullptr)
    FLink->Links().Add(this);
}

void TmncLinks::Close() {
  for (int i = 0; i < Count(); ++i)
    Items(i)->SetActive(false);
}

void TmncLinks::Unlink() {
  while (Count() > 0)
    Items(0)->SetLink(nullptr);
}

// ---- TmncTransactions ----

bool TmncTransactions::IsAnyActive() const {
  for (TmncTransaction* transaction : *this) {
    if (transaction->Active())
      return true;
  }
  return false;
}

void TmncTransactions::StopAll() {
  for (int i = 0; i < Count(); ++i) {
    TmncTransaction* transaction = Items(i);
    try {
      if (transaction->Active())
        transaction->Stop();
    } catch (...) {
      // The connection is going away; a failed final commit cannot be reported from here.
    }
  }
}

// ---- TmncConnection ----

namespace {
std::atomic<int> gDefaultConnectTimeout{15};
}  // namespace

int TmncConnection::DefaultConnectTimeout() {
  return gDefaultConnectTimeout.load();
}

void TmncConnection::SetDefaultConnectTimeout(int seconds) {
  gDefaultConnectTimeout.store(seconds < 0 ? 0 : seconds);
}

TmncConnection::TmncConnection() : FParams([this] { CheckChangeable(); }) {}

TmncConnection::~TmncConnection() {
  if (!FDestroying) {
    // Without the engine's BeforeDestruction only the links can be undone.
    FDestroying = true;
    while (FTransactions.Count() > 0)
      FTransactions.Items(0)->SetConnection(nullptr);
  }
}

void TmncConnection::BeforeDestruction() {
  if (FDestroying)
    return;
  FDestroying = true;
  FTransactions.StopAll();
  while (FTransactions.Count() > 0)
    FTransactions.Items(0)->SetConnection(nullptr);
  try {
    if (Connected())
      Disconnect();
  } catch (...) {
    // Destruction never throws.
  }
}

bool TmncConnection::IsStrict() const {
  return FMode.Contains(mcmStrict) || Capabilities().Contains(ccStrict);
}

void TmncConnection::Connect() {
  DoBeforeConnect();
  if (Connected())
    throw EmncException("Connection is connected");
  DoConnect();
  if (Connected()) {
    DoConnected();
    if (FOnConnected)
      FOnConnected(*this);
  }
}

void TmncConnection::Disconnect() {
  if (!Connected())
    throw EmncException("Connection is not connected");
  DoDisconnect();
  if (Connected())
    return;
  DoDisconnected();
  if (FOnDisconnected)
    FOnDisconnected(*this);
}

void TmncConnection::SetConnected(bool value) {
  if (value == Connected())
    return;
  if (value)
    Connect();
  else
    Disconnect();
}

void TmncConnection::CheckConnected() const {
  if (!Connected())
    throw EmncException("Connection is not connected");
}

void TmncConnection::CheckDisconnected() const {
  if (Connected())
    throw EmncException("Connection is connected");
}

void TmncConnection::CheckChangeable() const {
  CheckDisconnected();
}

void TmncConnection::SetServerInfo(const TmncServerInfo& value) {
  CheckChangeable();
  FServerInfo = value;
  FParamsChanged = true;
}

void TmncConnection::SetHost(const std::string& value) {
  CheckChangeable();
  FServerInfo.Host = value;
  FParamsChanged = true;
}

void TmncConnection::SetPort(const std::string& value) {
  CheckChangeable();
  FServerInfo.Port = value;
  FParamsChanged = true;
}

void TmncConnection::SetUserName(const std::string& value) {
  CheckChangeable();
  FServerInfo.UserName = value;
  FParamsChanged = true;
}

void TmncConnection::SetPassword(const std::string& value) {
  CheckChangeable();
  FServerInfo.Password = value;
  FParamsChanged = true;
}

void TmncConnection::SetRole(const std::string& value) {
  CheckChangeable();
  FServerInfo.Role = value;
  FParamsChanged = true;
}

void TmncConnection::SetState(TmncState state) {
  if (static_cast<int>(state) <= 7)
    FStates.Include(state);
}

// ---- TmncTransaction ----

namespace {

TmncTransactionBehaviors BehaviorsOf(const TmncConnection* connection) {
  TmncTransactionBehaviors behaviors;
  if (connection == nullptr)
    return behaviors;
  const TmncCapabilities caps = connection->Capabilities();
  if (caps.Contains(ccStrict))
    behaviors.Include(sbhStrict);
  if (caps.Contains(ccTransaction))
    behaviors.Include(caps.Contains(ccMultiTransaction) ? sbhMultiple : sbhEmulate);
  return behaviors;
}

}  // namespace

TmncTransaction::TmncTransaction(TmncConnection* connection)
    : TmncTransaction(connection, BehaviorsOf(connection)) {}

TmncTransaction::TmncTransaction(TmncConnection* connection, TmncTransactionBehaviors behaviors)
    : FParams([this] { CheckInactive(); }), FBehaviors(behaviors) {
  SetConnection(connection);
}

TmncTransaction::~TmncTransaction() {
  if (!FDestroying) {
    FDestroying = true;
    Links().Unlink();
    SetConnection(nullptr);
  }
}

void TmncTransaction::BeforeDestruction() {
  if (FDestroying)
    return;
  FDestroying = true;
  try {
    if (Active())
      Stop();
  } catch (...) {
    // Destruction never throws.
  }
  Links().Unlink();
  SetConnection(nullptr);
}

void TmncTransaction::SetConnection(TmncConnection* value) {
  if (value == FConnection)
    return;
  if (FConnection != nullptr)
    FConnection->FTransactions.Extract(this);
  FConnection = value;
  if (FConnection != nullptr)
    FConnection->FTransactions.Add(this);
}

void TmncTransaction::SetActive(bool value) {
  if (value == Active())
    return;
  if (value)
    Start();
  else
    Stop();
}

void TmncTransaction::CheckActive() const {
  if (!Active())
    throw EmncException("Transaction is not active/opened");
}

void TmncTransaction::CheckInactive() const {
  if (Active())
    throw EmncException("Transaction is active/opened");
}

void TmncTransaction::InternalStart() {
  if (FConnection == nullptr)
    throw EmncException("Connection is not connected");
  if (FConnection->IsStrict()) {
    if (Active())
      throw EmncException("Transaction is already active.");
    if (!FConnection->Connected())
      throw EmncException("Connection is not connected");
  }
  if (!FIsInit) {
    DoInit();
    FIsInit = true;
  }
  if (FBehaviors.Contains(sbhEmulate)) {
    if (FConnection->FStartCount == 0) {
      FConnection->FEmulatedAction = sdaCommit;
      DoStart();
    }
    FConnection->FStartCount++;
  } else if (FBehaviors.Contains(sbhMultiple)) {
    DoStart();
  }
  FStartCount++;
}

void TmncTransaction::InternalStop(TmncTransactionAction how, bool retaining) {
  if (FConnection == nullptr) {
    // Left behind by a connection that is gone: nothing can reach the engine any more.
    if (!retaining && FStartCount > 0)
      FStartCount--;
    return;
  }
  if (FConnection->IsStrict() && !Active())
    throw EmncException("Oops you have not started it yet!");
  if (FBehaviors.Contains(sbhEmulate)) {
    if (retaining) {
      DoStop(how, true);
    } else {
      int& shared = FConnection->FStartCount;
      if (shared == 0)
        throw EmncException("Transaction not started yet!");
      TmncTransactionAction& outcome = FConnection->FEmulatedAction;
      if (how < outcome)
        how = outcome;
      else
        outcome = how;
      if (shared == 1) {
        DoStop(how, false);
        shared = 0;
      } else {
        shared--;
      }
    }
  } else if (FBehaviors.Contains(sbhMultiple)) {
    DoStop(how, retaining);
  }
  if (!retaining && FStartCount > 0)
    FStartCount--;
}

// ---- TmncCommandEnumerator ----

TmncCommandEnumerator::TmncCommandEnumerator(TmncCommand& command) : FCommand(command) {
  if (!FCommand.FExecuted)
    FCommand.Execute(true);
}

bool TmncCommandEnumerator::MoveNext() {
  return FCommand.Fetch();
}

TmncFields* TmncCommandEnumerator::Current() const {
  return FCommand.Fields();
}

// ---- TmncCommand ----

TmncCommand::TmncCommand(TmncTransaction* transaction) {
  SetLink(transaction);
}

TmncCommand::~TmncCommand() {
  FDestroying = true;
  SetLink(nullptr);
}

void TmncCommand::BeforeDestruction() {
  if (FDestroying)
    return;
  FDestroying = true;
  try {
    SetActive(false);
  } catch (...) {
    // Destruction never throws.
  }
  SetLink(nullptr);
}

TmncTransaction* TmncCommand::Transaction() const {
  return dynamic_cast<TmncTransaction*>(FLink);
}

void TmncCommand::SetRequest(const std::string& text) {
  FRequest = text;
  DoUnparse();
}

void TmncCommand::AddRequestLine(const std::string& line) {
  if (!FRequest.empty())
    FRequest += '\n';
  FRequest += line;
  DoUnparse();
}

void TmncCommand::SetActive(bool value) {
  if (value == Active())
    return;
  if (value)
    Execute();
  else
    Close();
}

void TmncCommand::DoUnparse() {
  FParsed = false;
  if (Active()) {
    Close();
  } else if (FPrepared) {
    DoUnprepare();
    FPrepared = false;
  }
}

void TmncCommand::Parse() {
  DoParse();
  FParsed = true;
}

void TmncCommand::Prepare() {
  if (FPrepared)
    throw EmncException("Command is already prepared!");
  if (Transaction() == nullptr)
    throw EmncException("Transaction not assigned");
  if (!FParsed)
    Parse();
  DoPrepare();
  FPrepared = true;
  Params().Clean();
}

bool TmncCommand::InternalExecute(bool next) {
  FIndex = -1;
  if (!FPrepared)
    Prepare();
  FReady = true;
  FDone = false;
  DoExecute();
  FExecuted = true;
  if (next && !FDone) {
    const bool result = Next();
    FFetched = false;
    return result;
  }
  FIndex++;
  return !FDone;
}

bool TmncCommand::Next() {
  DoNext();
  FReady = false;
  FFetched = true;
  if (!FDone)
    FIndex++;
  return !FDone;
}

bool TmncCommand::Fetch() {
  if (!FExecuted)
    InternalExecute(true);
  bool result;
  if (FFetched) {
    result = Next();
  } else {
    FFetched = true;
    result = !FDone;
  }
  if (!result)
    Close();
  return result;
}

void TmncCommand::Close() {
  FReady = true;
  FDone = true;
  FExecuted = false;
  DoClose();
  if (FPrepared)
    DoUnprepare();
  FPrepared = false;
  FIndex = 0;
}

void TmncCommand::Clear() {
  SetRequest(std::string());
  FPrepared = false;
  if (FParams)
    FParams->Clear();
  if (FBinds)
    FBinds->Clear();
}

void TmncCommand::CheckActive() const {
  if (!Active())
    throw EmncException("Command is not active/opened");
}

void TmncCommand::CheckInactive() const {
  if (Active())
    throw EmncException("Command is active/opened");
}

TmncField* TmncCommand::Field(std::string_view name) const {
  return FFields ? FFields->Field(name) : nullptr;
}

TmncField* TmncCommand::FieldItem(int index) const {
  if (!FFields)
    throw EmncException("Fields is nil");
  return FFields->Items(index);
}

TmncParam* TmncCommand::Param(std::string_view name) {
  if (!FPrepared)
    Prepare();
  return Params().Param(name);
}

Variant TmncCommand::Values(std::string_view name) {
  if (!FPrepared)
    Prepare();
  if (!FFields)
    throw EmncException("Current record not found");
  return FFields->Values(name);
}

TmncColumns& TmncCommand::Columns() {
  if (!FColumns)
    FColumns = CreateColumns();
  return *FColumns;
}

void TmncCommand::SetFields(std::unique_ptr<TmncFields> value) {
  FFields = std::move(value);
}

TmncParams& TmncCommand::Params() {
  if (!FParams)
    FParams = CreateParams();
  return *FParams;
}

TmncBinds& TmncCommand::Binds() {
  if (!FBinds)
    FBinds = CreateBinds();
  return *FBinds;
}

std::unique_ptr<TmncColumns> TmncCommand::CreateColumns() {
  return std::make_unique<TmncColumns>();
}

std::unique_ptr<TmncBinds> TmncCommand::CreateBinds() {
  return std::make_unique<TmncBinds>();
}

std::string TmncCommand::AsJson(TmncFetchOptions options, const std::string& rows) {
  if (!FFields)
    return std::string();
  std::string out = options.Contains(asObject) ? "{\"" + EscapeJson(rows) + "\": [\n" : "[\n";
  bool first_row = true;
  while (!FDone && FFields) {
    if (!first_row)
      out += ",\n";
    first_row = false;
    if (options.Contains(asIndex))
      out += "{ \"index\":\"" + std::to_string(FIndex) + "\",";
    else
      out += "{";
    for (int i = 0; i < FFields->Count(); ++i) {
      const TmncField* field = FFields->Items(i);
      if (i > 0)
        out += ",";
      out += "\"" + EscapeJson(field->Name()) + "\":";
      // The field's own type; a field that never got one is described by its column.
      TmnDataType type = field->DataType();
      if (type == dtUnknown && field->Column() != nullptr)
        type = field->Column()->DataType();
      if (type == dtBoolean || type == dtInteger || type == dtCurrency || type == dtFloat)
        out += field->IsNull() ? std::string("null") : field->AsText();
      else
        out += "\"" + EscapeJson(field->AsText()) + "\"";
    }
    out += "}";
    Next();
  }
  out += "\n]";
  if (options.Contains(asObject))
    out += "}";
  return out;
}

std::string TmncCommand::AsCSV(TmncFetchOptions options, const std::string& delimiter) {
  if (!FFields)
    return std::string();
  std::string out;
  if (options.Contains(asNames)) {
    for (int i = 0; i < FFields->Count(); ++i) {
      if (i > 0)
        out += delimiter;
      out += FFields->Items(i)->Name();
    }
    out += "\n";
  }
  bool first_row = true;
  while (!FDone && FFields) {
    if (!first_row)
      out += "\n";
    first_row = false;
    for (int i = 0; i < FFields->Count(); ++i) {
      if (i > 0)
        out += delimiter;
      out += FFields->Items(i)->AsText();
    }
    Next();
  }
  return out;
}

}  // namespace qm
