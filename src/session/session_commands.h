#pragma once

// The commands that manage sessions: "Status", "Connect", "Reconnect" and "Disconnect".

#include "session/db_command.h"

namespace qm {

// Lists the sessions as JSON text (UTF-16LE) in the reply's buffer (with private sessions only
// the caller's own); refreshes none of them.
class TDBStatusCommand : public TDBCommand {
 public:
  using TDBCommand::TDBCommand;

 protected:
  void DoCommand(TStreamDataWriter& Response) override;
  bool CheckServerID() const override { return false; }
};

// Opens a session under a new handle; an unknown driver raises "Driver Create Connection = nil",
// a full registry "Too many sessions".
class TDBConnectCommand : public TDBCommand {
 public:
  using TDBCommand::TDBCommand;

 protected:
  void DoCommand(TStreamDataWriter& Response) override;
  bool CheckServerID() const override { return false; }
};

// Brings a client's session back: a new session after a server restart, the same session with
// its opened transactions dropped when it is still there, or a new session under the client's
// own handle when it was swept, ended or its database connection was lost. A handle that this
// run did not issue (or, with private sessions, issued to another address) gets a new session
// under a new handle instead.
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
