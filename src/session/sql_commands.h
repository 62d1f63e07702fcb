#pragma once

// The commands that run SQL inside a session. Each runs under the session's lock (see
// TLockDBCommand), so the commands of one session are serialised.

#include "session/db_command.h"

namespace qm {

// Runs ("Database", "SQL") once on the transaction ("Database", "TRHandle") and encodes the
// result.
class TDBExecuteSQLCommand : public TLockDBCommand {
 public:
  using TLockDBCommand::TLockDBCommand;

 protected:
  void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) override
      REQUIRES(Session.Lock());
};

// Prepares ("Database", "SQL") and answers its handle in ("Database", "CmdHandle").
class TDBPrepareSQLCommand : public TLockDBCommand {
 public:
  using TLockDBCommand::TLockDBCommand;

 protected:
  void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) override
      REQUIRES(Session.Lock());
};

// Frees the prepared command ("Database", "CmdHandle"); an unknown handle is no error.
class TDBUnPrepareSQLCommand : public TLockDBCommand {
 public:
  using TLockDBCommand::TLockDBCommand;

 protected:
  void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) override
      REQUIRES(Session.Lock());
};

// Runs the prepared command ("Database", "CmdHandle") with the request's parameters; an unknown
// handle raises "Command Not Found".
class TDBExecPreparedCommand : public TLockDBCommand {
 public:
  using TLockDBCommand::TLockDBCommand;

 protected:
  void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) override
      REQUIRES(Session.Lock());
};

// Runs the "^"-separated script compressed in the request's buffer (UTF-16LE text). An empty
// script answers without "OK".
class TDBExecScriptCommand : public TLockDBCommand {
 public:
  using TLockDBCommand::TLockDBCommand;

 protected:
  void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) override
      REQUIRES(Session.Lock());

 private:
  // The request's buffer inflated and read as UTF-16LE text ("" for an empty buffer); corrupt
  // input raises the decompression error, more than 256 MiB inflated the limit error.
  std::string RequestScript() const;
};

// Starts a transaction with the parameter lines ("Database", "Params") and answers its handle
// in ("Database", "TRHandle").
class TDBOpenTransactionCommand : public TLockDBCommand {
 public:
  using TLockDBCommand::TLockDBCommand;

 protected:
  void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) override
      REQUIRES(Session.Lock());
};

// Commits ("TRAction" "commit", any case) or rolls back the opened transaction
// ("Database", "TRHandle") and frees it; an unknown handle raises "Transaction Handle Not
// Found".
class TDBCloseTransactionCommand : public TLockDBCommand {
 public:
  using TLockDBCommand::TLockDBCommand;

 protected:
  void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) override
      REQUIRES(Session.Lock());
};

}  // namespace qm
