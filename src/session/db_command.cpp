#include "session/db_command.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <utility>

#include "db/engines.h"
#include "session/interrupts.h"
#include "session/result_encoder.h"
#include "support/format.h"
#include "support/log.h"
#include "support/metrics.h"
#include "support/text_utils.h"
#include "transport/hangup_watch.h"
#include "transport/socket_stream.h"

namespace qm {

namespace {

TqmdConnections& Sessions() {
  return TqmdConnections::Instance();
}

// The socket of the client connection, or -1 for a stream that is not over one.
int ClientDescriptor(const TpdcDataCommandConnection& Connection) {
  const auto* stream = dynamic_cast<const TmnSocketStream*>(Connection.Stream());
  if (stream == nullptr || stream->Socket() == nullptr)
    return -1;
  return stream->Socket()->Handle();
}

}  // namespace

// --- TDBCommand ---

void TDBCommand::Execute(TStreamDataWriter& Writer) {
  const std::string id = CheckServerID() ? AsString("Database", "ServerID") : ServerID();
  if (id != ServerID()) {
    Writer.SysError("Invalid Server ID");
    return;
  }
  Writer.RegisterHeader("Database", "ServerID", ServerID());
  DoCommand(Writer);
}

TqmdConnectionPtr TDBCommand::FindConnection(std::uint32_t vHandle, const std::string& vRemoteIP) {
  TLockGuard lock(Sessions().Lock());
  TqmdConnectionPtr session = Sessions().FindFor(vHandle, vRemoteIP);
  if (session)
    session->HitLastAccess();
  return session;
}

TqmdConnectionPtr TDBCommand::AddConnection(std::unique_ptr<TmncSQLConnection> vConn,
                                            std::uint32_t vHandle, const std::string& vRemoteIP) {
  TqmdConnectionPtr session;
  {
    TLockGuard lock(Sessions().Lock());
    session = Sessions().Find(vHandle);
    if (!session)
      return Sessions().RegisterConnection(std::move(vConn), vHandle, vRemoteIP);
  }
  // vConn goes here, outside the registry lock.
  return session;
}

void TDBCommand::RemoveConnection(std::uint32_t vHandle) {
  std::vector<TqmdConnectionPtr> removed;
  {
    TLockGuard lock(Sessions().Lock());
    removed = Sessions().EnumDeadConnections();
    removed.push_back(Sessions().Extract(vHandle));
    Sessions().ForgetHandle(vHandle);
  }
  // A statement still running on the session (a client gave up on it and disconnects from
  // another connection) is cancelled: otherwise it, its transaction and its locks would live on
  // until it ends by itself. The caller holds no reference of its own.
  if (const TqmdConnectionPtr& session = removed.back(); session && session.use_count() > 1) {
    if (TmncConnection* connection = session->Connection())
      connection->Interrupt();
  }
  // Dropped here, outside the registry lock: closing database connections may take a while.
  removed.clear();
}

std::uint32_t TDBCommand::NewSessionHandle() {
  TLockGuard lock(Sessions().Lock());
  return Sessions().IssueHandle(RemoteIP());
}

TqmdConnectionPtr TDBCommand::ConnectDatabase(std::uint32_t vHandle) {
  TqmdConnectionPtr session;
  try {
    session = ConnectEngine(vHandle);
  } catch (...) {
    TLockGuard lock(Sessions().Lock());
    Sessions().ReleaseHandle(vHandle);
    throw;
  }
  if (!session) {
    TLockGuard lock(Sessions().Lock());
    Sessions().ReleaseHandle(vHandle);
  }
  return session;
}

TqmdConnectionPtr TDBCommand::ConnectEngine(std::uint32_t vHandle) {
  const std::string driver = AsString("Database", "Driver");
  try {
    return ConnectEngine(driver, vHandle);
  } catch (...) {
    // Only the registered driver names become labels: the driver text comes from the client.
    const TStrings drivers = TmncEngines::Instance().SessionDrivers();
    const bool known = std::find(drivers.begin(), drivers.end(), driver) != drivers.end();
    TServerMetrics::Instance().CountConnectFailed(known ? driver : "other");
    throw;
  }
}

TqmdConnectionPtr TDBCommand::ConnectEngine(const std::string& driver, std::uint32_t vHandle) {
  TmncSessionSettings settings;
  settings.Resource = AsString("Database", "Resource");
  settings.Port = AsString("Database", "Port");
  settings.UserName = AsString("Database", "UserName");
  settings.Password = AsString("Database", "Password");
  settings.AppName = AsString("Database", "AppName");
  settings.RemoteIP = RemoteIP();
  settings.ServerSetting = [this](const std::string& name) {
    return Connection().Roles().AsString("Server." + name);
  };
  // The driver name compares exactly with the registered ones.
  std::unique_ptr<TmncSQLConnection> connection =
      TmncEngines::Instance().CreateSessionConnection(driver, settings);
  if (!connection)
    return nullptr;
  // A connection that fails is freed with its unique_ptr; nothing is registered. The connect
  // is listed as under way (TqmdConnecting) so that a stop can interrupt it; every engine
  // takes its time-out from ConnectTimeout (the server's "ConnectTimeout").
  {
    const TqmdConnecting connecting(*connection);
    connection->ConnectSession(settings);
  }
  return AddConnection(std::move(connection), vHandle, RemoteIP());
}

void TDBCommand::ExecuteCMD(TmncSQLCommand& vCMD, TStreamData& vData) {
  // Parameters: the ones the statement has take the request's typed values.
  if (TStreamData* request = Request()) {
    std::unique_ptr<TStreamDataHeaders> params = request->EnumHeaders("Params");
    for (int i = 0; i < params->Count(); ++i) {
      const TStreamDataHeader* header = params->Item(i);
      if (TmncParam* param = vCMD.Param(header->Name()))
        param->SetValue(header->Value());
      else
        vData.RegisterHeader("Notices", header->Name(), "Not Found");
    }
  }

  vCMD.Execute();
  if (!vCMD.Done()) {
    vData.RegisterHeader("System", "BufferCompressed", true);
    vData.RegisterHeader("System", "BufferEncoding", "UTF8");
    vData.Buffer().Attach(EncodeResultRows(vCMD, RemoteIP()));
  }
  vData.SetName("OK");

  if (TmncFields* fields = vCMD.Fields()) {
    std::set<std::string> used;
    for (int i = 0; i < fields->Count(); ++i) {
      const TmncField* field = fields->Items(i);
      std::string name = field->Name();
      const std::string lower = LowerFieldName(name);
      if (used.count(lower) != 0) {
        WriteLogFmt("Duplicate Field [%s]", {name});
        vData.RegisterHeader("Notices", name, "Duplicate Field");
        name += std::to_string(i);
      } else {
        used.insert(lower);
      }
      const TmnDataType type = field->Column() ? field->Column()->DataType() : field->DataType();
      vData.RegisterHeader("Fields", name, "")->SetDataType(FieldHeaderType(type));
    }
  }
}

void TDBCommand::ExecuteCMD(const std::string& vRemoteIP, TmncSQLCommand& vCMD,
                            TStreamData& vData) {
  try {
    ExecuteCMD(vCMD, vData);
  } catch (...) {
    WriteLogFmt("%s: Error ExecuteSQL[%s]",
                {vRemoteIP, StripChars(OneLineText(vCMD.SQL()), CharSet("%"))});
    throw;
  }
}

// --- TLockDBCommand ---

void TLockDBCommand::DoCommand(TStreamDataWriter& Response) {
  // The reference keeps the session alive even when another connection disconnects it while
  // this command runs; the lock is released before the reference goes.
  TqmdConnectionPtr session =
      FindConnection(static_cast<std::uint32_t>(AsInteger("Database", "Handle")), RemoteIP());
  if (!session)
    throw Exception("#Handle Not Found");
  TLockGuard lock(session->Lock());
  // A client that leaves while its statement runs gets the statement interrupted as a stop
  // would: nobody waits for the result. The session stays for a later "Reconnect".
  const THangupWatch watch(ClientDescriptor(Connection()), [&session] {
    if (TmncConnection* connection = session->Connection())
      connection->Interrupt();
  });
  DoSessionCommand(*session, Response);
}

}  // namespace qm
