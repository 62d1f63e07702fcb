#include "session/session_commands.h"

#include <cmath>
#include <mutex>

#include <nlohmann/json.hpp>

namespace qm {

namespace {

// Seconds since 1970-01-01 00:00 of a date-time taken as it is (no time-zone conversion).
std::int64_t UnixSeconds(TDateTime value) {
  constexpr double kUnixDateDelta = 25569.0;
  const double ms = std::round((value - kUnixDateDelta) * 86400000.0);
  return static_cast<std::int64_t>(ms / 1000.0);
}

}  // namespace

void TDBStatusCommand::DoCommand(TStreamDataWriter& Response) {
  Response.SetName("OK");
  std::vector<TqmdConnectionPtr> sessions;
  {
    TLockGuard lock(TqmdConnections::Instance().Lock());
    sessions = TqmdConnections::Instance().EnumItemsFor(RemoteIP());
  }
  nlohmann::ordered_json items = nlohmann::ordered_json::array();
  for (const TqmdConnectionPtr& session : sessions) {
    nlohmann::ordered_json item = nlohmann::ordered_json::object();
    item["Handle"] = session->Handle();
    if (!session->RemoteIP().empty())
      item["RemoteIP"] = session->RemoteIP();
    if (session->LastAccess() != 0)
      item["LastAccess"] = UnixSeconds(session->LastAccess());
    if (session->CommandCount() != 0)
      item["Commands"] = session->CommandCount();
    if (session->TransactionCount() != 0)
      item["Transactions"] = session->TransactionCount();
    if (!session->Resource().empty())
      item["Resource"] = session->Resource();
    items.push_back(std::move(item));
  }
  nlohmann::ordered_json status = nlohmann::ordered_json::object();
  if (!items.empty())
    status["count"] = items.size();
  status["items"] = std::move(items);
  Response.Buffer().Write(
      status.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

void TDBConnectCommand::DoCommand(TStreamDataWriter& Response) {
  const std::uint32_t handle = NewSessionHandle();
  TqmdConnectionPtr session = ConnectDatabase(handle);
  if (!session)
    throw Exception("Driver Create Connection = nil");
  session->SetServer(&Connection());
  Response.SetName("OK");
  Response.RegisterHeader("Database", "Handle", session->Handle());
}

void TDBReConnectCommand::DoCommand(TStreamDataWriter& Response) {
  TqmdConnectionPtr session;
  if (AsString("Database", "ServerID") != ServerID()) {
    session = ConnectDatabase(NewSessionHandle());
  } else {
    const auto handle = static_cast<std::uint32_t>(AsInteger("Database", "Handle"));
    session = FindConnection(handle, RemoteIP());
    if (session) {
      bool alive = false;
      {
        // Under the session lock: another client may be working on the same session.
        TLockGuard lock(session->Lock());
        // A round trip: the client library's remembered status stays "OK" for a connection
        // the server ended until a request fails on it.
        alive = session->Connection()->TestAlive();
        if (alive) {
          session->Transactions().Clear();
          session->SyncCounts();
        }
      }
      if (!alive) {
        // The database server ended its connection: nothing of the session works any more
        // (its prepared statements went with the server's backend), so it is made anew under
        // the same handle, as a swept one is.
        TqmdConnectionPtr lost;
        {
          TLockGuard registry(TqmdConnections::Instance().Lock());
          // Unless another "Reconnect" has already put a new session there.
          if (TqmdConnections::Instance().Find(handle) == session)
            lost = TqmdConnections::Instance().Extract(handle);
        }
        // The lost session goes here, outside the registry lock (or with the last command that
        // still holds it); a session another "Reconnect" made meanwhile is taken as it is.
        session = FindConnection(handle, RemoteIP());
        lost.reset();
      }
    }
    if (!session) {
      // Made anew under the same handle only when this run issued it to this client and it is
      // free; any other number (one never issued, or another client's) gets a new handle, as
      // after a restart, so that nobody can plant a session under a number that a later
      // "Connect" hands to someone else.
      bool recreate = false;
      {
        TLockGuard registry(TqmdConnections::Instance().Lock());
        recreate = TqmdConnections::Instance().MayRecreate(handle, RemoteIP());
      }
      session = ConnectDatabase(recreate ? handle : NewSessionHandle());
    }
  }
  if (!session)
    throw Exception("Driver Create Connection = nil");
  Response.SetName("OK");
  Response.RegisterHeader("Database", "Handle", session->Handle());
}

void TDBDisconnectCommand::DoCommand(TStreamDataWriter& Response) {
  TqmdConnectionPtr session =
      FindConnection(static_cast<std::uint32_t>(AsInteger("Database", "Handle")), RemoteIP());
  if (!session)
    throw Exception("#Handle Not Found");
  const std::uint32_t handle = session->Handle();
  // Freed (when no other command holds it) by RemoveConnection, not at the end of this scope.
  session.reset();
  RemoveConnection(handle);
  Response.SetName("OK");
}

}  // namespace qm
