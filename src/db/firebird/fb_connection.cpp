#include "db/firebird/fb_connection.h"

#include <chrono>
#include <utility>

#include "db/db_errors.h"
#include "db/firebird/fb_sql_text.h"
#include "db/firebird/fb_transaction.h"
#include "db/string_list.h"
#include "support/text_utils.h"

namespace qm {

std::string FBConnectString(const std::string& resource, const std::string& host,
                            const std::string& port) {
  if (host.empty())
    return resource;
  if (!port.empty() && host.find('/') == std::string::npos)
    return host + "/" + port + ":" + resource;
  return host + ":" + resource;
}

std::string FBQuoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) {
    if (c == '\'')
      result += '\'';
    result += c;
  }
  return result + "'";
}

// ---- TmncFBConnection ----

TmncFBConnection::TmncFBConnection() : TmncFBConnection(FBLib()) {}

TmncFBConnection::TmncFBConnection(TmncFBLib& library) : FLib(&library), FHandle(library) {
  FLib->Load(false);
}

TmncFBConnection::~TmncFBConnection() {
  BeforeDestruction();
}

TmncCapabilities TmncFBConnection::Capabilities() const {
  return {ccDB, ccAlias, ccPath, ccCreate, ccSQL, ccNetwork, ccTransaction, ccMultiTransaction};
}

void TmncFBConnection::DoConnect() {
  const TStrings params = SetConnectionDefaults(FDefaultCredentials, UserName(), Password(), Role(),
                                                FCharacterSet, Params().Lines());
  // Without a user name the client library would try ISC_USER (cleared at start) or log in
  // without one; the server's administrator account is used only where it is allowed.
  TmncStringList lines;
  lines.Assign(params);
  if (Trim(lines.Values("user_name")).empty())
    throw EmncConnectFailed("Firebird: a user name is required");
  TFBBuffer dpb = BuildDPB(params);
  // The connect waits at most ConnectTimeout for the server: for the TCP connection and for the
  // server's first answer (a server that accepts and never answers).
  const int timeout = ConnectTimeout();
  if (timeout > 0) {
    dpb += static_cast<char>(isc_dpb_connect_timeout);
    dpb += static_cast<char>(4);
    for (int i = 0; i < 4; ++i)
      dpb += static_cast<char>((static_cast<std::uint32_t>(timeout) >> (8 * i)) & 0xFF);
  }
  const std::string target = FBConnectString(Resource(), Host(), Port());
  const auto started = std::chrono::steady_clock::now();
  TFBStatus status;
  const ISC_STATUS result =
      FLib->isc_attach_database(status.Data(), static_cast<short>(target.size()), target.c_str(),
                                FHandle.Address(), static_cast<short>(dpb.size()), dpb.data());
  if (result > 0) {
    FHandle.Forget();  // the library made no attachment
    // The library says "connection rejected" (or a network error) when the time ran out.
    if (timeout > 0 && std::chrono::steady_clock::now() - started >=
                           std::chrono::seconds(timeout) - std::chrono::milliseconds(250)) {
      // Said the way every engine says it, before the library's own text.
      const std::string host = FirstNonEmpty({Host(), "127.0.0.1"});
      const std::string server =
          host.find('/') != std::string::npos ? host : host + ":" + FirstNonEmpty({Port(), "3050"});
      RaiseFBConnectError(
          *FLib, status.Data(),
          "no answer from " + server + " within " + std::to_string(timeout) + " s\r\n");
    }
    RaiseFBConnectError(*FLib, status.Data());
  }
  PublishHandle(FHandle.Get());
  if (GetSQLDialect() < kFBSQLDialect) {
    // Not kept half-usable: the attachment goes before the error is raised.
    DropLostHandle();
    throw EFBConnectFailed(-1, "This database not dialect 3, other dialects not supported");
  }
}

void TmncFBConnection::DoDisconnect() {
  // Interrupt no longer reaches the handle once it is being detached.
  PublishHandle(0);
  if (FHandle) {
    // Always detached, so that the server does not keep the attachment. eonDisconnect only
    // decides whether a failed detach is raised; without it the handle is forgotten anyway.
    TFBStatus status;
    const ISC_STATUS result = FLib->isc_detach_database(status.Data(), FHandle.Address());
    // A connection the server already ended has nothing left to detach.
    if (result > 0 && FErrorHandles.Contains(eonDisconnect) && !IsConnectionLost(status.Data())) {
      PublishHandle(FHandle.Get());
      RaiseFBError(*FLib, status.Data());
    }
  }
  FHandle.Forget();  // detached, or gone with the server
}

void TmncFBConnection::DropLostHandle() {
  PublishHandle(0);
  FHandle.Reset();
}

void TmncFBConnection::PublishHandle(isc_db_handle handle) {
  TLockGuard<TMutex> lock(FInterruptLock);
  FSharedHandle = handle;
}

ISC_STATUS TmncFBConnection::CheckConnectionStatus(ISC_STATUS result, const ISC_STATUS* status,
                                                   bool raise_error) {
  if (raise_error && result > 0 && IsConnectionLost(status)) {
    try {
      RaiseFBError(*FLib, status);
    } catch (...) {
      try {
        if (Connected())
          Close();
      } catch (...) {
        DropLostHandle();
      }
      throw;
    }
  }
  return CheckFBStatus(*FLib, result, status, raise_error);
}

bool TmncFBConnection::TestConnected() {
  if (!FHandle)
    return false;
  const char items[] = {isc_info_ods_version, isc_info_end};
  char reply[32] = {};
  TFBStatus status;
  return FLib->isc_database_info(status.Data(), FHandle.Address(), sizeof items, items,
                                 sizeof reply, reply) == 0;
}

void TmncFBConnection::Interrupt() {
  // Under the lock, so that the handle cannot be detached (and its number given to another
  // attachment) between reading it and cancelling on it.
  TLockGuard<TMutex> lock(FInterruptLock);
  isc_db_handle handle = FSharedHandle;
  if (handle == 0 || FLib->fb_cancel_operation == nullptr)
    return;
  TFBStatus status;
  FLib->fb_cancel_operation(status.Data(), &handle, fb_cancel_raise);
}

TFBBuffer TmncFBConnection::DatabaseInfo(std::uint8_t item) {
  const char items[] = {static_cast<char>(item), isc_info_end};
  TFBBuffer reply = FBInfoReply(512);
  TFBStatus status;
  CheckConnectionStatus(
      FLib->isc_database_info(status.Data(), FHandle.Address(), sizeof items, items,
                              static_cast<short>(reply.size()), reply.data()),
      status.Data());
  return reply;
}

std::string TmncFBConnection::GetVersion() {
  const TFBBuffer reply = DatabaseInfo(isc_info_version);
  const auto length = static_cast<std::size_t>(static_cast<std::uint8_t>(reply[4]));
  return reply.substr(5, length);
}

bool TmncFBConnection::IsReadOnly() {
  const TFBBuffer reply = DatabaseInfo(isc_info_db_read_only);
  const int length = static_cast<int>(FBPortableInteger(reply.data() + 1, 2));
  return FBPortableInteger(reply.data() + 3, std::min(length, 8)) != 0;
}

int TmncFBConnection::GetSQLDialect() {
  const TFBBuffer reply = DatabaseInfo(isc_info_db_sql_dialect);
  std::int32_t value = 0;
  if (static_cast<std::uint8_t>(reply[0]) != isc_info_db_sql_dialect ||
      !GetInfoValue(reply, isc_info_db_sql_dialect, value))
    return 1;
  return value;
}

void TmncFBConnection::DirectExecute(const std::string& sql) {
  FBCheckStatementText(sql);
  TFBStatus status;
  isc_tr_handle transaction = 0;
  CheckConnectionStatus(
      FLib->isc_dsql_execute_immediate(status.Data(), FHandle.Address(), &transaction, 0,
                                       sql.c_str(), kFBSQLDialect, nullptr),
      status.Data());
}

void TmncFBConnection::ExecuteDatabaseStatement(const std::string& statement, bool detach) {
  FBCheckStatementText(statement);
  TFBAttachment database(*FLib);
  isc_tr_handle transaction = 0;
  TFBStatus status;
  const ISC_STATUS result =
      FLib->isc_dsql_execute_immediate(status.Data(), database.Address(), &transaction, 0,
                                       statement.c_str(), kFBSQLDialect, nullptr);
  CheckFBStatus(*FLib, result, status.Data());
  if (!detach)
    database.Forget();
}

void TmncFBConnection::CreateDatabase(const std::string& name, bool /*check_exists*/) {
  // Values are quoted, so a quote inside one neither breaks the statement nor adds SQL to it.
  std::string lines;
  if (!UserName().empty())
    lines += "USER " + FBQuoted(UserName()) + "\r\n";
  if (!Password().empty())
    lines += "PASSWORD " + FBQuoted(Password()) + "\r\n";
  if (!FCharacterSet.empty()) {
    std::string charset;
    for (char c : UpperCase(FCharacterSet)) {
      if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')
        charset += c;
    }
    lines += "DEFAULT CHARACTER SET " + charset + "\r\n";
  }
  ExecuteDatabaseStatement(
      "CREATE DATABASE " + FBQuoted(FBConnectString(name, Host(), Port())) + " " + lines, true);
}

void TmncFBConnection::DropDatabase(const std::string& name, bool /*check_exists*/) {
  // The library drops the attached database: attach to it, then drop through the handle.
  TmncFBConnection other(*FLib);
  other.SetServerInfo(ServerInfo());
  other.SetResource(name);
  other.Connect();
  TFBStatus status;
  const ISC_STATUS result = FLib->isc_drop_database(status.Data(), other.FHandle.Address());
  CheckFBStatus(*FLib, result, status.Data());
  other.FHandle.Forget();  // dropped with its database
  other.PublishHandle(0);
}

void TmncFBConnection::SetVariable(const std::string& name, const std::string& value) {
  TmncFBTransaction transaction(this);
  transaction.Start();
  // Bound, not pasted into the text: any value is taken as it is.
  auto command = transaction.CreateCommand(
      "select RDB$SET_CONTEXT('USER_TRANSACTION', ?name, ?value) from rdb$database");
  command->Prepare();
  command->Param("name")->SetAsString(name);
  command->Param("value")->SetAsString(value);
  command->Execute();
  command.reset();
  transaction.Commit();
}

std::unique_ptr<TmncSQLTransaction> TmncFBConnection::DoCreateTransaction() {
  return std::make_unique<TmncFBTransaction>(this);
}

}  // namespace qm
