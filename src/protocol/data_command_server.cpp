#include "protocol/data_command_server.h"

#include <chrono>
#include <thread>
#include <typeinfo>

#include "support/buffer.h"
#include "support/date_time.h"
#include "support/log.h"
#include "support/metrics.h"
#include "support/object_list.h"
#include "support/text_utils.h"

namespace qm {

// --- TpdcDataCommandClasses ---

const TpdcDataCommandClassItem* TpdcDataCommandClasses::Find(std::string_view name) const {
  for (const auto& item : FItems) {
    if (SameText(item.Name, name)) {
      return &item;
    }
  }
  return nullptr;
}

int TpdcDataCommandClasses::Add(const std::string& name, TpdcDataCommandClass command_class) {
  FItems.push_back({name, std::move(command_class)});
  return Count() - 1;
}

// --- roles ---

namespace {

// Equal texts, in a time that depends on the length of `secret` only.
bool SameSecret(std::string_view data, std::string_view secret) {
  unsigned difference = data.size() == secret.size() ? 0u : 1u;
  for (std::size_t i = 0; i < secret.size(); ++i) {
    const unsigned char given = i < data.size() ? static_cast<unsigned char>(data[i]) : 0u;
    difference |= given ^ static_cast<unsigned char>(secret[i]);
  }
  return difference == 0;
}

}  // namespace

bool TpdcRole::Accepted(std::string_view data) const {
  if (FValue.empty())
    return true;
  return FSecret ? SameSecret(data, FValue) : SameText(data, FValue);
}

TpdcRole* TpdcRoleList::Add(std::string name, std::string value, bool secret) {
  FItems.push_back(std::make_unique<TpdcRole>(this, std::move(name), std::move(value), secret));
  return FItems.back().get();
}

TpdcRole* TpdcRoleList::Find(std::string_view name) const {
  for (const auto& role : FItems) {
    if (SameText(role->Name(), name)) {
      return role.get();
    }
  }
  return nullptr;
}

std::string TpdcRoleList::AsString(std::string_view name) const {
  const TpdcRole* role = Find(name);
  return role == nullptr ? std::string() : role->Value();
}

bool TpdcRoleList::Accepted(std::string_view name, std::string_view data) const {
  const TpdcRole* role = Find(name);
  return role == nullptr || role->Accepted(data);
}

// --- TpdcDataCommand ---

TpdcDataCommand::TpdcDataCommand(TpdcDataCommandConnection& Connection)
    : FConnection(Connection),
      FServerID(Connection.Roles().AsString("Server.ID")),
      FServerPassword(Connection.Roles().AsString("Server.Password")) {}

std::string TpdcDataCommand::RemoteIP() const {
  return FConnection.RemoteIP();
}

std::string TpdcDataCommand::GetCommandName() const {
  return ClassNameOf(typeid(*this));
}

std::string TpdcDataCommand::AsString(std::string_view Guid, std::string_view Name) const {
  return FRequest == nullptr ? std::string() : FRequest->AsString(Guid, Name);
}

std::int32_t TpdcDataCommand::AsInteger(std::string_view Guid, std::string_view Name) const {
  return FRequest == nullptr ? 0 : FRequest->AsInteger(Guid, Name);
}

std::uint32_t TpdcDataCommand::AsCardinal(std::string_view Guid, std::string_view Name) const {
  return FRequest == nullptr ? 0 : FRequest->AsCardinal(Guid, Name);
}

bool TpdcDataCommand::AsBoolean(std::string_view Guid, std::string_view Name) const {
  return FRequest != nullptr && FRequest->AsBoolean(Guid, Name);
}

Currency TpdcDataCommand::AsCurrency(std::string_view Guid, std::string_view Name) const {
  return FRequest == nullptr ? Currency{} : FRequest->AsCurrency(Guid, Name);
}

double TpdcDataCommand::AsDouble(std::string_view Guid, std::string_view Name) const {
  return FRequest == nullptr ? 0.0 : FRequest->AsDouble(Guid, Name);
}

TDateTime TpdcDataCommand::AsDateTime(std::string_view Guid, std::string_view Name) const {
  return AsDouble(Guid, Name);
}

// --- TpdcDataCommandConnection ---

TpdcDataCommandConnection::TpdcDataCommandConnection(TmnConnections* Owner,
                                                     std::unique_ptr<TmnConnectionStream> Stream)
    : TmnServerConnection(Owner, std::move(Stream)) {}

TpdcDataCommandConnection::~TpdcDataCommandConnection() {
  // The thread reads this class's members: end it before they go.
  Terminate();
  WaitFor();
}

TpdcDataCommandListener* TpdcDataCommandConnection::Listener() const {
  return dynamic_cast<TpdcDataCommandListener*>(TmnServerConnection::Listener());
}

namespace {

std::string_view ItemName(std::string_view item) {
  std::size_t eq = item.find('=');
  return eq == std::string_view::npos ? std::string_view() : item.substr(0, eq);
}

}  // namespace

std::string TpdcDataCommandConnection::AsString(std::string_view Name) const {
  for (const auto& item : FHeaders) {
    if (item.find('=') != std::string::npos && SameText(ItemName(item), Name)) {
      return item.substr(item.find('=') + 1);
    }
  }
  return {};
}

void TpdcDataCommandConnection::SetAsString(std::string_view Name, const std::string& Value) {
  for (auto& item : FHeaders) {
    if (item.find('=') != std::string::npos && SameText(ItemName(item), Name)) {
      item = std::string(ItemName(item)) + "=" + Value;
      return;
    }
  }
  FHeaders.push_back(std::string(Name) + "=" + Value);
}

TDataProtocol TpdcDataCommandConnection::DataProtocol() const {
  return LowerCase(Protocol()) == "json" ? dpJSON : dpVSK;
}

std::vector<std::string> TpdcDataCommandConnection::SplitHeaderLine(std::string_view Line) {
  // Items end at ";", CR or LF; CR and LF (not blanks) at the start of an item are skipped;
  // text in single or double quotes is not split and keeps its quotes; empty items go.
  std::vector<std::string> items;
  SplitTextWith(
      Line,
      [&items](int /*index*/, const std::string& part, bool& /*resume*/) {
        if (!part.empty()) {
          items.push_back(part);
        }
      },
      CharSet{';', '\r', '\n'}, CharSet{'\r', '\n'}, CharSet{'\'', '"'});
  return items;
}

bool TpdcDataCommandConnection::ReadHeaders() {
  FHeaders.clear();
  TmnConnectionStream* stream = Stream();
  if (stream == nullptr || !stream->Connected()) {
    return false;
  }
  std::string line;
  // A read that times out returns the part of a line that came; only a line that ended with
  // its carriage return admits the connection.
  bool ended = false;
  if (!stream->ReadUntil(stream->EndOfLine(), true, line, ended, kMaxHeaderLine) || line.empty() ||
      !stream->Connected()) {
    return false;
  }
  FHeaders = SplitHeaderLine(line);
  SetAsString("RemoteIP", RemoteIP());
  if (!PasswordAccepted())
    return false;
  // Past its first whole line and the password check: no longer an opening connection.
  if (ended)
    Admit();
  return true;
}

bool TpdcDataCommandConnection::PasswordAccepted() {
  const TpdcRole* role = FRoles.Find("Password");
  if (role == nullptr || role->Value().empty())
    return true;
  TmnListener* listener = TmnServerConnection::Listener();
  const std::string address = RemoteIP();
  const std::uint64_t now = TickCount64();
  // Wrong passwords count per address. A connection that passed the check once is not
  // guessing: its later lines are compared without taking one of its address's guesses.
  const bool guess = listener != nullptr && Opening();
  if (guess && !listener->Guard().TryGuess(address, now)) {
    RefuseHeaders(false);
    return false;
  }
  const bool right = role->Accepted(AsString("Password"));
  if (listener != nullptr)
    listener->Guard().Guessed(address, right, guess, now);
  if (right)
    return true;
  RefuseHeaders(true);
  return false;
}

void TpdcDataCommandConnection::RefuseHeaders(bool Compared) {
  // A refused client learns so and must reconnect: after a wrong password as slowly as after
  // any other bad header line; at once while its address is blocked, so that a guessing
  // address holds no thread. The log gets one line per address a minute, not one per guess.
  ++TServerMetrics::Instance().RefusedPassword;
  TmnListener* listener = TmnServerConnection::Listener();
  const std::string address = RemoteIP();
  std::string text = address + ": Invalid Password";
  if (listener != nullptr) {
    const std::uint64_t blocked = listener->Guard().BlockedFor(address, TickCount64());
    if (blocked > 0)
      text += "; blocked for " + std::to_string((blocked + 999) / 1000) + " s";
    listener->LogAbout(address, text);
  } else {
    WriteLog(text);
  }
  if (Compared)
    Pause(1000);
  if (!Terminated() && Connected())
    Stream()->WriteAnsiString("Invalid Headers");
  Disconnect();
}

void TpdcDataCommandConnection::Pause(int Milliseconds) {
  using namespace std::chrono;
  const auto until = steady_clock::now() + milliseconds(Milliseconds);
  while (!Terminated() && steady_clock::now() < until) {
    std::this_thread::sleep_for(
        std::min<steady_clock::duration>(milliseconds(50), until - steady_clock::now()));
  }
}

void TpdcDataCommandConnection::Process() {
  if (!Connected() || !ReadHeaders()) {
    return;
  }
  const std::string command = Command();
  const char letter = command.empty() ? '\0' : command[0];
  switch (letter) {
    case 'C':
    case 'c':
      Stream()->WriteAnsiString("O");
      TServerMetrics::Instance().CountRequest("Check", "ok", -1);
      break;
    case 'V':
    case 'v':
      Stream()->WriteAnsiString(FRoles.AsString("Server.ID"));
      TServerMetrics::Instance().CountRequest("Version", "ok", -1);
      break;
    case 'D':
    case 'd':
      ProcessData();
      break;
    default:
      if (Connected()) {
        Pause(1000);
        if (!Terminated()) {
          Stream()->WriteAnsiString("Invalid Headers");
        }
      }
      break;
  }
}

namespace {

// Runs one command and answers with its error when it fails (the writer is then dropped unsent).
// Returns whether it failed.
bool RunCommand(TpdcDataCommand& command, TStreamData& request,
                std::unique_ptr<TStreamDataWriter>& writer, TStreamDataWriter& reader) {
  command.SetRequest(&request);
  std::string failure;
  try {
    command.Prepare();
    command.SetWorking(true);
    command.Execute(*writer);
    return false;
  } catch (const Exception& e) {
    failure = e.Message();
  } catch (const std::exception& e) {
    // A fault inside a command costs that request, not the connection.
    failure = e.what();
  }
  command.SetWorking(false);
  writer.reset();
  reader.WriteError(failure);
  return true;
}

}  // namespace

void TpdcDataCommandConnection::ProcessData() {
  TmnConnectionStream& stream = *Stream();
  TStreamDataWriter reader(stream, DataProtocol());
  TpdcDataCommandListener* listener = Listener();
  // Headers of a request that names no command are not worth making.
  reader.Response().SetNameFilter([listener](const std::string& name) {
    return listener != nullptr && listener->GetCommandClass(name) != nullptr;
  });
  // However a reply ends, it may take one send time-out in all, not one per piece.
  TWriteWindow window(stream);
  try {
    reader.ReadResponse();
  } catch (const EZDecompressionError& e) {
    // The whole message was read, so the connection is still in step: say what was wrong.
    reader.WriteError(e.Message());
    return;
  } catch (const EInvalidCast& e) {
    reader.WriteError(e.Message());
    return;
  } catch (const EStreamDataLimit& e) {
    reader.WriteError(e.Message());
    if (!e.InStep()) {
      // The refused bytes were never read: nothing after them can be understood.
      stream.Disconnect();
    }
    return;
  } catch (const EStreamDataTruncated& e) {
    // Never run what did not arrive whole; the rest of the stream cannot be trusted either.
    WriteLogFmt("%s: %s; connection closed", {RemoteIP(), e.Message()});
    stream.Disconnect();
    return;
  }
  TStreamData& request = reader.Response();
  if (request.Name().empty()) {
    reader.WriteError("Missing Name :)");
    return;
  }
  std::unique_ptr<TpdcDataCommand> command = listener == nullptr || request.NameRefused()
                                                 ? nullptr
                                                 : listener->CreateCommand(*this, request.Name());
  if (!command) {
    TServerMetrics::Instance().CountRequest("(invalid)", "refused", -1);
    reader.WriteError("Invalid Command :)");
    return;
  }
  const auto started = std::chrono::steady_clock::now();
  bool failed = false;

  TLogTick tick([&] {
    return Format("[%s]: command xxxxxxxxxxxxx[ %s ]xxxxxxxxxxxxx", {RemoteIP(), request.Name()});
  });
  auto writer = std::make_unique<TStreamDataWriter>(stream, dpVSK);
  if (command->Locking()) {
    TLockGuard lock(listener->Lock());
    failed = RunCommand(*command, request, writer, reader);
  } else {
    failed = RunCommand(*command, request, writer, reader);
  }
  if (writer) {
    writer->WriteResponse();
  }
  // The registered spelling, so that a name in other cases is no other label.
  const TpdcDataCommandServer* server = listener->Server();
  const TpdcDataCommandClassItem* item =
      server == nullptr ? nullptr : server->Commands().Find(request.Name());
  TServerMetrics::Instance().CountRequest(
      item == nullptr ? std::string("(invalid)") : item->Name, failed ? "error" : "ok",
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

void TpdcDataCommandConnection::HandleException(const Exception& E) {
  WriteLogFmt("Exception: [%s]", {E.Message()});
}

// --- listeners ---

TmnCustomDataCommandListener::~TmnCustomDataCommandListener() {
  // The thread calls this class's overrides: end it while they are still there.
  Terminate();
  WaitFor();
}

TpdcDataCommandServer* TmnCustomDataCommandListener::Server() const {
  return dynamic_cast<TpdcDataCommandServer*>(TmnListener::Server());
}

std::unique_ptr<TpdcDataCommand> TmnCustomDataCommandListener::CreateCommand(
    TpdcDataCommandConnection& Connection, std::string_view Name) {
  const TpdcDataCommandClass* command_class = GetCommandClass(Name);
  if (command_class == nullptr || !*command_class) {
    return nullptr;
  }
  return (*command_class)(Connection);
}

void TmnCustomDataCommandListener::Execute() {
  try {
    TmnListener::Execute();
  } catch (const Exception& e) {
    WriteLog(e.Message());
    throw;
  }
}

std::unique_ptr<TmnServerConnection> TmnCustomDataCommandListener::DoCreateConnection(
    std::unique_ptr<TmnConnectionStream> Stream) {
  auto connection = std::make_unique<TpdcDataCommandConnection>(this, std::move(Stream));
  TpdcDataCommandServer* server = Server();
  connection->Roles().Add("Server.Password", server == nullptr ? "" : server->Password());
  connection->Roles().Add("Server.ID", server == nullptr ? "" : server->ServerID());
  return connection;
}

std::unique_ptr<TmnConnectionStream> TmnCustomDataCommandListener::DoCreateStream(
    std::unique_ptr<TmnCustomSocket> Socket) {
  std::unique_ptr<TmnConnectionStream> stream = TmnListener::DoCreateStream(std::move(Socket));
  stream->SetEndOfLine("\r");
  return stream;
}

void TmnCustomDataCommandListener::DropConnections() {
  TmnListener::DropConnections();
  WriteLogFmt("%s: DropConnections", {ClassNameOf(typeid(*this))});
}

const TpdcDataCommandClass* TpdcDataCommandListener::GetCommandClass(std::string_view Name) {
  TpdcDataCommandServer* server = Server();
  if (server == nullptr) {
    return nullptr;
  }
  const TpdcDataCommandClassItem* item = server->Commands().Find(Name);
  return item == nullptr ? nullptr : &item->CommandClass;
}

// --- TpdcDataCommandServer ---

// Number text is always written and read with "." as the decimal and "," as the thousands
// separator (support/text_utils.h), whatever the C locale, so construction sets nothing about
// numbers.
TpdcDataCommandServer::TpdcDataCommandServer() {
  SetMaxOpening(kDefaultMaxOpening);
  SetMaxOpeningPerAddress(kDefaultMaxOpeningPerAddress);
  SetOpeningTimeout(kDefaultOpeningTimeout);
}

TpdcDataCommandServer::~TpdcDataCommandServer() {
  FIsDestroying = true;
  Stop();
}

int TpdcDataCommandServer::RegisterCommand(const std::string& Name,
                                           TpdcDataCommandClass CommandClass) {
  if (Active()) {
    throw TpdcDataCommandExceotion("Server is Active");
  }
  if (FCommands.Find(Name) != nullptr) {
    throw TpdcDataCommandExceotion("Command already exists: " + Name);
  }
  return FCommands.Add(Name, std::move(CommandClass));
}

TpdcDataCommandListener* TpdcDataCommandServer::DBListener() const {
  return dynamic_cast<TpdcDataCommandListener*>(Listener());
}

std::unique_ptr<TmnListener> TpdcDataCommandServer::CreateListener() {
  return std::make_unique<TpdcDataCommandListener>();
}

void TpdcDataCommandServer::DoStart() {
  TmnEventServer::DoStart();
  FServerID = FormatDateTime("yymmddhhnnsszzz", Now());
}

}  // namespace qm
