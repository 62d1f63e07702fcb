// The connection as a client session's: labelled with the client's address, keeping the
// notices of its last commit.

#include "db/postgres/pg_connection.h"

namespace qm {

void TprmPGConnection::ConnectSession(const TmncSessionSettings& settings) {
  Connect();
  SetVariable("RemoteIP", settings.RemoteIP);
}

void TprmPGConnection::DoNotices(TmncPGNoticeItems& notices, bool committed) {
  TmncPGConnection::DoNotices(notices, committed);
  if (committed)
    FLastNotices = notices.Message();
}

}  // namespace qm
