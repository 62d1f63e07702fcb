#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/stream_data.h"
#include "protocol/stream_data_writer.h"
#include "support/exception.h"
#include "support/thread_annotations.h"
#include "transport/server.h"

namespace qm {

class TpdcDataCommand;
class TpdcDataCommandConnection;
class TpdcDataCommandListener;
class TpdcDataCommandServer;

// Raised by command registration. (The class name is spelled so.)
class TpdcDataCommandExceotion : public Exception {
 public:
  using Exception::Exception;
};

// A command class: makes a new command for a connection.
using TpdcDataCommandClass =
    std::function<std::unique_ptr<TpdcDataCommand>(TpdcDataCommandConnection&)>;

template <class T>
TpdcDataCommandClass CommandClassOf() {
  return [](TpdcDataCommandConnection& connection) { return std::make_unique<T>(connection); };
}

struct TpdcDataCommandClassItem {
  std::string Name;
  TpdcDataCommandClass CommandClass;
};

// The registry of command classes by name (unique ignoring case). Written only while the
// server is inactive, read without a lock by the connection threads afterwards.
class TpdcDataCommandClasses {
 public:
  // The first entry whose name equals `name` ignoring case, or null.
  const TpdcDataCommandClassItem* Find(std::string_view name) const;
  int Add(const std::string& name, TpdcDataCommandClass command_class);
  int Count() const { return static_cast<int>(FItems.size()); }

 private:
  std::vector<TpdcDataCommandClassItem> FItems;
};

// A named value attached to a connection ("Server.ID", "Server.Password"). A secret role (a
// password) accepts only its exact value, compared in constant time.
class TpdcRoleList;
class TpdcRole {
 public:
  TpdcRole(TpdcRoleList* list, std::string name, std::string value, bool secret = false)
      : FList(list), FName(std::move(name)), FValue(std::move(value)), FSecret(secret) {}
  TpdcRoleList* List() const { return FList; }
  const std::string& Name() const { return FName; }
  const std::string& Value() const { return FValue; }
  bool Secret() const { return FSecret; }
  // True when Value is empty, otherwise when data equals Value (ignoring case unless secret).
  bool Accepted(std::string_view data) const;

 private:
  TpdcRoleList* FList;
  std::string FName;
  std::string FValue;
  bool FSecret;
};

// An owning, ordered list of roles; lookups by name ignoring case, the first wins.
class TpdcRoleList {
 public:
  TpdcRole* Add(std::string name, std::string value, bool secret = false);
  TpdcRole* Find(std::string_view name) const;
  std::string AsString(std::string_view name) const;
  // The first role named `name` decides; true when there is none.
  bool Accepted(std::string_view name, std::string_view data) const;
  int Count() const { return static_cast<int>(FItems.size()); }

 private:
  std::vector<std::unique_ptr<TpdcRole>> FItems;
};

// The base of every command. A command lives for one request on its connection's thread.
class TpdcDataCommand {
 public:
  // Copies ServerID and ServerPassword from the connection's roles.
  explicit TpdcDataCommand(TpdcDataCommandConnection& Connection);
  TpdcDataCommand(const TpdcDataCommand&) = delete;
  TpdcDataCommand& operator=(const TpdcDataCommand&) = delete;
  virtual ~TpdcDataCommand() = default;

  TpdcDataCommandConnection& Connection() const { return FConnection; }
  // The request message, owned by the request loop; null before the loop sets it.
  TStreamData* Request() const { return FRequest; }
  void SetRequest(TStreamData* Request) { FRequest = Request; }
  // A locking command runs under the listener's list lock: one at a time server-wide.
  bool Locking() const { return FLocking; }
  void SetLocking(bool Value) { FLocking = Value; }
  const std::string& ServerID() const { return FServerID; }
  const std::string& ServerPassword() const { return FServerPassword; }
  bool Working() const { return FWorking; }
  void SetWorking(bool Value) { FWorking = Value; }
  std::string RemoteIP() const;

  // Views on the request's headers ("", 0, false without a request or header).
  std::string AsString(std::string_view Guid, std::string_view Name) const;
  std::int32_t AsInteger(std::string_view Guid, std::string_view Name) const;
  std::uint32_t AsCardinal(std::string_view Guid, std::string_view Name) const;
  bool AsBoolean(std::string_view Guid, std::string_view Name) const;
  Currency AsCurrency(std::string_view Guid, std::string_view Name) const;
  double AsDouble(std::string_view Guid, std::string_view Name) const;
  TDateTime AsDateTime(std::string_view Guid, std::string_view Name) const;

  void Prepare() { DoPrepare(); }
  // Fills Writer (name "OK", headers, byte block) without sending it; the loop sends it. A
  // command reports failure by raising.
  virtual void Execute(TStreamDataWriter& /*Writer*/) {}
  // The name of the command's class.
  virtual std::string GetCommandName() const;

 protected:
  virtual void DoPrepare() {}

 private:
  TpdcDataCommandConnection& FConnection;  // outlives the command
  bool FLocking = false;
  TStreamData* FRequest = nullptr;
  std::string FServerID;
  std::string FServerPassword;
  bool FWorking = false;
};

// One client connection running the request loop on its own thread: a header line, then a
// connection check, an identity query or a data command, again and again.
class TpdcDataCommandConnection : public TmnServerConnection {
 public:
  // A header line may be at most this long (64 KiB); a longer one ends the connection.
  static constexpr std::size_t kMaxHeaderLine = 64 * 1024;

  TpdcDataCommandConnection(TmnConnections* Owner, std::unique_ptr<TmnConnectionStream> Stream);
  ~TpdcDataCommandConnection() override;

  // "name=value" items of the last header line, in order; lookups ignore case, first wins.
  const std::vector<std::string>& Headers() const { return FHeaders; }
  TpdcRoleList& Roles() { return FRoles; }
  const TpdcRoleList& Roles() const { return FRoles; }
  TpdcDataCommandListener* Listener() const;
  std::string AsString(std::string_view Name) const;
  // Replaces the first item of that name, or appends one.
  void SetAsString(std::string_view Name, const std::string& Value);

  std::string Command() const { return AsString("command"); }
  std::string Protocol() const { return AsString("protocol"); }
  TDataProtocol DataProtocol() const;

  // Splits a header line into "name=value" items (see the .cpp for the rules).
  static std::vector<std::string> SplitHeaderLine(std::string_view Line);

 protected:
  void Process() override;
  void HandleException(const Exception& E) override;
  // False when no line came, or when the roles refuse its "Password" (the connection is then
  // answered "Invalid Headers" after the usual pause and closed).
  bool ReadHeaders();

 private:
  void ProcessData();
  // The "Password" role's check, with the count of wrong passwords per client address.
  bool PasswordAccepted();
  // Answers "Invalid Headers" (after the usual pause when a password was compared) and closes.
  void RefuseHeaders(bool Compared);
  // Pauses, waking early when the connection is asked to end.
  void Pause(int Milliseconds);

  std::vector<std::string> FHeaders;
  TpdcRoleList FRoles;
};

// A listener that makes data command connections and creates commands by name.
class TmnCustomDataCommandListener : public TmnListener {
 public:
  ~TmnCustomDataCommandListener() override;
  virtual const TpdcDataCommandClass* GetCommandClass(std::string_view Name) = 0;
  // Null when no class is registered under Name.
  std::unique_ptr<TpdcDataCommand> CreateCommand(TpdcDataCommandConnection& Connection,
                                                 std::string_view Name);
  TpdcDataCommandServer* Server() const;

 protected:
  void Execute() override;
  std::unique_ptr<TmnServerConnection> DoCreateConnection(
      std::unique_ptr<TmnConnectionStream> Stream) override;
  std::unique_ptr<TmnConnectionStream> DoCreateStream(
      std::unique_ptr<TmnCustomSocket> Socket) override;
  void DropConnections() override;
};

class TpdcDataCommandListener : public TmnCustomDataCommandListener {
 public:
  const TpdcDataCommandClass* GetCommandClass(std::string_view Name) override;
  // 1, 2, 3 ...; unique across threads.
  std::int64_t NewHandle() { return ++FHandle; }

 private:
  std::atomic<std::int64_t> FHandle{0};
};

// A TCP server that keeps a registry of command classes and runs the request loop on every
// connection. Commands are registered before the first Start.
class TpdcDataCommandServer : public TmnEventServer {
 public:
  // A connection is admitted once its first header line passed the password check; until then
  // these bounds and this deadline (ms) hold (see TmnListener).
  static constexpr int kDefaultMaxOpening = 128;
  static constexpr int kDefaultMaxOpeningPerAddress = 32;
  static constexpr int kDefaultOpeningTimeout = 10000;

  TpdcDataCommandServer();
  // Stops first: connection threads must not outlive the registry.
  ~TpdcDataCommandServer() override;

  // Raises TpdcDataCommandExceotion "Server is Active" while active, "Command already exists: "
  // and the name when the name is taken (ignoring case). Returns the new entry's index.
  int RegisterCommand(const std::string& Name, TpdcDataCommandClass CommandClass);
  template <class T>
  int RegisterCommand(const std::string& Name) {
    return RegisterCommand(Name, CommandClassOf<T>());
  }

  const TpdcDataCommandClasses& Commands() const { return FCommands; }
  // The local start time "yymmddhhnnsszzz", new at every start.
  const std::string& ServerID() const { return FServerID; }
  // Safe from any thread: a reload may change the password while connections are accepted.
  std::string Password() const {
    TLockGuard lock(FPasswordLock);
    return FPassword;
  }
  void SetPassword(const std::string& Value) {
    TLockGuard lock(FPasswordLock);
    FPassword = Value;
  }
  TpdcDataCommandListener* DBListener() const;

 protected:
  std::unique_ptr<TmnListener> CreateListener() override;
  void DoStart() override;

 private:
  TpdcDataCommandClasses FCommands;
  std::string FServerID;
  mutable TMutex FPasswordLock;
  std::string FPassword GUARDED_BY(FPasswordLock);
};

}  // namespace qm
