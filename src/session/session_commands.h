#pragma once

// The commands that manage sessions: "Status", "Connect", "Reconnect" and "Disconnect".

#include "session/db_command.h"

namespace qm {

// Lists the sessions as JSON text (UTF-16LE) in the reply's buffer; refreshes none of them.
class TDBStatusCommand : public TDBCommand {
 public:
  using TDBCommand::TDBCommand;

 protected:
  void DoCommand(TStreamDataWriter& Response) override;
  bool CheckServerID() const override { return false; }
};

// Opens a session under a new handle; an unknown driver raises "Driver Create Connection = nil".
class TDBConnectCommand : public TDBCommand {
 public:
  using TDBCommand::TDBCommand;

 protected:
  void DoCommand(TStreamDataWriter& Response) override;
  bool CheckServerID() const override { return false; }
};

// Brings a client's session back: a new session after a server restart, the same session with
// its opened transactions dropped when it is still there, or a new session under the client's
// own handle when it was swept or its database connection was lost.
class TDBReConnectCommand : public TDBConnectCommand {
 public:
  using TDBConnectCommand::TDBConnectCommand;

 protected:
  void DoCommand(TStreamDataWriter& Response) override;
};

// Ends a session (and every dead session with it).
class TDBDisconnectCommand : public TDBCommand {
 public:
  using TDBCommand::TDBCommand;

 protected:
  void DoCommand(TStreamDataWriter& Response) override;
};

}  // namespace qm
