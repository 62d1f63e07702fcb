#include "session/interrupts.h"

#include <algorithm>
#include <vector>

#include "db/connections.h"
#include "session/session_registry.h"
#include "support/thread_annotations.h"

namespace qm {

namespace {

// The connects under way. The lock is held while they are interrupted, so an entry cannot go
// (and its connection cannot be freed) meanwhile.
TMutex gConnectingLock;
std::vector<TmncConnection*> gConnecting GUARDED_BY(gConnectingLock);

}  // namespace

TqmdConnecting::TqmdConnecting(TmncConnection& Connection) : FConnection(Connection) {
  TLockGuard lock(gConnectingLock);
  gConnecting.push_back(&FConnection);
}

TqmdConnecting::~TqmdConnecting() {
  TLockGuard lock(gConnectingLock);
  gConnecting.erase(std::find(gConnecting.begin(), gConnecting.end(), &FConnection));
}

void InterruptSessions() {
  {
    TLockGuard lock(gConnectingLock);
    for (TmncConnection* connection : gConnecting)
      connection->Interrupt();
  }
  // The snapshot's references keep every session (and its connection) alive while it is
  // interrupted; the registry lock is not held meanwhile.
  std::vector<TqmdConnectionPtr> sessions;
  {
    TLockGuard lock(TqmdConnections::Instance().Lock());
    sessions = TqmdConnections::Instance().EnumItems();
  }
  for (const TqmdConnectionPtr& session : sessions) {
    if (TmncConnection* connection = session->Connection())
      connection->Interrupt();
  }
}

}  // namespace qm
