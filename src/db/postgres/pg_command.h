#pragma once

// PostgreSQL commands (their columns, fields and parameters are in db/postgres/pg_values.h).
//
// Every statement is prepared on the server under a generated name ("pgtr_<n>", a process-wide
// counter), except a one-shot command's, which runs as the unnamed statement; all execute with
// positional text parameters ($1, $2 ...). Row values are not
// copied: a field points into the current library result and stays valid until that result is
// cleared (the next execute, a close, or the next step in single-row mode).
//
// Threads: a command belongs to one connection and is used by one thread at a time; the
// statement-name counter is atomic.

#include <cstdint>
#include <memory>
#include <string>

#include "db/postgres/pg_api.h"
#include "db/postgres/pg_values.h"
#include "db/sql_connections.h"

namespace qm {

class TmncPGConnection;
class TmncPGTransaction;
class TprmPGTransaction;

enum TmpgResultFormat { mrfText, mrfBinary };

class TmncCustomPGCommand : public TmncSQLCommand {
 public:
  explicit TmncCustomPGCommand(TmncPGTransaction* transaction = nullptr);

  // The server-side statement name ("" before the first prepare).
  const std::string& Handle() const { return FHandle; }
  TmpgResultFormat ResultFormat() const { return FResultFormat; }
  void SetResultFormat(TmpgResultFormat value) { FResultFormat = value; }
  // The status of the last execution.
  TExecStatusType Status() const { return FStatus; }
  TmncPGColumns& Columns() { return static_cast<TmncPGColumns&>(TmncCommand::Columns()); }
  TmncParseOptions GetParseOptions() const override { return {psoNumbered}; }

  TmncPGTransaction* Transaction() const;
  // The connection of the transaction, nil without one.
  TmncPGConnection* Connection() const;

 protected:
  std::unique_ptr<TmncFields> CreateFields(TmncColumns* columns) override;
  std::unique_ptr<TmncColumns> CreateColumns() override;
  std::unique_ptr<TmncParams> CreateParams() override;

  std::string FHandle;
  TmpgResultFormat FResultFormat = mrfText;
  TExecStatusType FStatus = PGRES_EMPTY_QUERY_;
};

class TmncPGCommand : public TmncCustomPGCommand {
 public:
  explicit TmncPGCommand(TmncPGTransaction* transaction = nullptr);
  // A command that still holds a prepared statement deallocates it, whether or not it holds
  // a result.
  ~TmncPGCommand() override;

  bool GetActive() const override { return FStatement != nullptr; }
  // The current result, nil when there is none.
  PPGresult Statement() const { return FStatement; }
  // The row of Statement that the fields show (always 0 in single-row mode).
  int Tuple() const { return FTuple; }
  // Rows in the current result.
  int RecordCount() const { return FTuples; }
  // Rows delivered one result at a time (PQsetSingleRowMode).
  bool SingleRowMode() const { return FSingleRowMode; }
  void SetSingleRowMode(bool value) { FSingleRowMode = value; }
  // A command run once and then freed: it is not prepared under a name but parsed, bound and
  // executed as the unnamed statement in one round trip (as PQexecParams does), so nothing is
  // left to deallocate. Set before the prepare. With single-row mode the rows are read while
  // the server still sends them.
  bool OneShot() const { return FOneShot; }
  void SetOneShot(bool value) { FOneShot = value; }
  // One shot in single-row mode.
  void SetRunOnce() override;
  // The value bytes straight from the library's results (pg_row_writing.cpp).
  void WriteRows(TmncRowSink& sink) override;
  // Affected rows of the last statement; "Command is not active/opened" without a result.
  int GetRowsChanged() override;
  std::int64_t GetLastRowID() override { return 0; }

  // Clears the current result; Status becomes PGRES_EMPTY_QUERY, the row 0.
  virtual void ResetStatement();

 protected:
  void DoPrepare() override;
  void DoUnprepare() override;
  void DoExecute() override;
  void DoNext() override;
  void DoClose() override;
  // Deallocates a statement left prepared without a result, then BeforeDestruction. Call first
  // in the destructor of every class derived from this one.
  void ReleaseStatement();

 private:
  TmncPGConnection& RequireConnection() const;
  void ClearResult(PPGresult& result);
  void LoadColumns();
  void LoadRow(int row);
  // Reads and frees the results left on the connection after a single-row execution.
  void DrainResults();
  void DeallocateStatement();
  // Runs the text as the unnamed statement and takes its (first) result as the current one;
  // an error is left in that result for the caller.
  void ExecuteUnnamed(TmncPGConnection& connection, int count, const char* const* values,
                      int format);

  PPGresult FStatement = nullptr;
  int FTuple = 0;
  int FTuples = 0;
  bool FSingleRowMode = false;
  bool FOneShot = false;
  // Prepared as the unnamed statement of the next execution: nothing on the server.
  bool FUnnamed = false;
  // The connection of the running execution, looked up once rather than on every row.
  TmncPGConnection* FRunConnection = nullptr;
};

// The command the system uses: parameters are "?name" markers (TprmSQLProcessed).
class TprmPGCommand : public TmncPGCommand {
 public:
  explicit TprmPGCommand(TprmPGTransaction* transaction = nullptr);
  ~TprmPGCommand() override;
  TprmPGTransaction* Transaction() const;

 protected:
  std::unique_ptr<TmncProcessedSQL> CreateProcessedSQL() override;
};

// The name of the next prepared statement: "pgtr_" + the incremented process-wide counter.
std::string NextPGStatementName();

}  // namespace qm
