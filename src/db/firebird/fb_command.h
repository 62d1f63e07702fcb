#pragma once

// A Firebird command over one prepared statement of its transaction's attachment.
//
// Threads: used by the thread that uses its connection. Destruction: before its transaction;
// the statement is dropped where the command ends.

#include <ibase.h>

#include <memory>
#include <string>

#include "db/firebird/fb_owners.h"
#include "db/firebird/fb_transaction.h"
#include "db/firebird/fb_values.h"
#include "db/sql_connections.h"

namespace qm {

// Statement types as the client API numbers them.
enum TFBDSQLTypes {
  SQLUnknown,
  SQLSelect,
  SQLInsert,
  SQLUpdate,
  SQLDelete,
  SQLDDL,
  SQLGetSegment,
  SQLPutSegment,
  SQLExecProcedure,
  SQLStartTransaction,
  SQLCommit,
  SQLRollback,
  SQLSelectForUpdate,
  SQLSetSequence,
  SQLSavePoint,
};

// A prepared statement. Columns and fields are described at preparation; every fetched row is
// converted into the fields.
class TmncFBCommand : public TmncSQLCommand {
 public:
  explicit TmncFBCommand(TmncFBTransaction* transaction = nullptr);
  ~TmncFBCommand() override;

  TmncFBTransaction* Transaction() const;
  TmncFBConnection* Connection() const;
  bool GetActive() const override { return FActive; }
  void SetActive(bool value) override;
  int GetRowsChanged() override;
  TFBDSQLTypes SQLType() const { return FSQLType; }
  const std::string& Cursor() const { return FCursor; }
  void SetCursor(const std::string& value);
  // Runs `sql` directly in the transaction; the command's own statement is not used.
  void RunSQL(const std::string& sql);

 protected:
  void DoPrepare() override;
  void DoUnprepare() override;
  void DoExecute() override;
  void DoNext() override;
  void DoClose() override;
  std::unique_ptr<TmncFields> CreateFields(TmncColumns* columns) override;
  std::unique_ptr<TmncParams> CreateParams() override;

 private:
  ISC_STATUS CheckCommandStatus(ISC_STATUS result, const ISC_STATUS* status,
                                bool raise_error = true);
  TFBHandles Handles() const;
  void FreeHandle();
  // A statement outside an opened transaction runs in one of its own: started here, committed
  // when the statement is through (for a select: when its rows are read or it is closed),
  // rolled back when it fails.
  void BeginImplicit();
  void EndImplicit(bool commit);
  int ReadRowsChanged();
  void LoadRow();
  TmncFBLib& Lib() const;

  TFBStatementHandle FHandle{FBLib()};  // bound to the connection's binding at preparing
  bool FActive = false;
  std::string FCursor;
  TFBDSQLTypes FSQLType = SQLUnknown;
  TFBSQLDA FInput;   // the parameters as the library described them
  TFBSQLDA FOutput;  // the row buffers
  int FColumnCount = 0;
  bool FImplicit = false;
  int FRowsChanged = -2;  // -2: not read yet
};

}  // namespace qm
