#pragma once

// "ExecuteAPI": engine services that are not SQL (PostgreSQL large objects and notifications),
// selected by ("API", "Name").

#include <string>
#include <string_view>

#include "session/db_command.h"

namespace qm {

// The operation names, by index: loImport, loExport, loUnlink, loCopy, loNotifications.
inline constexpr std::string_view kAPINames[] = {"loImport", "loExport", "loUnlink", "loCopy",
                                                 "loNotifications"};

// Runs the API dispatch on the session's connection and answers "OK". A missing name registers
// ("System", "Error") = "Invalid Name", an unknown one "Invalid API [<name>]"; the reply's name
// is "OK" all the same. Sessions on engines without these services do nothing.
class TDBExecuteAPICommand : public TLockDBCommand {
 public:
  using TLockDBCommand::TLockDBCommand;

 protected:
  void DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) override
      REQUIRES(Session.Lock());

 private:
  // Reads ("API", "Name"): empty gives "Invalid Name"; a session whose engine offers the
  // services runs the operation.
  void ExecuteAPI(TmncSQLConnection& Connection, TStreamDataWriter& Response);
  // The operation of that name (matched ignoring case), or "Invalid API [<name>]".
  void RunOperation(TmncSQLConnection& Connection, IDBAPIOperations& API, const std::string& Name,
                    TStreamDataWriter& Response);
};

}  // namespace qm
