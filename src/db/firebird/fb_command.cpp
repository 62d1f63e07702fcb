#include "db/firebird/fb_command.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "db/db_errors.h"
#include "db/firebird/fb_sql_text.h"

namespace qm {
namespace {

constexpr unsigned short kDescriptorVersion = SQLDA_VERSION1;
constexpr ISC_STATUS kNoMoreRows = 100;
constexpr ISC_STATUS kInvalidCursor = 335544572;           // isc_dsql_cursor_err
constexpr ISC_STATUS kInvalidStatementHandle = 335544485;  // isc_bad_stmt_handle
constexpr ISC_STATUS kCursorAlreadyClosed = 335544577;     // isc_dsql_cursor_close_err

}  // namespace

TmncFBCommand::TmncFBCommand(TmncFBTransaction* transaction) : TmncSQLCommand(transaction) {}

TmncFBCommand::~TmncFBCommand() {
  BeforeDestruction();
  // A statement of an attachment that is gone went with it; FHandle drops any other one.
  if (Connection() == nullptr || !Connection()->Connected())
    FHandle.Forget();
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
    throw EmncStateError("Transaction not assigned");
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
    throw EmncStateError("Connection is not connected");
  TmncFBLib& lib = connection->Lib();
  const std::string sql = ProcessedSQL().SQL();
  FBCheckStatementText(sql);
  // Preparing needs a transaction; outside an opened one it gets its own for the moment.
  BeginImplicit();
  try {
    TFBStatus status;
    FHandle.Bind(lib);
    CheckCommandStatus(
        lib.isc_dsql_alloc_statement2(status.Data(), connection->Handle(), FHandle.Address()),
        status.Data());
    CheckCommandStatus(lib.isc_dsql_prepare(status.Data(), transaction->Handle(), FHandle.Address(),
                                            0, sql.c_str(), kFBSQLDialect, nullptr),
                       status.Data());
    const char type_item[] = {isc_info_sql_stmt_type};
    TFBBuffer reply = FBInfoReply(8);
    CheckCommandStatus(
        lib.isc_dsql_sql_info(status.Data(), FHandle.Address(), sizeof type_item, type_item,
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
        CheckCommandStatus(lib.isc_dsql_describe_bind(status.Data(), FHandle.Address(),
                                                      kDescriptorVersion, FInput.Area()),
                           status.Data());
      // Columns: count them first, then describe them.
      FOutput.Resize(0);
      CheckCommandStatus(lib.isc_dsql_describe(status.Data(), FHandle.Address(), kDescriptorVersion,
                                               FOutput.Area()),
                         status.Data());
      FColumnCount = FOutput.Described();
      SetFields(nullptr);
      Columns().Clear();
      if (FColumnCount > 0) {
        FOutput.Resize(FColumnCount);
        CheckCommandStatus(lib.isc_dsql_describe(status.Data(), FHandle.Address(),
                                                 kDescriptorVersion, FOutput.Area()),
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
  if (!FHandle)
    return;
  TmncFBConnection* connection = Connection();
  if (connection == nullptr || !connection->Connected()) {
    FHandle.Forget();  // the statement went with the attachment
    return;
  }
  TFBStatus status;
  isc_stmt_handle handle = FHandle.Forget();  // not dropped again, whatever the answer
  const ISC_STATUS result = Lib().isc_dsql_free_statement(status.Data(), &handle, DSQL_drop);
  if (status.Data()[0] == isc_arg_gds && result > 0 && result != kInvalidStatementHandle &&
      !StatusHasCode(status.Data(), {isc_lost_db_connection, isc_att_shutdown, isc_network_error}))
    RaiseFBError(Lib(), status.Data());
}

void TmncFBCommand::DoExecute() {
  if (FActive)
    DoClose();
  if (!FHandle)
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
        CheckCommandStatus(lib.isc_dsql_execute2(status.Data(), handles.TR, FHandle.Address(),
                                                 kDescriptorVersion, in, nullptr),
                           status.Data());
        if (!FCursor.empty())
          CheckCommandStatus(
              lib.isc_dsql_set_cursor_name(status.Data(), FHandle.Address(), FCursor.c_str(), 0),
              status.Data());
        FActive = true;
        HitUnready();
        break;
      case SQLExecProcedure:
        if (FColumnCount > 0) {
          CheckCommandStatus(lib.isc_dsql_execute2(status.Data(), handles.TR, FHandle.Address(),
                                                   kDescriptorVersion, in, FOutput.Area()),
                             status.Data());
          LoadRow();
          FActive = true;
        } else {
          CheckCommandStatus(lib.isc_dsql_execute2(status.Data(), handles.TR, FHandle.Address(),
                                                   kDescriptorVersion, in, nullptr),
                             status.Data());
          HitDone();
        }
        break;
      case SQLStartTransaction:
      case SQLCommit:
        CheckCommandStatus(lib.isc_dsql_execute(status.Data(), handles.TR, FHandle.Address(),
                                                kDescriptorVersion, in),
                           status.Data());
        HitDone();
        break;
      default:
        CheckCommandStatus(lib.isc_dsql_execute(status.Data(), handles.TR, FHandle.Address(),
                                                kDescriptorVersion, in),
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
    result =
        Lib().isc_dsql_fetch(status.Data(), FHandle.Address(), kDescriptorVersion, FOutput.Area());
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
  if (FHandle &&
      (FSQLType == SQLSelect || FSQLType == SQLExecProcedure || FSQLType == SQLSelectForUpdate) &&
      FActive) {
    TFBStatus status;
    const ISC_STATUS result =
        Lib().isc_dsql_free_statement(status.Data(), FHandle.Address(), DSQL_close);
    if (status.Data()[0] == isc_arg_gds && result > 0 && result != kInvalidStatementHandle &&
        result != kCursorAlreadyClosed && !StatusHasCode(status.Data(), {kInvalidCursor})) {
      EndImplicit(false);
      CheckCommandStatus(result, status.Data());
    }
  }
  EndImplicit(true);
}

int TmncFBCommand::ReadRowsChanged() {
  if (!FHandle)
    return -1;
  const char item[] = {isc_info_sql_records};
  TFBBuffer reply = FBInfoReply(1049);
  TFBStatus status;
  const ISC_STATUS result =
      Lib().isc_dsql_sql_info(status.Data(), FHandle.Address(), sizeof item, item,
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

}  // namespace qm
