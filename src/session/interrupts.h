#pragma once

// Reaching the database work of every session from another thread: a server that stops cancels
// the statements still running and the connects still waiting instead of waiting for them.

namespace qm {

class TmncConnection;

// Makes a connection that is being connected (and set up) reachable by InterruptSessions before
// it is registered as a session. Lives on the connecting thread's stack and must go before the
// connection does.
class TqmdConnecting {
 public:
  explicit TqmdConnecting(TmncConnection& Connection);
  ~TqmdConnecting();
  TqmdConnecting(const TqmdConnecting&) = delete;
  TqmdConnecting& operator=(const TqmdConnecting&) = delete;

 private:
  TmncConnection& FConnection;
};

// Interrupt (db/connections.h) on the connection of every registered session and on every
// connect under way. Work that starts afterwards runs; a stop calls this again until its client
// threads have ended.
void InterruptSessions();

}  // namespace qm
