#include "client/db_client.h"

#include "protocol/result_block.h"
#include "support/buffer.h"
#include "support/text_utils.h"
#include "support/utf16.h"
#include "transport/tls.h"

namespace qm {

namespace {

// The identity of a server run is the 15-digit start time.
constexpr std::int64_t kServerIDLength = 15;

}  // namespace

TqmDBClient::TqmDBClient(std::string Host, std::string Port, int TimeoutMs)
    : FHost(std::move(Host)), FPort(std::move(Port)), FTimeoutMs(TimeoutMs) {}

TqmDBClient::~TqmDBClient() {
  Close();
}

void TqmDBClient::SetServerPassword(const std::string& Value) {
  if (Value.find_first_of(";'\"\r\n") != std::string::npos)
    throw Exception("The server password cannot contain ';', quotes or line breaks");
  FServerPassword = Value;
}

void TqmDBClient::Open() {
  Close();
  auto stream = std::make_unique<TpdcClientSocketStream>(FHost, FPort);
  stream->SetBindAddress(FLocalAddress);
  stream->SetReadTimeout(FTimeoutMs);
  stream->SetWriteTimeout(FTimeoutMs);
  try {
    if (FTLS.Enabled) {
      std::shared_ptr<TContext> context = TContext::CreateClient();
      if (FTLS.Insecure) {
        context->SetVerifyNone();
      } else {
        if (FTLS.CAFile.empty())
          context->SetVerifySystem();
        else
          context->SetVerifyFile(FTLS.CAFile);
        context->SetVerifyPeer();
      }
      stream->SetContext(std::move(context));
      stream->SetOptions(stream->Options() + TmnsoOptions{soSSL});
    }
    stream->Connect();
  } catch (const Exception& e) {
    throw EqmConnectionError("Cannot connect to " + FHost + ":" + FPort + ": " + e.Message());
  }
  if (!stream->Connected()) {
    throw EqmConnectionError("Cannot connect to " + FHost + ":" + FPort);
  }
  FStream = std::move(stream);
  // A refused password shows at once, not as a missing reply to the first request.
  if (!FServerPassword.empty() && !Check()) {
    Close();
    throw EqmServerError("Invalid Headers (the server refused the password)");
  }
}

void TqmDBClient::Close() {
  if (FStream) {
    try {
      FStream->Disconnect();
    } catch (...) {
      // Closing a broken socket has nothing left to report.
    }
    FStream.reset();
  }
  FHandle = 0;
  FServerID.clear();
}

bool TqmDBClient::Connected() const {
  return FStream && FStream->Connected();
}

TmnBufferStream& TqmDBClient::Stream() {
  if (!Connected()) {
    throw EqmConnectionError("Not connected to " + FHost + ":" + FPort);
  }
  return *FStream;
}

void TqmDBClient::SendQuery(char Letter) {
  std::string line = std::string("Command=") + Letter;
  if (!FServerPassword.empty())
    line += ";Password=" + FServerPassword;
  Stream().WriteRawByte(line + "\r");
}

bool TqmDBClient::Check() {
  SendQuery('C');
  return Stream().ReadBytes(1) == "O";
}

std::string TqmDBClient::QueryServerID() {
  TmnBufferStream& stream = Stream();
  SendQuery('V');
  std::string id = stream.ReadBytes(kServerIDLength);
  if (static_cast<std::int64_t>(id.size()) != kServerIDLength) {
    throw EqmConnectionError("No server identity from " + FHost + ":" + FPort);
  }
  return id;
}

std::unique_ptr<TStreamData> TqmDBClient::Call(const std::string& Name,
                                               const std::vector<TqmRequestHeader>& Headers,
                                               std::string_view Buffer) {
  TStreamDataWriter writer(Stream());
  writer.SetPassword(FServerPassword);
  writer.SetName(Name);
  for (const TqmRequestHeader& header : Headers) {
    writer.RegisterHeader(header.Guid, header.Name, header.Value);
  }
  if (!Buffer.empty()) {
    writer.Buffer().WriteBytes(Buffer);
  }
  try {
    writer.WriteData();
  } catch (const EZDecompressionError& e) {
    throw EqmConnectionError("Unreadable reply to " + Name + ": " + e.Message());
  } catch (const Exception& e) {
    // A server that refuses the header line (its password) answers with this short text.
    if (writer.LastSizeField().starts_with("Invalid He")) {
      throw EqmServerError(
          "Invalid Headers (the server refused the header line: wrong or "
          "missing server password?)");
    }
    // A server that already serves MaxConnections clients, or has no descriptor left for
    // another, says so and closes.
    if (writer.LastSizeField().starts_with("Server bus")) {
      throw EqmServerError(
          "Server busy: the server turned the connection away (too many connections, or out "
          "of descriptors)");
    }
    // The reader reports a missing reply as an empty size field.
    throw EqmConnectionError("No reply to " + Name + " from " + FHost + ":" + FPort + " (" +
                             e.Message() + ")");
  }

  auto reply = std::make_unique<TStreamData>();
  reply->Clear();
  reply->RegisterHeaders(&writer.Response());
  reply->SetName(writer.Response().Name());
  reply->SetData(writer.Response().Data());
  reply->Buffer().Attach(writer.Response().Buffer().Detach());

  const std::string error = reply->SysErrorText();
  if (SameText(reply->Name(), "Error") || !error.empty()) {
    throw EqmServerError(error.empty() ? std::string("Error") : error);
  }
  return reply;
}

std::vector<TqmRequestHeader> TqmDBClient::SessionHeaders() const {
  return {{"Database", "ServerID", FServerID},
          {"Database", "Handle", static_cast<std::int32_t>(FHandle)}};
}

void TqmDBClient::Connect(const TqmSessionParams& Params) {
  std::unique_ptr<TStreamData> reply = Call("Connect", {{"Database", "Driver", Params.Driver},
                                                        {"Database", "Resource", Params.Resource},
                                                        {"Database", "Port", Params.Port},
                                                        {"Database", "UserName", Params.UserName},
                                                        {"Database", "Password", Params.Password},
                                                        {"Database", "AppName", Params.AppName}});
  FHandle = reply->AsCardinal("Database", "Handle");
  FServerID = reply->AsString("Database", "ServerID");
  if (FHandle == 0) {
    throw EqmServerError("Connect answered without a session handle");
  }
}

void TqmDBClient::Disconnect() {
  if (FHandle == 0) {
    return;
  }
  std::vector<TqmRequestHeader> headers = SessionHeaders();
  FHandle = 0;
  Call("Disconnect", headers);
}

TqmResultSet TqmDBClient::ExecuteSQL(const std::string& SQL,
                                     const std::vector<std::pair<std::string, std::string>>& Params,
                                     std::uint32_t TRHandle) {
  std::vector<TqmRequestHeader> headers = SessionHeaders();
  headers.push_back({"Database", "TRHandle", static_cast<std::int32_t>(TRHandle)});
  headers.push_back({"Database", "SQL", SQL});
  for (const auto& [name, value] : Params) {
    headers.push_back({"Params", name, value});
  }
  std::unique_ptr<TStreamData> reply = Call("ExecuteSQL", headers);
  return DecodeResult(*reply);
}

void TqmDBClient::ExecScript(const std::string& Script, const std::string& ScriptName,
                             std::uint32_t TRHandle) {
  std::vector<TqmRequestHeader> headers = SessionHeaders();
  headers.push_back({"Database", "TRHandle", static_cast<std::int32_t>(TRHandle)});
  headers.push_back({"Database", "ScriptName", ScriptName});
  // The script's UTF-16LE text deflated like a result block; no text sends no block.
  std::vector<std::uint8_t> body;
  if (!Script.empty()) {
    TqmdZCompressor compressor;
    compressor.Write(Utf8ToUtf16Le(Script));
    body = compressor.Finish();
  }
  Call("ExecScript", headers,
       std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

std::uint32_t TqmDBClient::OpenTransaction(const std::string& Params) {
  std::vector<TqmRequestHeader> headers = SessionHeaders();
  headers.push_back({"Database", "Params", Params});
  return Call("OpenTransaction", headers)->AsCardinal("Database", "TRHandle");
}

void TqmDBClient::CloseTransaction(std::uint32_t TRHandle, const std::string& Action) {
  std::vector<TqmRequestHeader> headers = SessionHeaders();
  headers.push_back({"Database", "TRHandle", static_cast<std::int32_t>(TRHandle)});
  headers.push_back({"Database", "TRAction", Action});
  Call("CloseTransaction", headers);
}

std::string TqmDBClient::Status() {
  return Call("Status", {})->Buffer().AsString();
}

}  // namespace qm
