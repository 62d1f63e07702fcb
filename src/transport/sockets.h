#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "support/enum_set.h"
#include "support/file_descriptor.h"

namespace qm {

// Result of every socket operation: sockets report network failures, they do not raise.
enum TmnError { erSuccess = 0, erTimeout = 1, erClosed = 2, erInvalid = 3 };

enum TmnSocketState { sdReceive, sdSend, sdClose };
using TmnSocketStates = EnumSet<TmnSocketState>;

enum TSocketFamily { sfIPv4, sfIPv6 };
enum TSelectCheck { slRead, slWrite };
enum TSocketKind { skClient, skServer, skListener };

// Member N is bit N: soReuseAddr 0x01 ... soSSLDebug 0x100.
enum TmnsoOption {
  soReuseAddr,
  soKeepAlive,
  soNagle,
  soQuickAck,
  soWaitBeforeRead,
  soWaitBeforeWrite,
  soCloseTimeout,
  soSSL,
  soSSLDebug
};
using TmnsoOptions = EnumSet<TmnsoOption>;

// The TLS layer beneath a socket's receive and send (TSSL, transport/tls.h).
class ImnSocketTLS {
 public:
  virtual ~ImnSocketTLS() = default;
  virtual bool Active() const = 0;
  virtual TmnError Receive(void* Buffer, std::int64_t& Count) = 0;
  virtual TmnError Send(const void* Buffer, std::int64_t& Count) = 0;
  virtual bool Pending() = 0;
  virtual void Shutdown() = 0;
};
class TContext;  // a TLS context (transport/tls.h), shared by a listener's sockets

// The address of Address is IPv6 when, without one pair of enclosing brackets, it holds a ":".
TSocketFamily AddressFamily(const std::string& Address);
// Splits "host", "host:port", "[v6]:port", "[v6]" and a bare IPv6 address. Port is empty when
// the text holds none.
void SplitAddress(const std::string& Text, std::string& Host, std::string& Port);

// One socket handle and its state. Used by one thread at a time, except Abort, which any thread
// may call to wake a blocked receive, send or accept.
class TmnCustomSocket {
 public:
  TmnCustomSocket(int Handle, TmnsoOptions Options, TSocketKind Kind, std::string HostAddress,
                  std::string HostName, TSocketFamily Family);
  TmnCustomSocket(const TmnCustomSocket&) = delete;
  TmnCustomSocket& operator=(const TmnCustomSocket&) = delete;
  virtual ~TmnCustomSocket();

  // Count in: bytes asked; out: bytes moved (-1 for a time-out that moved nothing).
  TmnError Receive(void* Buffer, std::int64_t& Count);
  TmnError Send(const void* Buffer, std::int64_t& Count);
  TmnError Peek(void* Buffer, std::int64_t& Count);
  bool Pending();
  // Timeout in ms, -1 without limit.
  TmnError Select(int Timeout, TSelectCheck Check);
  TmnError Listen();
  // A new connection accepted on this listening socket, or null.
  std::unique_ptr<TmnCustomSocket> Accept(TmnsoOptions Options, int ReadTimeout);
  TmnError Shutdown(TmnSocketStates How);
  TmnError Close();
  // Shuts both directions down without closing the handle, so that a receive, send or wait
  // blocked in another thread returns. Safe from any thread; the owner still closes.
  void Abort();
  // Limits how long one send may wait for the peer to take data (ms; -1 without limit). A send
  // that times out reports erTimeout, so a peer that stops reading cannot hold a thread for ever.
  void SetSendTimeout(int Timeout);
  int SendTimeout() const { return FSendTimeout; }
  // Applies Timeout to the sends from now on without changing SendTimeout (what a deadline
  // leaves of it).
  void LimitSend(int Timeout);
  // Enables TLS when soSSL is set, then marks the socket prepared.
  virtual void Prepare();
  // Starts TLS on a client or server socket (transport/tls.cpp): a failed server handshake
  // closes the socket, a failed client handshake raises "SSL Connect failed".
  void EnableSSL();
  // The TLS context EnableSSL uses; without one it makes its own (no peer verification).
  void SetContext(std::shared_ptr<TContext> Value);

  virtual bool Active() const;
  bool Connected() const { return Active() && !FStates.Contains(sdClose); }
  int Handle() const { return FHandle.Get(); }
  TmnsoOptions Options() const { return FOptions; }
  TSocketKind Kind() const { return FKind; }
  const std::string& HostAddress() const { return FHostAddress; }
  const std::string& HostName() const { return FHostName; }
  int PoolSize() const { return FPoolSize; }
  void SetPoolSize(int Value) { FPoolSize = Value; }
  TSocketFamily Family() const { return FFamily; }
  TmnSocketStates States() const { return FStates; }
  bool Prepared() const { return FPrepared; }

  virtual std::string GetLocalAddress() = 0;
  virtual std::string GetRemoteAddress() = 0;
  virtual std::string GetLocalName() = 0;
  virtual std::string GetRemoteName() = 0;
  // The port this socket is bound to locally, 0 when unknown.
  virtual int GetLocalPort() = 0;

 protected:
  virtual TmnError DoSelect(int Timeout, TSelectCheck Check) = 0;
  virtual TmnError DoShutdown(TmnSocketStates How) = 0;
  virtual TmnError DoListen() = 0;
  virtual TmnError DoSend(const void* Buffer, std::int64_t& Count) = 0;
  virtual TmnError DoReceive(void* Buffer, std::int64_t& Count) = 0;
  virtual TmnError DoPeek(void* Buffer, std::int64_t& Count) = 0;
  virtual bool DoPending() = 0;
  virtual TmnError DoClose() = 0;
  virtual int DefaultPoolSize() { return 0; }
  // Raises "Socket is inactive" (after closing) when the handle is not valid.
  void CheckActive();
  bool SSLActive() const { return SSL && SSL->Active(); }

  TmnsoOptions FOptions;
  TSocketKind FKind;
  std::string FHostAddress;
  std::string FHostName;
  int FPoolSize = 0;
  TmnSocketStates FStates;
  // Written only by the owning thread, under FHandleLock; read from any thread.
  TFileDescriptor FHandle;
  int FSendTimeout = -1;         // ms
  int FAppliedSendTimeout = -2;  // what the handle has now; -2: not set yet
  // Guards closing FHandle against Abort from another thread.
  mutable std::mutex FHandleLock;
  bool FPrepared = false;
  TSocketFamily FFamily;
  std::unique_ptr<ImnSocketTLS> SSL;  // null until EnableSSL
  std::shared_ptr<TContext> Context;  // shared with the listener or the client stream
};

// POSIX sockets.
class TmnSocket : public TmnCustomSocket {
 public:
  using TmnCustomSocket::TmnCustomSocket;
  ~TmnSocket() override;

  std::string GetLocalAddress() override;
  std::string GetRemoteAddress() override;
  std::string GetLocalName() override;
  std::string GetRemoteName() override;
  int GetLocalPort() override;

 protected:
  TmnError DoSelect(int Timeout, TSelectCheck Check) override;
  TmnError DoShutdown(TmnSocketStates How) override;
  TmnError DoListen() override;
  TmnError DoSend(const void* Buffer, std::int64_t& Count) override;
  TmnError DoReceive(void* Buffer, std::int64_t& Count) override;
  TmnError DoPeek(void* Buffer, std::int64_t& Count) override;
  bool DoPending() override;
  TmnError DoClose() override;
  int DefaultPoolSize() override { return 2147483647; }
};

// The socket factory. Keeps no state between calls, so all threads may share it.
// Error codes are errno values (or -1 from an option call or a failed accept).
class TmnWallSocket {
 public:
  virtual ~TmnWallSocket() = default;

  // Port "0" (or empty) asks the system for a port; Port then receives the one chosen.
  virtual void Bind(TmnsoOptions Options, int ListenTimeout, std::string& Port,
                    const std::string& Address, std::unique_ptr<TmnCustomSocket>& Socket,
                    int& Error);
  virtual void Accept(int ListenerHandle, TmnsoOptions Options, int ReadTimeout,
                      TSocketFamily Family, std::unique_ptr<TmnCustomSocket>& Socket, int& Error);
  // ConnectTimeout -1 connects blocking, without a limit of its own.
  virtual void Connect(TmnsoOptions Options, int ConnectTimeout, int ReadTimeout,
                       const std::string& Port, const std::string& Address,
                       const std::string& BindAddress, std::unique_ptr<TmnCustomSocket>& Socket,
                       int& Error);
  std::unique_ptr<TmnCustomSocket> Connect(const std::string& Address, const std::string& Port,
                                           const std::string& BindAddress = "",
                                           TmnsoOptions Options = {}, int ConnectTimeout = -1,
                                           int ReadTimeout = -1);
  // The numeric address text, or "" when nothing resolves.
  virtual std::string ResolveIP(const std::string& Address);
  // The socket's pending error, -1 when it cannot be read.
  virtual int GetSocketError(int Handle);
};

// The process-wide factory, created on first use.
TmnWallSocket& WallSocket();

}  // namespace qm
