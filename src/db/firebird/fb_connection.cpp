#include "db/firebird/fb_connection.h"

#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>

#include "db/string_list.h"
#include "support/text_utils.h"

namespace qm {
namespace {

constexpr int kSQLDialect = 3;
constexpr unsigned short kDescriptorVersion = SQLDA_VERSION1;
constexpr ISC_STATUS kNoMoreRows = 100;
constexpr ISC_STATUS kInvalidCursor = 335544572;           // isc_dsql_cursor_err
constexpr ISC_STATUS kInvalidStatementHandle = 335544485;  // isc_bad_stmt_handle
constexpr ISC_STATUS kCursorAlreadyClosed = 335544577;     // isc_dsql_cursor_close_err

// The codes that show the server connection is gone. Besides the network errors, an attachment
// ended by the server ("connection shutdown") is as lost as a broken socket.
bool IsConnectionLost(const ISC_STATUS* status) {
  return StatusHasCode(status, {isc_lost_db_connection, isc_net_read_err, isc_net_write_err,
                                isc_network_error, isc_att_shutdown, isc_shutdown});
}

// One transaction-existence block of isc_start_multiple.
struct TFBTEB {
  isc_db_handle* db_ptr;
  ISC_LONG tpb_len;
  const char* tpb_ptr;
};

TFBBuffer InfoReply(std::size_t size) {
  return TFBBuffer(size, '\0');
}

// Statement text goes to the library zero-terminated (its length argument is 16 bits wide, so
// a longer text could only be cut short). A zero byte inside would end it early: such a text is
// refused rather than run in part.
void CheckStatementText(const std::string& sql) {
  const std::size_t zero = sql.find('\0');
  if (zero != std::string::npos)
    throw EmncException("Statement text holds a zero byte at offset " + std::to_string(zero) +
                        ": it is not run");
}

bool IsIdentifierChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

// Moves `pos` past blanks and comments.
void SkipBlanks(const std::string& sql, std::size_t& pos) {
  while (pos < sql.size()) {
    if (static_cast<unsigned char>(sql[pos]) <= ' ') {
      ++pos;
    } else if (sql.compare(pos, 2, "--") == 0) {
      pos = sql.find('\n', pos);
      if (pos == std::string::npos)
        pos = sql.size();
    } else if (sql.compare(pos, 2, "/*") == 0) {
      pos = sql.find("*/", pos + 2);
      pos = pos == std::string::npos ? sql.size() : pos + 2;
    } else {
      return;
    }
  }
}

// The next word at `pos` (after blanks and comments) is `word`, ignoring case.
bool NextWordIs(const std::string& sql, std::size_t& pos, std::string_view word) {
  SkipBlanks(sql, pos);
  if (sql.size() - pos < word.size())
    return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = sql[pos + i];
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i])
      return false;
  }
  if (pos + word.size() < sql.size() && IsIdentifierChar(sql[pos + word.size()]))
    return false;
  pos += word.size();
  return true;
}

// A SET TRANSACTION statement: the library starts the transaction it describes.
bool StartsTransaction(const std::string& sql) {
  std::size_t pos = 0;
  return NextWordIs(sql, pos, "SET") && NextWordIs(sql, pos, "TRANSACTION");
}

// The attachment a statement makes for itself (CREATE DATABASE attaches to the new database),
// detached where the owner ends; a failed detach has nobody left to tell.
class TFBStatementAttachment {
 public:
  explicit TFBStatementAttachment(TmncFBLib& lib) : FLib(lib) {}
  TFBStatementAttachment(const TFBStatementAttachment&) = delete;
  TFBStatementAttachment& operator=(const TFBStatementAttachment&) = delete;
  ~TFBStatementAttachment() {
    if (FHandle != 0) {
      TFBStatus ignored;
      FLib.isc_detach_database(ignored.Data(), &FHandle);
    }
  }
  // For the library to fill in.
  isc_db_handle* Address() { return &FHandle; }
  // Leaves the attachment as it is.
  void Release() { FHandle = 0; }

 private:
  TmncFBLib& FLib;
  isc_db_handle FHandle = 0;
};

}  // namespace

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

TmncFBConnection::TmncFBConnection(TmncFBLib& library) : FLib(&library) {
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
    throw EmncException("Firebird: a user name is required");
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
                                &FHandle, static_cast<short>(dpb.size()), dpb.data());
  if (result > 0) {
    FHandle = 0;
    // The library says "connection rejected" (or a network error) when the time ran out.
    if (timeout > 0 && std::chrono::steady_clock::now() - started >=
                           std::chrono::seconds(timeout) - std::chrono::milliseconds(250)) {
      // Said the way every engine says it, before the library's own text.
      try {
        RaiseFBError(*FLib, status.Data());
      } catch (const EFBError& e) {
        const std::string host = FirstNonEmpty({Host(), "127.0.0.1"});
        const std::string server = host.find('/') != std::string::npos
                                       ? host
                                       : host + ":" + FirstNonEmpty({Port(), "3050"});
        throw EFBError(e.SQLCode(), e.ErrorCode(),
                       "no answer from " + server + " within " + std::to_string(timeout) +
                           " s\r\n" + e.what());
      }
    }
    RaiseFBError(*FLib, status.Data());
  }
  PublishHandle(FHandle);
  if (GetSQLDialect() < kSQLDialect) {
    // Not kept half-usable: the attachment goes before the error is raised.
    DropLostHandle();
    throw EFBError(-1, "This database not dialect 3, other dialects not supported");
  }
}

void TmncFBConnection::DoDisconnect() {
  // Interrupt no longer reaches the handle once it is being detached.
  PublishHandle(0);
  if (FHandle != 0) {
    // Always detached, so that the server does not keep the attachment. eonDisconnect only
    // decides whether a failed detach is raised; without it the handle is forgotten anyway.
    TFBStatus status;
    const ISC_STATUS result = FLib->isc_detach_database(status.Data(), &FHandle);
    // A connection the server already ended has nothing left to detach.
    if (result > 0 && FErrorHandles.Contains(eonDisconnect) && !IsConnectionLost(status.Data())) {
      PublishHandle(FHandle);
      RaiseFBError(*FLib, status.Data());
    }
  }
  FHandle = 0;
}

void TmncFBConnection::DropLostHandle() {
  PublishHandle(0);
  if (FHandle != 0) {
    TFBStatus status;
    FLib->isc_detach_database(status.Data(), &FHandle);
  }
  FHandle = 0;
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
  if (FHandle == 0)
    return false;
  const char items[] = {isc_info_ods_version, isc_info_end};
  char reply[32] = {};
  TFBStatus status;
  return FLib->isc_database_info(status.Data(), &FHandle, sizeof items, items, sizeof reply,
                                 reply) == 0;
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
  TFBBuffer reply = InfoReply(512);
  TFBStatus status;
  CheckConnectionStatus(FLib->isc_database_info(status.Data(), &FHandle, sizeof items, items,
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
  CheckStatementText(sql);
  TFBStatus status;
  isc_tr_handle transaction = 0;
  CheckConnectionStatus(FLib->isc_dsql_execute_immediate(status.Data(), &FHandle, &transaction, 0,
                                                         sql.c_str(), kSQLDialect, nullptr),
                        status.Data());
}

void TmncFBConnection::ExecuteDatabaseStatement(const std::string& statement, bool detach) {
  CheckStatementText(statement);
  TFBStatementAttachment database(*FLib);
  isc_tr_handle transaction = 0;
  TFBStatus status;
  const ISC_STATUS result = FLib->isc_dsql_execute_immediate(
      status.Data(), database.Address(), &transaction, 0, statement.c_str(), kSQLDialect, nullptr);
  CheckFBStatus(*FLib, result, status.Data());
  if (!detach)
    database.Release();
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
  const ISC_STATUS result = FLib->isc_drop_database(status.Data(), &other.FHandle);
  CheckFBStatus(*FLib, result, status.Data());
  other.FHandle = 0;
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

// ---- TmncFBTransaction ----

TmncFBTransaction::TmncFBTransaction(TmncFBConnection* connection)
    : TmncSQLTransaction(connection) {}

TmncFBTransaction::~TmncFBTransaction() {
  BeforeDestruction();
}

TmncFBConnection* TmncFBTransaction::Connection() const {
  return static_cast<TmncFBConnection*>(TmncSQLTransaction::Connection());
}

TmncFBConnection& TmncFBTransaction::RequireConnection() const {
  TmncFBConnection* connection = Connection();
  if (connection == nullptr || !connection->Connected())
    throw EmncException("Connection is not connected");
  return *connection;
}

ISC_STATUS TmncFBTransaction::CheckTransactionStatus(ISC_STATUS result, const ISC_STATUS* status,
                                                     bool raise_error) {
  if (result > 0 && Connection() != nullptr && IsConnectionLost(status)) {
    FHandle = 0;  // went with the attachment
    return Connection()->CheckConnectionStatus(result, status, raise_error);
  }
  TmncFBLib& lib = Connection() != nullptr ? Connection()->Lib() : FBLib();
  return CheckFBStatus(lib, result, status, raise_error);
}

void TmncFBTransaction::DoStart() {
  TmncFBConnection& connection = RequireConnection();
  FTPB = BuildTPB(Params().Lines());
  TFBTEB block{connection.Handle(), static_cast<ISC_LONG>(FTPB.size()),
               FTPB.empty() ? nullptr : FTPB.data()};
  TFBStatus status;
  const ISC_STATUS result = connection.Lib().isc_start_multiple(status.Data(), &FHandle, 1, &block);
  if (result > 0) {
    FHandle = 0;
    CheckTransactionStatus(result, status.Data());
  }
}

void TmncFBTransaction::DoStop(TmncTransactionAction how, bool retaining) {
  TmncFBConnection& connection = RequireConnection();
  TmncFBLib& lib = connection.Lib();
  TFBStatus status;
  ISC_STATUS result;
  if (how == sdaCommit)
    result = retaining ? lib.isc_commit_retaining(status.Data(), &FHandle)
                       : lib.isc_commit_transaction(status.Data(), &FHandle);
  else
    result = retaining ? lib.isc_rollback_retaining(status.Data(), &FHandle)
                       : lib.isc_rollback_transaction(status.Data(), &FHandle);
  CheckTransactionStatus(result, status.Data());
}

void TmncFBTransaction::Execute(const std::string& sql) {
  TmncFBConnection& connection = RequireConnection();
  CheckStatementText(sql);
  // Outside an opened transaction a statement runs in one of its own, committed when it
  // succeeded. SET TRANSACTION is the exception: it starts this transaction itself (the
  // library fills in the handle), and the statements after it run there until a COMMIT or
  // ROLLBACK statement ends it (the library clears the handle).
  const bool implicit = !Active() && !StartsTransaction(sql);
  if (implicit)
    Start();
  try {
    TFBStatus status;
    CheckTransactionStatus(
        connection.Lib().isc_dsql_execute_immediate(status.Data(), connection.Handle(), &FHandle, 0,
                                                    sql.c_str(), kSQLDialect, nullptr),
        status.Data());
    if (implicit && Active())
      Commit();
  } catch (...) {
    if (implicit && Active()) {
      try {
        Rollback();
      } catch (...) {
      }
    }
    throw;
  }
}

std::unique_ptr<TmncSQLCommand> TmncFBTransaction::DoCreateCommand() {
  return std::make_unique<TmncFBCommand>(this);
}

// ---- TmncFBCommand ----

TmncFBCommand::TmncFBCommand(TmncFBTransaction* transaction) : TmncSQLCommand(transaction) {}

TmncFBCommand::~TmncFBCommand() {
  BeforeDestruction();
  if (FHandle != 0 && Connection() != nullptr && Connection()->Connected()) {
    TFBStatus status;
    Lib().isc_dsql_free_statement(status.Data(), &FHandle, DSQL_drop);
  }
  FHandle = 0;
}

TmncFBTransaction* TmncFBCommand::Transaction() const {
  return static_cast<TmncFBTransaction*>(TmncSQLCommand::Transaction());
}

TmncFBConnection* TmncFBCommand::Connection() const {
  TmncFBTransaction* transaction = Transaction();
  return transaction == nullptr ? nullptr : transaction->Connection();
}

TmncFBLib& TmncFBCommand::Lib() const {
  return Connection() != nullptr ? Connection()->Lib() : FBLib();
}

TFBHandles TmncFBCommand::Handles() const {
  TFBHandles handles;
  handles.Lib = &Lib();
  if (Connection() != nullptr)
    handles.DB = Connection()->Handle();
  if (Transaction() != nullptr)
    handles.TR = Transaction()->Handle();
  return handles;
}

ISC_STATUS TmncFBCommand::CheckCommandStatus(ISC_STATUS result, const ISC_STATUS* status,
                                             bool raise_error) {
  if (result > 0 && Transaction() != nullptr)
    return Transaction()->CheckTransactionStatus(result, status, raise_error);
  return CheckFBStatus(Lib(), result, status, raise_error);
}

void TmncFBCommand::SetActive(bool value) {
  if (value == FActive)
    return;
  if (value)
    Execute();
  else
    Close();
}

void TmncFBCommand::SetCursor(const std::string& value) {
  if (value == FCursor)
    return;
  CheckInactive();
  FCursor = value;
}

void TmncFBCommand::RunSQL(const std::string& sql) {
  if (Transaction() == nullptr)
    throw EmncException("Transaction not assigned");
  Transaction()->Execute(sql);
}

void TmncFBCommand::BeginImplicit() {
  if (!Transaction()->Active()) {
    Transaction()->Start();
    FImplicit = true;
  }
}

void TmncFBCommand::EndImplicit(bool commit) {
  if (!FImplicit)
    return;
  FImplicit = false;
  TmncFBTransaction* transaction = Transaction();
  if (transaction == nullptr || !transaction->Active())
    return;
  if (commit) {
    transaction->Commit();
  } else {
    try {
      transaction->Rollback();
    } catch (...) {
    }
  }
}

void TmncFBCommand::DoPrepare() {
  TmncFBTransaction* transaction = Transaction();
  TmncFBConnection* connection = Connection();
  if (connection == nullptr || !connection->Connected())
    throw EmncException("Connection is not connected");
  TmncFBLib& lib = connection->Lib();
  const std::string sql = ProcessedSQL().SQL();
  CheckStatementText(sql);
  // Preparing needs a transaction; outside an opened one it gets its own for the moment.
  BeginImplicit();
  try {
    TFBStatus status;
    CheckCommandStatus(lib.isc_dsql_alloc_statement2(status.Data(), connection->Handle(), &FHandle),
                       status.Data());
    CheckCommandStatus(lib.isc_dsql_prepare(status.Data(), transaction->Handle(), &FHandle, 0,
                                            sql.c_str(), kSQLDialect, nullptr),
                       status.Data());
    const char type_item[] = {isc_info_sql_stmt_type};
    TFBBuffer reply = InfoReply(8);
    CheckCommandStatus(lib.isc_dsql_sql_info(status.Data(), &FHandle, sizeof type_item, type_item,
                                             static_cast<short>(reply.size()), reply.data()),
                       status.Data());
    std::int32_t type = 0;
    if (!GetInfoValue(reply, isc_info_sql_stmt_type, type))
      RaiseClientError(fbceUnknownError);
    FSQLType = static_cast<TFBDSQLTypes>(type);
    if (FSQLType == SQLGetSegment || FSQLType == SQLPutSegment)
      RaiseClientError(fbceNotPermitted);
    if (type > SQLUnknown && type < SQLSavePoint) {
      // Parameters as the server wants them.
      FInput.Resize(Binds().Count());
      if (Binds().Count() > 0)
        CheckCommandStatus(
            lib.isc_dsql_describe_bind(status.Data(), &FHandle, kDescriptorVersion, FInput.Area()),
            status.Data());
      // Columns: count them first, then describe them.
      FOutput.Resize(0);
      CheckCommandStatus(
          lib.isc_dsql_describe(status.Data(), &FHandle, kDescriptorVersion, FOutput.Area()),
          status.Data());
      FColumnCount = FOutput.Described();
      SetFields(nullptr);
      Columns().Clear();
      if (FColumnCount > 0) {
        FOutput.Resize(FColumnCount);
        CheckCommandStatus(
            lib.isc_dsql_describe(status.Data(), &FHandle, kDescriptorVersion, FOutput.Area()),
            status.Data());
        FOutput.AllocateBuffers();
        for (int i = 0; i < FColumnCount; ++i) {
          const XSQLVAR& var = FOutput.Var(i);
          TmncColumn* column = Columns().Add(FBAliasName(var), FBDataType(var));
          column->SetScale(var.sqlscale);
          column->SetSize(var.sqllen);
        }
        std::unique_ptr<TmncFields> fields = CreateFields(&Columns());
        for (int i = 0; i < FColumnCount; ++i)
          fields->Add(Columns().Items(i));
        SetFields(std::move(fields));
      }
    }
    EndImplicit(true);
  } catch (...) {
    EndImplicit(false);
    FreeHandle();
    throw;
  }
}

void TmncFBCommand::DoUnprepare() {
  TmncSQLCommand::DoUnprepare();
  FreeHandle();
}

void TmncFBCommand::FreeHandle() {
  if (FHandle == 0)
    return;
  TFBStatus status;
  isc_stmt_handle handle = std::exchange(FHandle, 0);
  TmncFBConnection* connection = Connection();
  if (connection == nullptr || !connection->Connected())
    return;  // the statement went with the attachment
  const ISC_STATUS result = Lib().isc_dsql_free_statement(status.Data(), &handle, DSQL_drop);
  if (status.Data()[0] == isc_arg_gds && result > 0 && result != kInvalidStatementHandle &&
      !StatusHasCode(status.Data(), {isc_lost_db_connection, isc_att_shutdown, isc_network_error}))
    RaiseFBError(Lib(), status.Data());
}

void TmncFBCommand::DoExecute() {
  if (FActive)
    DoClose();
  if (FHandle == 0)
    RaiseClientError(fbceInvalidStatementHandle);
  TmncFBLib& lib = Lib();
  const TFBHandles handles = Handles();
  // SET TRANSACTION starts the command's transaction itself: the library fills in its handle,
  // and the statements after it run there until a COMMIT or ROLLBACK statement ends it.
  if (FSQLType != SQLStartTransaction)
    BeginImplicit();
  try {
    // The input area: each marker's described descriptor carrying its parameter's value.
    const int binds = Binds().Count();
    TFBSQLDA input(binds);
    std::vector<std::vector<char>> data(static_cast<std::size_t>(binds));
    std::vector<short> indicators(static_cast<std::size_t>(binds), 0);
    if (binds > 0) {
      input.Area()->sqld = static_cast<ISC_SHORT>(std::min(binds, FInput.Described()));
      for (int i = 0; i < input.Area()->sqld; ++i) {
        std::memcpy(&input.Var(i), &FInput.Var(i), sizeof(XSQLVAR));
        const TmncParam* param = Binds().Items(i)->Param();
        FBWriteValue(handles, param == nullptr ? Variant::MakeNull() : param->GetValue(),
                     input.Var(i), data[static_cast<std::size_t>(i)],
                     indicators[static_cast<std::size_t>(i)]);
      }
    }
    XSQLDA* in = binds > 0 ? input.Area() : nullptr;
    TFBStatus status;
    switch (FSQLType) {
      case SQLSelect:
      case SQLSelectForUpdate:
        CheckCommandStatus(lib.isc_dsql_execute2(status.Data(), handles.TR, &FHandle,
                                                 kDescriptorVersion, in, nullptr),
                           status.Data());
        if (!FCursor.empty())
          CheckCommandStatus(
              lib.isc_dsql_set_cursor_name(status.Data(), &FHandle, FCursor.c_str(), 0),
              status.Data());
        FActive = true;
        HitUnready();
        break;
      case SQLExecProcedure:
        if (FColumnCount > 0) {
          CheckCommandStatus(lib.isc_dsql_execute2(status.Data(), handles.TR, &FHandle,
                                                   kDescriptorVersion, in, FOutput.Area()),
                             status.Data());
          LoadRow();
          FActive = true;
        } else {
          CheckCommandStatus(lib.isc_dsql_execute2(status.Data(), handles.TR, &FHandle,
                                                   kDescriptorVersion, in, nullptr),
                             status.Data());
          HitDone();
        }
        break;
      case SQLStartTransaction:
      case SQLCommit:
        CheckCommandStatus(
            lib.isc_dsql_execute(status.Data(), handles.TR, &FHandle, kDescriptorVersion, in),
            status.Data());
        HitDone();
        break;
      default:
        CheckCommandStatus(
            lib.isc_dsql_execute(status.Data(), handles.TR, &FHandle, kDescriptorVersion, in),
            status.Data());
        FActive = true;
        HitDone();
        break;
    }
    if (FSQLType != SQLSelect && FSQLType != SQLSelectForUpdate) {
      FRowsChanged = ReadRowsChanged();
      EndImplicit(true);
    }
  } catch (...) {
    FActive = false;
    EndImplicit(false);
    throw;
  }
}

void TmncFBCommand::LoadRow() {
  TmncFields* fields = Fields();
  if (fields == nullptr)
    return;
  const TFBHandles handles = Handles();
  for (int i = 0; i < FColumnCount && i < fields->Count(); ++i)
    fields->Items(i)->SetValue(FBReadValue(handles, FOutput.Var(i)));
}

void TmncFBCommand::DoNext() {
  if (!Ready() && FSQLType == SQLExecProcedure) {
    // The one row of the procedure has been read.
    HitDone();
    if (Fields() != nullptr)
      Fields()->Clean();
  }
  if (Done() || FSQLType == SQLExecProcedure)
    return;
  TFBStatus status;
  ISC_STATUS result = 0;
  try {
    result = Lib().isc_dsql_fetch(status.Data(), &FHandle, kDescriptorVersion, FOutput.Area());
    if (result == kNoMoreRows || (result > 0 && StatusHasCode(status.Data(), {kInvalidCursor}))) {
      HitDone();
      if (Fields() != nullptr)
        Fields()->Clean();
      FRowsChanged = ReadRowsChanged();
      EndImplicit(true);
      return;
    }
    CheckCommandStatus(result, status.Data());
    LoadRow();
  } catch (...) {
    EndImplicit(false);
    throw;
  }
}

void TmncFBCommand::DoClose() {
  struct Inactive {
    bool& active;
    ~Inactive() { active = false; }
  } inactive{FActive};
  if (FHandle != 0 &&
      (FSQLType == SQLSelect || FSQLType == SQLExecProcedure || FSQLType == SQLSelectForUpdate) &&
      FActive) {
    TFBStatus status;
    const ISC_STATUS result = Lib().isc_dsql_free_statement(status.Data(), &FHandle, DSQL_close);
    if (status.Data()[0] == isc_arg_gds && result > 0 && result != kInvalidStatementHandle &&
        result != kCursorAlreadyClosed && !StatusHasCode(status.Data(), {kInvalidCursor})) {
      EndImplicit(false);
      CheckCommandStatus(result, status.Data());
    }
  }
  EndImplicit(true);
}

int TmncFBCommand::ReadRowsChanged() {
  if (FHandle == 0)
    return -1;
  const char item[] = {isc_info_sql_records};
  TFBBuffer reply = InfoReply(1049);
  TFBStatus status;
  const ISC_STATUS result = Lib().isc_dsql_sql_info(status.Data(), &FHandle, sizeof item, item,
                                                    static_cast<short>(reply.size()), reply.data());
  if (result > 0)
    CheckCommandStatus(result, status.Data());
  switch (FSQLType) {
    case SQLSelect:
      return static_cast<int>(GetRecordsInfo(reply, isc_info_req_select_count));
    case SQLInsert:
      return static_cast<int>(GetRecordsInfo(reply, isc_info_req_insert_count));
    case SQLUpdate:
      return static_cast<int>(GetRecordsInfo(reply, isc_info_req_update_count));
    case SQLDelete:
      return static_cast<int>(GetRecordsInfo(reply, isc_info_req_delete_count));
    default:
      return -1;
  }
}

int TmncFBCommand::GetRowsChanged() {
  if (!Prepared())
    return -1;
  // Read while the execution's own transaction was still open, when there was one.
  if (FRowsChanged >= -1 && !Transaction()->Active())
    return FRowsChanged;
  return ReadRowsChanged();
}

std::unique_ptr<TmncFields> TmncFBCommand::CreateFields(TmncColumns* columns) {
  return std::make_unique<TmncFBFields>(columns);
}

std::unique_ptr<TmncParams> TmncFBCommand::CreateParams() {
  return std::make_unique<TmncFBParams>();
}

void TmncFBTransaction::RunScript(const std::string& script, const std::string& name) {
  TprmFBDBScript runner(this);
  runner.Execute(script, name);
}

// ---- TprmFBDBScript ----

void TprmFBDBScript::DoExecuteScript(TmncSQLTransaction* transaction, const std::string& script,
                                     const std::string& /*name*/) {
  if (transaction == nullptr)
    throw EmncException("Transaction not assigned");
  auto* fb = dynamic_cast<TmncFBTransaction*>(transaction);
  if (fb == nullptr)
    throw EmncException("Not a Firebird transaction");
  TprmSQLScriptBuffer buffer;
  std::unique_ptr<TmncSQLCommand> command = fb->CreateCommand();
  auto* runner = static_cast<TmncFBCommand*>(command.get());
  buffer.Write(script);
  buffer.First();
  while (!buffer.Eof()) {
    const std::string statement = buffer.SQLStatement();
    if (!statement.empty())
      runner->RunSQL(statement);
    buffer.Next();
  }
}

}  // namespace qm
