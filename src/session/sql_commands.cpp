#include "session/sql_commands.h"

#include "support/buffer.h"
#include "support/text_utils.h"
#include "support/utf16.h"

namespace qm {

namespace {

// A script inflates to at most this many bytes (UTF-16LE): a small request must not be able to
// claim the server's memory.
constexpr std::uint64_t kMaxScriptBytes = std::uint64_t{256} << 20;

std::uint32_t TransactionHandle(const TpdcDataCommand& command) {
  return static_cast<std::uint32_t>(command.AsInteger("Database", "TRHandle"));
}

}  // namespace

void TDBExecuteSQLCommand::DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) {
  TmncSQLTransaction* transaction = Session.FindTransaction(TransactionHandle(*this));
  std::unique_ptr<TmncSQLCommand> command = transaction->CreateCommand();
  command->SetSQL(AsString("Database", "SQL"));
  // Run once and freed: the engine may save round trips and hand the rows over while the
  // server still sends them.
  command->SetRunOnce();
  ExecuteCMD(Session.RemoteIP(), *command, Response);
}

void TDBPrepareSQLCommand::DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) {
  TmncSQLTransaction* transaction = Session.FindTransaction(TransactionHandle(*this));
  TqmdCommand* command = Session.PrepareSQL(transaction, AsString("Database", "SQL"));
  Response.SetName("OK");
  Response.RegisterHeader("Database", "CmdHandle", command->Handle());
}

void TDBUnPrepareSQLCommand::DoSessionCommand(TqmdConnection& Session,
                                              TStreamDataWriter& Response) {
  Session.Commands().Delete(AsInteger("Database", "CmdHandle"));
  Session.SyncCounts();
  Response.SetName("OK");
}

void TDBExecPreparedCommand::DoSessionCommand(TqmdConnection& Session,
                                              TStreamDataWriter& Response) {
  TqmdCommand* command = Session.Commands().Find(AsCardinal("Database", "CmdHandle"));
  if (command == nullptr)
    throw Exception("Command Not Found");
  ExecuteCMD(Session.RemoteIP(), *command->Command(), Response);
}

std::string TDBExecScriptCommand::RequestScript() const {
  if (Request() == nullptr || Request()->Buffer().Empty())
    return std::string();
  return Utf16LeToUtf8(ZDecompress(Request()->Buffer().View(), kMaxScriptBytes));
}

void TDBExecScriptCommand::DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) {
  TmncSQLTransaction* transaction = Session.FindTransaction(TransactionHandle(*this));
  const std::string name = AsString("Database", "ScriptName");
  const std::string script = RequestScript();
  if (script.empty())
    return;
  transaction->RunScript(script, name);
  Response.SetName("OK");
}

void TDBOpenTransactionCommand::DoSessionCommand(TqmdConnection& Session,
                                                 TStreamDataWriter& Response) {
  TqmdTransaction* transaction = Session.OpenTransaction(AsString("Database", "Params"));
  Response.SetName("OK");
  Response.RegisterHeader("Database", "TRHandle", transaction->Handle());
}

void TDBCloseTransactionCommand::DoSessionCommand(TqmdConnection& Session,
                                                  TStreamDataWriter& Response) {
  const std::uint32_t handle = TransactionHandle(*this);
  TqmdTransaction* item = Session.Transactions().Find(handle);
  if (item == nullptr)
    throw Exception("Transaction Handle Not Found");
  if (SameText(AsString("Database", "TRAction"), "commit")) {
    item->Transaction()->Commit();
    if (const TmncSQLConnection* connection = Session.Connection()) {
      if (const std::string notices = connection->CommitNotices(); !notices.empty())
        Response.RegisterHeader("Database", "Notices", notices);
    }
  } else {
    item->Transaction()->Rollback();
  }
  Session.Transactions().Delete(handle);
  Session.SyncCounts();
  Response.SetName("OK");
}

}  // namespace qm
