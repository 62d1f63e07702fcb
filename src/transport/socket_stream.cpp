#include "transport/socket_stream.h"

#include <algorithm>
#include <chrono>

#include "support/exception.h"

namespace qm {

// ---- TmnSocketStream ----

TmnSocketStream::TmnSocketStream(std::unique_ptr<TmnCustomSocket> Socket)
    : FSocket(std::move(Socket)) {}

TmnSocketStream::~TmnSocketStream() {
  Disconnect();
  FreeSocket();
}

void TmnSocketStream::SetSocket(std::unique_ptr<TmnCustomSocket> Socket) {
  std::unique_ptr<TmnCustomSocket> old;
  {
    std::lock_guard<std::mutex> lock(FSocketLock);
    old = std::move(FSocket);
    FSocket = std::move(Socket);
  }
}

void TmnSocketStream::FreeSocket() {
  SetSocket(nullptr);
}

void TmnSocketStream::Abort() {
  std::lock_guard<std::mutex> lock(FSocketLock);
  if (FSocket)
    FSocket->Abort();
}

bool TmnSocketStream::Connected() {
  return FSocket && FSocket->Connected();
}

std::unique_ptr<TmnCustomSocket> TmnSocketStream::CreateSocket(int& Error) {
  Error = 0;
  return nullptr;
}

void TmnSocketStream::Connect() {
  if (Connected())
    throw EmnStreamException("Already connected");
  if (FSocket)
    throw EmnStreamException("Socket must be nil");
  int error = 0;
  std::unique_ptr<TmnCustomSocket> socket = CreateSocket(error);
  if (socket) {
    if (FContext)
      socket->SetContext(FContext);
    SetSocket(std::move(socket));
    Reopen();
    try {
      FSocket->Prepare();
    } catch (...) {
      Disconnect();
      throw;
    }
  } else if (!HandleConnectError(error)) {
    throw EmnSocketException("Connect failed [#" + std::to_string(error) + "]");
  }
}

void TmnSocketStream::Disconnect() {
  if (FSocket && FSocket->Connected()) {
    Close({cloRead, cloWrite});
    FSocket->Close();
  }
}

void TmnSocketStream::Prepare() {
  if (FSocket)
    FSocket->Prepare();
  TmnConnectionStream::Prepare();
}

void TmnSocketStream::EnableSSL() {
  if (FSocket)
    FSocket->EnableSSL();
}

TmnConnectionError TmnSocketStream::WaitToRead(std::int64_t Timeout) {
  if (!FSocket)
    return TmnConnectionError::cerError;
  if (FSocket->Pending() && FOptions.Contains(soSSL))
    return TmnConnectionError::cerSuccess;
  switch (FSocket->Select(static_cast<int>(Timeout), slRead)) {
    case erSuccess:
      return TmnConnectionError::cerSuccess;
    case erTimeout:
      return TmnConnectionError::cerTimeout;
    default:
      return TmnConnectionError::cerError;
  }
}

TmnConnectionError TmnSocketStream::WaitToWrite(std::int64_t Timeout) {
  if (!FSocket)
    return TmnConnectionError::cerError;
  return FSocket->Select(static_cast<int>(Timeout), slWrite) == erSuccess
             ? TmnConnectionError::cerSuccess
             : TmnConnectionError::cerError;
}

bool TmnSocketStream::Peek(void* Buffer, std::int64_t& Count) {
  if (!FSocket) {
    Count = 0;
    return false;
  }
  const TmnError result = FSocket->Peek(Buffer, Count);
  return result == erSuccess || result == erTimeout;
}

std::int64_t TmnSocketStream::DoRead(void* Buffer, std::int64_t Count) {
  if (!Connected()) {
    ReadError();
    return 0;
  }
  TmnConnectionError wait = TmnConnectionError::cerSuccess;
  if (FOptions.Contains(soWaitBeforeRead))
    wait = WaitToRead(FReadTimeout);
  if (wait == TmnConnectionError::cerTimeout) {
    if (FOptions.Contains(soCloseTimeout))
      Disconnect();
    return 0;
  }
  if (wait != TmnConnectionError::cerSuccess) {
    Disconnect();
    return 0;
  }
  std::int64_t count = Count;
  const TmnError result = FSocket->Receive(Buffer, count);
  if ((result == erTimeout && FOptions.Contains(soCloseTimeout)) || result == erClosed ||
      result == erInvalid) {
    Disconnect();
    return 0;
  }
  return count;  // -1 for a time-out without data
}

std::int64_t TmnSocketStream::DoWrite(const void* Buffer, std::int64_t Count) {
  if (!Connected()) {
    FreeSocket();
    return 0;
  }
  if (FOptions.Contains(soWaitBeforeWrite) &&
      WaitToWrite(FWriteTimeout) != TmnConnectionError::cerSuccess) {
    Disconnect();
    return 0;
  }
  // A send may take only part of a large block; the rest goes in further sends so that no
  // caller sees a short write on a live connection. With a send time-out, all the sends of
  // this write (of the open write window) share it: each gets only what is left.
  const int timeout = FSocket->SendTimeout();
  std::chrono::steady_clock::time_point deadline;
  if (timeout > 0)
    deadline = WriteDeadline(timeout);
  const char* data = static_cast<const char*>(Buffer);
  std::int64_t sent = 0;
  while (sent < Count) {
    if (timeout > 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        Disconnect();
        return sent;
      }
      FSocket->LimitSend(static_cast<int>(std::min<std::int64_t>(left.count(), timeout)));
    }
    std::int64_t count = Count - sent;
    if (FSocket->Send(data + sent, count) != erSuccess || count <= 0) {
      Disconnect();
      return sent;
    }
    sent += count;
  }
  return sent;
}

void TmnSocketStream::DoReadLimit() {
  Disconnect();
}

// ---- TmnClientSocket ----

TmnClientSocket::TmnClientSocket(const std::string& Address, TmnsoOptions Options) {
  FOptions = Options;
  SetFullAddress(Address);
}

TmnClientSocket::TmnClientSocket(const std::string& Address, const std::string& Port,
                                 TmnsoOptions Options)
    : FAddress(Address), FPort(Port) {
  FOptions = Options;
}

std::unique_ptr<TmnClientSocket> TmnClientSocket::CreateBy(const std::string& Host,
                                                           const std::string& DefaultPort,
                                                           TmnsoOptions Options) {
  std::string host;
  std::string port;
  SplitAddress(Host, host, port);
  return std::make_unique<TmnClientSocket>(host, port.empty() ? DefaultPort : port, Options);
}

void TmnClientSocket::CheckInactive(const char* Message) {
  if (Connected())
    throw EmnException(Message);
}

void TmnClientSocket::SetAddress(const std::string& Value) {
  if (Value == FAddress)
    return;
  CheckInactive("Can not change Address value when active");
  FAddress = Value;
}

void TmnClientSocket::SetBindAddress(const std::string& Value) {
  if (Value == FBindAddress)
    return;
  CheckInactive("Can not change Address value when active");
  FBindAddress = Value;
}

void TmnClientSocket::SetPort(const std::string& Value) {
  if (Value == FPort)
    return;
  CheckInactive("Can not change Port value when active");
  FPort = Value;
}

std::string TmnClientSocket::FullAddress() const {
  std::string text = FAddress;
  if (AddressFamily(FAddress) == sfIPv6 && !(text.size() >= 2 && text.front() == '['))
    text = "[" + text + "]";
  if (!FPort.empty())
    text += ":" + FPort;
  return text;
}

void TmnClientSocket::SetFullAddress(const std::string& Value) {
  if (Value == FullAddress())
    return;
  CheckInactive("Can not change Address value when active");
  std::string host;
  std::string port;
  SplitAddress(Value, host, port);
  FAddress = host;
  if (!port.empty())
    FPort = port;
}

std::unique_ptr<TmnCustomSocket> TmnClientSocket::CreateSocket(int& Error) {
  std::unique_ptr<TmnCustomSocket> socket;
  WallSocket().Connect(FOptions, FConnectTimeout, FReadTimeout, FPort, FAddress, FBindAddress,
                       socket, Error);
  return socket;
}

}  // namespace qm
