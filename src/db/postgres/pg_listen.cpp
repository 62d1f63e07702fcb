// Asynchronous notifications: listening on channels and collecting what arrived.

#include "db/postgres/pg_connection.h"
#include "db/postgres/pg_quoting.h"

namespace qm {

std::vector<TmncNotification> TmncPGConnection::ReceiveNotifications() {
  std::vector<TmncNotification> out;
  if (!Connected())
    return out;
  TmncPGLib& lib = PGLib();
  lib.PQconsumeInput(Handle());
  for (;;) {
    const TPGMemoryOwner<PGnotify> entry(lib.PQnotifies(Handle()));
    if (!entry)
      break;
    out.push_back({PGText(entry->relname), PGText(entry->extra), entry->be_pid});
  }
  return out;
}

void TmncPGConnection::StartListen(const std::string& channel) {
  if (Connected())
    Execute("listen " + IdentifierText(channel) + ";");
}

void TmncPGConnection::StopListen(const std::string& channel) {
  if (Connected())
    Execute("unlisten " + IdentifierText(channel) + ";");
}

}  // namespace qm
