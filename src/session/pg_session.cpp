#include "session/pg_session.h"

namespace qm {

TqmdPGConnection::~TqmdPGConnection() {
  // The engine's last calls (ending transactions, disconnecting) may still report notices here.
  BeforeDestruction();
}

void TqmdPGConnection::DoNotices(TmncPGNoticeItems& notices, bool committed) {
  TprmPGConnection::DoNotices(notices, committed);
  if (committed)
    FLastNotices = notices.Message();
}

}  // namespace qm
