#pragma once

// TqmDBClient: one client connection to a qmsrv, and at most one database session on it.
//
// A request is a named stream-data message with headers (mostly in section "Database"); the
// reply is read on the same connection before the next request goes out. Errors the server
// reports (an "Error" reply, or a ("System", "Error") header) raise EqmServerError with the
// server's own text. Not thread-safe: one thread uses a client at a time.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/result_set.h"
#include "protocol/stream_data.h"
#include "protocol/stream_data_writer.h"
#include "support/exception.h"

namespace qm {

// The server answered with an error; Message() is the server's text.
class EqmServerError : public Exception {
 public:
  using Exception::Exception;
};

// The server could not be reached, or the connection broke or went quiet mid-request.
class EqmConnectionError : public EmnSocketException {
 public:
  using EmnSocketException::EmnSocketException;
};

// The values of a "Connect" request. Driver compares exactly on the server: "SQLite",
// "PostgreSQL" or "Firebird".
struct TqmSessionParams {
  std::string Driver;
  std::string Resource;
  std::string Port;
  std::string UserName;
  std::string Password;
  std::string AppName;
};

// TLS to the server: the server's certificate is verified against CAFile, or the system's
// trusted certificates when CAFile is empty, and must name the host connected to; Insecure
// skips verification (the connection is still encrypted).
struct TqmTLSOptions {
  bool Enabled = false;
  std::string CAFile;
  bool Insecure = false;
};

// A header to send: (section, name) = text value, or a typed value.
struct TqmRequestHeader {
  std::string Guid;
  std::string Name;
  Variant Value;
};

class TqmDBClient {
 public:
  // Read time-out for a reply, so a slow statement does not look like a dead server.
  static constexpr int kDefaultTimeoutMs = 120000;

  TqmDBClient(std::string Host, std::string Port, int TimeoutMs = kDefaultTimeoutMs);
  TqmDBClient(const TqmDBClient&) = delete;
  TqmDBClient& operator=(const TqmDBClient&) = delete;
  // Closes the socket; an open session is left to the server (it is swept when idle).
  ~TqmDBClient();

  // The server's password, sent in every header line ("" sends an empty one, as a server
  // without a password expects). Raises Exception for a text a header line cannot carry (";",
  // quotes, CR or LF). With a password, Open checks it with a "C" query: a server that refuses
  // it answers "Invalid Headers" and closes, and Open raises EqmServerError.
  void SetServerPassword(const std::string& Value);
  const std::string& ServerPassword() const { return FServerPassword; }
  // Takes effect at the next Open.
  void SetTLS(const TqmTLSOptions& Value) { FTLS = Value; }
  // The local address the socket is bound to ("" lets the system choose); takes effect at the
  // next Open.
  void SetLocalAddress(const std::string& Value) { FLocalAddress = Value; }

  // Connects the socket. Raises EqmConnectionError.
  void Open();
  void Close();
  bool Connected() const;

  // The one-line queries: "C" (answered "O") and "V" (the server identity).
  bool Check();
  std::string QueryServerID();

  // Sends a request named Name with Headers and an optional raw block; returns the reply.
  // Raises EqmServerError on an error reply, EqmConnectionError when no reply came.
  std::unique_ptr<TStreamData> Call(const std::string& Name,
                                    const std::vector<TqmRequestHeader>& Headers,
                                    std::string_view Buffer = {});

  // "Connect": opens a session and keeps its handle and the server identity.
  void Connect(const TqmSessionParams& Params);
  // "Disconnect" of the open session (nothing when none is open).
  void Disconnect();
  bool HasSession() const { return FHandle != 0; }
  std::uint32_t Handle() const { return FHandle; }
  const std::string& ServerID() const { return FServerID; }

  // "ExecuteSQL" in the session's default transaction (TRHandle 0) or an opened one. Params
  // go to section "Params" as text values; the text "NULL;" there is a null.
  TqmResultSet ExecuteSQL(const std::string& SQL,
                          const std::vector<std::pair<std::string, std::string>>& Params = {},
                          std::uint32_t TRHandle = 0);
  // "ExecScript": statements separated by "^", sent compressed as UTF-16LE text.
  void ExecScript(const std::string& Script, const std::string& ScriptName = "",
                  std::uint32_t TRHandle = 0);
  // "OpenTransaction" / "CloseTransaction" ("commit" commits, anything else rolls back).
  std::uint32_t OpenTransaction(const std::string& Params = "");
  void CloseTransaction(std::uint32_t TRHandle, const std::string& Action);
  // "Status": the server's JSON text.
  std::string Status();

 private:
  // The session's identity headers: ("Database", "ServerID") and ("Database", "Handle").
  std::vector<TqmRequestHeader> SessionHeaders() const;
  TmnBufferStream& Stream();
  // Sends a one-line query ("Command=<Letter>" and the password when there is one).
  void SendQuery(char Letter);

  std::string FHost;
  std::string FPort;
  int FTimeoutMs;
  TqmTLSOptions FTLS;
  std::unique_ptr<TpdcClientSocketStream> FStream;
  std::uint32_t FHandle = 0;
  std::string FServerID;
  std::string FServerPassword;
  std::string FLocalAddress;
};

}  // namespace qm
