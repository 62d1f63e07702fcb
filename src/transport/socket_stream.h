#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "transport/buffer_stream.h"
#include "transport/sockets.h"

namespace qm {

// A connection stream over one socket (owned). It is Connected while its socket is. Used by one
// thread at a time, except Abort, which any thread may call.
class TmnSocketStream : public TmnConnectionStream {
 public:
  explicit TmnSocketStream(std::unique_ptr<TmnCustomSocket> Socket = nullptr);
  ~TmnSocketStream() override;

  bool Connected() override;
  // Raises "Already connected" or "Socket must be nil"; a socket that cannot be made raises
  // EmnSocketException "Connect failed [#%d]" unless HandleConnectError absorbs it.
  void Connect() override;
  // Closes both sides of the stream and the socket (when connected). The socket object stays
  // until FreeSocket.
  void Disconnect() override;
  void Prepare() override;
  TmnConnectionError WaitToRead(std::int64_t Timeout) override;
  TmnConnectionError WaitToWrite(std::int64_t Timeout) override;
  using TmnConnectionStream::WaitToRead;
  using TmnConnectionStream::WaitToWrite;
  bool Peek(void* Buffer, std::int64_t& Count) override;
  void EnableSSL();
  // The TLS context for the sockets this stream connects (with soSSL); null for the default.
  void SetContext(std::shared_ptr<TContext> Value) { FContext = std::move(Value); }

  // Wakes a read, write or wait blocked in the owning thread: the socket is shut down, and the
  // owner sees the connection closed. Safe from any thread.
  void Abort() override;

  TmnCustomSocket* Socket() const { return FSocket.get(); }
  TmnsoOptions Options() const { return FOptions; }
  void SetOptions(TmnsoOptions Value) { FOptions = Value; }

  virtual void FreeSocket();

 protected:
  std::int64_t DoRead(void* Buffer, std::int64_t Count) override;
  std::int64_t DoWrite(const void* Buffer, std::int64_t Count) override;
  // A reader overflowed its limit: the peer is out of step, so the connection ends.
  void DoReadLimit() override;
  // A new connected socket, or null with Error set. Null here.
  virtual std::unique_ptr<TmnCustomSocket> CreateSocket(int& Error);
  // True when the failure was handled and Connect must not raise. False here.
  virtual bool HandleConnectError(int /*Error*/) { return false; }

  TmnsoOptions FOptions;
  std::shared_ptr<TContext> FContext;

 private:
  void SetSocket(std::unique_ptr<TmnCustomSocket> Socket);

  std::unique_ptr<TmnCustomSocket> FSocket;
  // Guards replacing FSocket against Abort from another thread.
  std::mutex FSocketLock;
};

// A client connection to Address and Port, made by Connect.
class TmnClientSocket : public TmnSocketStream {
 public:
  // Address may carry a port ("host:979", "[::1]:979").
  explicit TmnClientSocket(const std::string& Address = "", TmnsoOptions Options = {});
  TmnClientSocket(const std::string& Address, const std::string& Port, TmnsoOptions Options = {});
  // Uses DefaultPort when Host holds none.
  static std::unique_ptr<TmnClientSocket> CreateBy(const std::string& Host,
                                                   const std::string& DefaultPort,
                                                   TmnsoOptions Options = {});

  // The setters raise EmnException "Can not change Address value when active" (for Port: "Can
  // not change Port value when active") while connected.
  const std::string& Address() const { return FAddress; }
  void SetAddress(const std::string& Value);
  const std::string& BindAddress() const { return FBindAddress; }
  void SetBindAddress(const std::string& Value);
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& Value);
  // Address (bracketed when IPv6), then ":" and Port when a port is set.
  std::string FullAddress() const;
  void SetFullAddress(const std::string& Value);

 protected:
  std::unique_ptr<TmnCustomSocket> CreateSocket(int& Error) override;

 private:
  void CheckInactive(const char* Message);

  std::string FAddress;
  std::string FBindAddress;
  std::string FPort;
};

}  // namespace qm
