#include "db/postgres/pg_command.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "db/postgres/pg_connection.h"
#include "db/postgres/pg_errors.h"
#include "db/postgres/pg_transaction.h"
#include "support/number_text.h"
#include "support/text_utils.h"

namespace qm {

namespace {

std::atomic<std::uint64_t> g_statement_counter{0};

// A bound on the results read after a statement's own: a failed connection must not keep the
// loop going.
constexpr int kMaxTrailingResults = 64;

// Holds the connection's lock when it asks for one.
std::optional<std::unique_lock<std::mutex>> LockIfAsked(TmncPGConnection& connection) {
  if (!connection.UseLock())
    return std::nullopt;
  return std::unique_lock<std::mutex>(connection.Lock());
}

}  // namespace

std::string NextPGStatementName() {
  return "pgtr_" + std::to_string(g_statement_counter.fetch_add(1) + 1);
}

// ---- TmncCustomPGCommand ----

TmncCustomPGCommand::TmncCustomPGCommand(TmncPGTransaction* transaction)
    : TmncSQLCommand(transaction) {}

TmncPGTransaction* TmncCustomPGCommand::Transaction() const {
  return dynamic_cast<TmncPGTransaction*>(TmncSQLCommand::Transaction());
}

TmncPGConnection* TmncCustomPGCommand::Connection() const {
  TmncPGTransaction* transaction = Transaction();
  return transaction == nullptr ? nullptr : transaction->Connection();
}

std::unique_ptr<TmncFields> TmncCustomPGCommand::CreateFields(TmncColumns* columns) {
  auto fields = std::make_unique<TmncPostgreFields>(columns, this);
  for (TmncColumn* column : *columns)
    fields->Add(column);
  return fields;
}

std::unique_ptr<TmncColumns> TmncCustomPGCommand::CreateColumns() {
  return std::make_unique<TmncPGColumns>();
}

std::unique_ptr<TmncParams> TmncCustomPGCommand::CreateParams() {
  return std::make_unique<TmncPostgreParams>();
}

// ---- TmncPGCommand ----

TmncPGCommand::TmncPGCommand(TmncPGTransaction* transaction) : TmncCustomPGCommand(transaction) {}

TmncPGCommand::~TmncPGCommand() {
  ReleaseStatement();
}

void TmncPGCommand::ReleaseStatement() {
  // Close (run by BeforeDestruction) deallocates only an active command; a prepared one without
  // a result (after a failed execution) would otherwise stay on the server.
  if (!Active() && Prepared())
    DeallocateStatement();
  BeforeDestruction();
}

TmncPGConnection& TmncPGCommand::RequireConnection() const {
  TmncPGConnection* connection = Connection();
  if (connection == nullptr)
    throw EmncException("Transaction not assigned");
  return *connection;
}

void TmncPGCommand::ClearResult(PPGresult& result) {
  if (result == nullptr)
    return;
  if (TmncPGConnection* connection = FRunConnection != nullptr ? FRunConnection : Connection()) {
    connection->ClearStatement(result);
  } else {
    TPGResultOwner freed(std::exchange(result, nullptr));
  }
}

void TmncPGCommand::ResetStatement() {
  ClearResult(FStatement);
  FStatus = PGRES_EMPTY_QUERY_;
  FTuple = 0;
}

void TmncPGCommand::DoPrepare() {
  TmncPGConnection& connection = RequireConnection();
  // A one-shot command is parsed by its execution as the unnamed statement: one round trip,
  // and nothing stays on the server to deallocate.
  FUnnamed = FOneShot;
  if (FUnnamed)
    return;
  FHandle = NextPGStatementName();
  const std::string sql = ProcessedSQL().SQL();
  PPGresult result;
  {
    auto lock = LockIfAsked(connection);
    result = PGLib().PQprepare(connection.Handle(), FHandle.c_str(), sql.c_str(), 0, nullptr);
  }
  try {
    connection.CheckResult(result);
  } catch (...) {
    connection.ClearStatement(result);
    throw;
  }
  connection.ClearStatement(result);
}

void TmncPGCommand::DoExecute() {
  TmncPGConnection& connection = RequireConnection();
  TmncPGLib& lib = PGLib();
  ResetStatement();
  FRunConnection = &connection;
  if (FSingleRowMode)
    DrainResults();

  // Texts first, then the pointers into them (the texts do not move any more).
  std::vector<std::string> texts;
  std::vector<const char*> values;
  texts.reserve(static_cast<size_t>(Binds().Count()));
  for (TmncBind* bind : Binds()) {
    const TmncParam* param = bind->Param();
    texts.push_back(param == nullptr || param->IsNull() ? std::string()
                                                        : PGParamText(param->Value()));
  }
  for (int i = 0; i < Binds().Count(); ++i) {
    const TmncParam* param = Binds().Items(i)->Param();
    values.push_back(param == nullptr || param->IsNull() ? nullptr
                                                         : texts[static_cast<size_t>(i)].c_str());
  }
  const int count = static_cast<int>(values.size());
  const char* const* value_array = values.empty() ? nullptr : values.data();
  const int format = FResultFormat == mrfBinary ? 1 : 0;
  PPGconn handle = connection.Handle();

  if (FUnnamed) {
    ExecuteUnnamed(connection, count, value_array, format);
  } else if (!FSingleRowMode) {
    auto lock = LockIfAsked(connection);
    FStatement =
        lib.PQexecPrepared(handle, FHandle.c_str(), count, value_array, nullptr, nullptr, format);
  } else if (lib.PQsendQueryPrepared(handle, FHandle.c_str(), count, value_array, nullptr, nullptr,
                                     format) != 0) {
    lib.PQsetSingleRowMode(handle);
    FStatement = lib.PQgetResult(handle);
  }

  FStatus = static_cast<TExecStatusType>(lib.PQresultStatus(FStatement));
  const bool has_rows =
      FStatement != nullptr &&
      (FStatus == PGRES_TUPLES_OK_ || (FSingleRowMode && FStatus == PGRES_SINGLE_TUPLE_));
  if (!has_rows)
    HitDone();
  FTuple = 0;
  FTuples = lib.PQntuples(FStatement);
  // A missing result is a failure too (its reason is on the connection).
  try {
    connection.CheckResult(FStatement);
  } catch (...) {
    ResetStatement();
    if (FSingleRowMode)
      DrainResults();
    throw;
  }
}

void TmncPGCommand::ExecuteUnnamed(TmncPGConnection& connection, int count,
                                   const char* const* values, int format) {
  TmncPGLib& lib = PGLib();
  PPGconn handle = connection.Handle();
  const std::string sql = ProcessedSQL().SQL();
  auto lock = LockIfAsked(connection);
  // Parse, bind, describe, execute and sync in one message train, as PQexecParams sends them.
  if (lib.PQsendQueryParams(handle, sql.c_str(), count, nullptr, values, nullptr, nullptr,
                            format) == 0)
    return;
  if (FSingleRowMode) {
    // Rows come one result each while the server still sends them.
    lib.PQsetSingleRowMode(handle);
    FStatement = lib.PQgetResult(handle);
    return;
  }
  FStatement = lib.PQgetResult(handle);
  // One statement gives one result; whatever else comes (a failed connection) is read to the
  // end so that the connection is ready for the next command.
  for (int i = 0; i < kMaxTrailingResults; ++i) {
    TPGResultOwner extra(lib.PQgetResult(handle));
    if (extra == nullptr)
      break;
  }
}

void TmncPGCommand::DoNext() {
  if (Done())
    return;
  TmncPGLib& lib = PGLib();
  const bool first = Ready();
  if (first) {
    LoadColumns();
    HitUnready();
    FTuple = 0;
  } else if (!FSingleRowMode) {
    ++FTuple;
  }

  if (!FSingleRowMode) {
    if (FTuple >= FTuples)
      HitDone();
    else
      LoadRow(FTuple);
    return;
  }

  // Single-row mode: each row arrives as a result of its own, read at its row 0 and kept until
  // the next step; a final zero-row result ends the rows.
  if (!first) {
    TmncPGConnection& connection =
        FRunConnection != nullptr ? *FRunConnection : RequireConnection();
    PPGresult next = lib.PQgetResult(connection.Handle());
    if (next == nullptr) {
      HitDone();
      return;
    }
    ClearResult(FStatement);
    FStatement = next;
    FStatus = static_cast<TExecStatusType>(lib.PQresultStatus(FStatement));
    FTuples = lib.PQntuples(FStatement);
    try {
      connection.CheckResult(FStatement);
    } catch (...) {
      ResetStatement();
      DrainResults();
      HitDone();
      throw;
    }
  }
  if (FStatus == PGRES_SINGLE_TUPLE_ && FTuples > 0) {
    LoadRow(0);
  } else {
    DrainResults();
    HitDone();
  }
}

void TmncPGCommand::DoClose() {
  ResetStatement();
  if (FSingleRowMode)
    DrainResults();
  FRunConnection = nullptr;
}

void TmncPGCommand::DoUnprepare() {
  DeallocateStatement();
}

void TmncPGCommand::DrainResults() {
  TmncPGConnection* connection = Connection();
  if (connection == nullptr || connection->Handle() == nullptr)
    return;
  while (PPGresult result = PGLib().PQgetResult(connection->Handle()))
    ClearResult(result);
}

void TmncPGCommand::DeallocateStatement() {
  TmncPGConnection* connection = Connection();
  if (connection == nullptr || connection->Handle() == nullptr || FHandle.empty())
    return;
  try {
    PPGresult result;
    {
      auto lock = LockIfAsked(*connection);
      result = PGLib().PQexec(connection->Handle(), ("deallocate " + FHandle).c_str());
    }
    connection->ClearStatement(result);
  } catch (...) {
    // A statement that cannot be deallocated goes with the session.
  }
  FHandle.clear();
}

void TmncPGCommand::LoadColumns() {
  TmncPGLib& lib = PGLib();
  TmncPGColumns& columns = Columns();
  columns.Clear();
  const int count = lib.PQnfields(FStatement);
  for (int i = 0; i < count; ++i) {
    const std::string base = Unquote(PGText(lib.PQfname(FStatement, i)));
    std::string name = base;
    for (int n = 1; columns.Find(name) != nullptr; ++n)
      name = base + "_" + std::to_string(n);
    columns.Add(name, static_cast<int>(lib.PQftype(FStatement, i)), lib.PQfsize(FStatement, i));
  }
  SetFields(CreateFields(&columns));
}

void TmncPGCommand::LoadRow(int row) {
  TmncPGLib& lib = PGLib();
  TmncFields* fields = Fields();
  for (int i = 0; i < fields->Count(); ++i) {
    auto* field = static_cast<TmncPostgreField*>(fields->Items(i));
    if (lib.PQgetisnull(FStatement, row, i))
      field->SetData(nullptr, 0, true);
    else
      field->SetData(lib.PQgetvalue(FStatement, row, i), lib.PQgetlength(FStatement, row, i),
                     false);
  }
}

int TmncPGCommand::GetRowsChanged() {
  CheckActive();
  return StrToIntDef(PGText(PGLib().PQcmdTuples(FStatement)), 0);
}

// ---- TprmPGCommand ----

TprmPGCommand::TprmPGCommand(TprmPGTransaction* transaction) : TmncPGCommand(transaction) {}

TprmPGCommand::~TprmPGCommand() {
  ReleaseStatement();
}

TprmPGTransaction* TprmPGCommand::Transaction() const {
  return dynamic_cast<TprmPGTransaction*>(TmncPGCommand::Transaction());
}

std::unique_ptr<TmncProcessedSQL> TprmPGCommand::CreateProcessedSQL() {
  return std::make_unique<TprmSQLProcessed>();
}

}  // namespace qm
