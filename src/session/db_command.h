#pragma once

// The base classes of the database commands: the server identity check, the session registry
// operations, making a session's database connection from a request, and turning an executed
// SQL command into a reply (parameters in, result block and "Fields" out).

#include <cstdint>
#include <memory>
#include <string>

#include "db/sql_connections.h"
#include "protocol/data_command_server.h"
#include "session/session_registry.h"

namespace qm {

// A database command: lives for one request on its client connection's thread.
class TDBCommand : public TpdcDataCommand {
 public:
  using TpdcDataCommand::TpdcDataCommand;

  // Checks the server identity (refusing with the soft error "Invalid Server ID"), registers
  // ("Database", "ServerID") on the reply and runs DoCommand.
  void Execute(TStreamDataWriter& Writer) override;

  // Registry operations; each holds the registry lock for its whole work.
  // The session (its last access refreshed) as the client at vRemoteIP sees it (with private
  // sessions, another address's session is not found), or null.
  static TqmdConnectionPtr FindConnection(std::uint32_t vHandle, const std::string& vRemoteIP);
  // Registers the session; when another "Reconnect" made one under vHandle meanwhile, that one
  // is returned and vConn is freed outside the lock.
  static TqmdConnectionPtr AddConnection(std::unique_ptr<TmncSQLConnection> vConn,
                                         std::uint32_t vHandle, const std::string& vRemoteIP);
  // Takes the session and every dead session out of the registry; they are freed outside the
  // lock (a session still in use by a running command goes when that command ends). vHandle
  // is ended for good: no "Reconnect" of a private session brings it back.
  static void RemoveConnection(std::uint32_t vHandle);

  // Makes, connects and registers a session on the engine named by ("Database", "Driver").
  // Null when the name matches no engine; a connection that fails is freed and the engine's
  // error passes on. Either way a handle that was reserved for it is given up.
  TqmdConnectionPtr ConnectDatabase(std::uint32_t vHandle);
  // ConnectDatabase without the count of failed connects.
  TqmdConnectionPtr ConnectEngine(const std::string& driver, std::uint32_t vHandle);

  // Binds the request's "Params" headers, executes vCMD and fills vData: "Notices", the result
  // block with "BufferCompressed"/"BufferEncoding", Name "OK" and the "Fields" headers.
  void ExecuteCMD(TmncSQLCommand& vCMD, TStreamData& vData);
  // The same, logging "%s: Error ExecuteSQL[%s]" before a failure passes on.
  void ExecuteCMD(const std::string& vRemoteIP, TmncSQLCommand& vCMD, TStreamData& vData);

 protected:
  virtual void DoCommand(TStreamDataWriter& /*Response*/) {}
  // Whether the request must carry the current ServerID.
  virtual bool CheckServerID() const { return true; }

  // ConnectDatabase without giving the handle up.
  TqmdConnectionPtr ConnectEngine(std::uint32_t vHandle);
  // A new session handle, reserved for this client (1, 2, 3 ... per start, or at random with
  // private sessions). Raises "Too many sessions" at the bound.
  std::uint32_t NewSessionHandle();
};

// A command that works inside one session: finds ("Database", "Handle") (else raises
// "#Handle Not Found") and runs DoSessionCommand holding the session's lock and a reference
// that keeps the session alive meanwhile.
class TLockDBCommand : public TDBCommand {
 public:
  using TDBCommand::TDBCommand;

 protected:
  void DoCommand(TStreamDataWriter& Response) override;
  // Runs holding the session lock.
  virtual void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response)
      REQUIRES(Session.Lock()) {
    (void)Session;
    (void)Response;
  }
};

}  // namespace qm
