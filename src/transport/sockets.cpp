#include "transport/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "support/exception.h"
#include "support/metrics.h"

namespace qm {

namespace {

std::string StripBrackets(const std::string& address) {
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
    return address.substr(1, address.size() - 2);
  return address;
}

// A decimal port, 0 when the text is not one.
std::uint16_t PortNumber(const std::string& port) {
  unsigned value = 0;
  const char* end = port.data() + port.size();
  auto [ptr, ec] = std::from_chars(port.data(), end, value);
  if (ec != std::errc() || ptr != end || value > 65535)
    return 0;
  return static_cast<std::uint16_t>(value);
}

int SetOption(int fd, int level, int name, const void* value, socklen_t size) {
  return setsockopt(fd, level, name, value, size) == 0 ? 0 : -1;
}

// Applies the options every new handle gets; returns the result of the last call made.
int ApplyOptions(int fd, TmnsoOptions options, int read_timeout) {
  int error = 0;
  const int on = 1;
  if (!options.Contains(soNagle))
    error = SetOption(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (options.Contains(soKeepAlive))
    error = SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  if (options.Contains(soQuickAck))
    error = SetOption(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  if (!options.Contains(soWaitBeforeRead) && read_timeout != -1) {
    timeval tv{};
    tv.tv_sec = read_timeout / 1000;
    tv.tv_usec = (read_timeout % 1000) * 1000;
    error = SetOption(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  return error;
}

void SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0)
    return;
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

// The first IPv4 address of a host name.
bool ResolveIPv4(const std::string& host, in_addr& out, int& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  error = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (error != 0 || list == nullptr) {
    if (error == 0)
      error = EAI_NONAME;
    return false;
  }
  out = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
  freeaddrinfo(list);
  return true;
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
              sizeof text);
  } else if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  }
  return text;
}

}  // namespace

TSocketFamily AddressFamily(const std::string& Address) {
  return StripBrackets(Address).find(':') != std::string::npos ? sfIPv6 : sfIPv4;
}

void SplitAddress(const std::string& Text, std::string& Host, std::string& Port) {
  Host.clear();
  Port.clear();
  const std::size_t close = Text.find(']');
  if (!Text.empty() && Text.front() == '[' && close != std::string::npos) {
    Host = Text.substr(1, close - 1);
    if (close + 1 < Text.size() && Text[close + 1] == ':')
      Port = Text.substr(close + 2);
    return;
  }
  const std::size_t colon = Text.find(':');
  if (colon == std::string::npos || Text.find(':', colon + 1) != std::string::npos) {
    Host = Text;  // no port, or a bare IPv6 address
    return;
  }
  Host = Text.substr(0, colon);
  Port = Text.substr(colon + 1);
}

// ---- TmnCustomSocket ----

TmnCustomSocket::TmnCustomSocket(int Handle, TmnsoOptions Options, TSocketKind Kind,
                                 std::string HostAddress, std::string HostName,
                                 TSocketFamily Family)
    : FOptions(Options),
      FKind(Kind),
      FHostAddress(std::move(HostAddress)),
      FHostName(std::move(HostName)),
      FHandle(Handle),
      FFamily(Family) {}

TmnCustomSocket::~TmnCustomSocket() = default;

bool TmnCustomSocket::Active() const {
  return FHandle.Valid();
}

TmnError TmnCustomSocket::Receive(void* Buffer, std::int64_t& Count) {
  if (!Active()) {
    Count = 0;
    return erClosed;
  }
  const TmnError result = SSLActive() ? SSL->Receive(Buffer, Count) : DoReceive(Buffer, Count);
  if (FKind == skServer && Count > 0)
    TServerMetrics::Instance().BytesReceived += static_cast<std::uint64_t>(Count);
  if (result == erClosed || result == erInvalid) {
    Close();
  } else if (result == erTimeout && Count == 0) {
    Count = -1;
  }
  return result;
}

TmnError TmnCustomSocket::Send(const void* Buffer, std::int64_t& Count) {
  if (!Active()) {
    Count = 0;
    return erClosed;
  }
  TmnError result;
  if (SSLActive()) {
    const std::int64_t asked = Count;
    result = SSL->Send(Buffer, Count);
    if (result != erSuccess) {
      result = erInvalid;
      Count = 0;
    } else if (Count != asked) {
      throw EmnSocketException("Ops WriteSize <> Count we should care about real size");
    }
  } else {
    result = DoSend(Buffer, Count);
  }
  if (FKind == skServer && Count > 0)
    TServerMetrics::Instance().BytesSent += static_cast<std::uint64_t>(Count);
  if (result == erClosed || result == erInvalid) {
    Close();
  } else if (result == erTimeout && Count == 0) {
    Count = -1;
  }
  return result;
}

TmnError TmnCustomSocket::Peek(void* Buffer, std::int64_t& Count) {
  if (!Active()) {
    Count = 0;
    return erClosed;
  }
  return DoPeek(Buffer, Count);
}

bool TmnCustomSocket::Pending() {
  if (SSLActive())
    return SSL->Pending();
  return Active() && DoPending();
}

TmnError TmnCustomSocket::Select(int Timeout, TSelectCheck Check) {
  const TmnError result = DoSelect(Timeout, Check);
  if (result == erClosed || result == erInvalid)
    Close();
  return result;
}

void TmnCustomSocket::CheckActive() {
  if (!Active()) {
    Close();
    throw EmnException("Socket is inactive");
  }
}

TmnError TmnCustomSocket::Listen() {
  CheckActive();
  const TmnError result = DoListen();
  if (result == erClosed || result == erInvalid)
    Close();
  return result;
}

void TmnCustomSocket::SetSendTimeout(int Timeout) {
  FSendTimeout = Timeout;
  LimitSend(Timeout);
}

void TmnCustomSocket::LimitSend(int Timeout) {
  // Writes without a deadline ask for the same value again and again: one system call is enough.
  if (Timeout == FAppliedSendTimeout)
    return;
  timeval tv{};
  if (Timeout > 0) {
    tv.tv_sec = Timeout / 1000;
    tv.tv_usec = (Timeout % 1000) * 1000;
  }
  if (FHandle.Valid() && SetOption(FHandle.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0)
    FAppliedSendTimeout = Timeout;
}

std::unique_ptr<TmnCustomSocket> TmnCustomSocket::Accept(TmnsoOptions Options, int ReadTimeout) {
  CheckActive();
  std::unique_ptr<TmnCustomSocket> socket;
  int error = 0;
  WallSocket().Accept(FHandle.Get(), Options, ReadTimeout, FFamily, socket, error);
  return socket;
}

TmnError TmnCustomSocket::Shutdown(TmnSocketStates How) {
  if (How.Empty())
    return erSuccess;
  const TmnError result = DoShutdown(How);
  if (result == erSuccess) {
    FStates += How;
  } else if (result == erClosed || result == erInvalid) {
    Close();
  }
  return result;
}

TmnError TmnCustomSocket::Close() {
  if (!Connected())
    return erSuccess;
  if (SSLActive())
    SSL->Shutdown();
  FStates.Include(sdClose);
  return DoClose();
}

void TmnCustomSocket::Abort() {
  std::lock_guard<std::mutex> lock(FHandleLock);
  if (FHandle.Valid())
    ::shutdown(FHandle.Get(), SHUT_RDWR);
}

void TmnCustomSocket::Prepare() {
  if (FOptions.Contains(soSSL))
    EnableSSL();
  FPrepared = true;
}

// ---- TmnSocket ----

TmnSocket::~TmnSocket() {
  std::lock_guard<std::mutex> lock(FHandleLock);
  FHandle.Reset();
}

TmnError TmnSocket::DoReceive(void* Buffer, std::int64_t& Count) {
  ssize_t n;
  do {
    n = ::recv(FHandle.Get(), Buffer, static_cast<std::size_t>(Count), 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0) {
    Count = 0;
    return erClosed;
  }
  if (n < 0) {
    const int error = errno;
    Count = 0;
    if (FOptions.Contains(soWaitBeforeRead))
      return erInvalid;  // a wait said data was ready
    return (error == EAGAIN || error == EWOULDBLOCK) ? erTimeout : erInvalid;
  }
  Count = n;
  return erSuccess;
}

TmnError TmnSocket::DoPeek(void* Buffer, std::int64_t& Count) {
  ssize_t n;
  do {
    n = ::recv(FHandle.Get(), Buffer, static_cast<std::size_t>(Count), MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == 0) {
    Count = 0;
    return erClosed;
  }
  if (n < 0) {
    const int error = errno;
    Count = 0;
    return (error == EAGAIN || error == EWOULDBLOCK) ? erTimeout : erInvalid;
  }
  Count = n;
  return erSuccess;
}

TmnError TmnSocket::DoSend(const void* Buffer, std::int64_t& Count) {
  ssize_t n;
  do {
    n = ::send(FHandle.Get(), Buffer, static_cast<std::size_t>(Count), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    Count = 0;
    return n == 0 ? erClosed : erInvalid;
  }
  Count = n;
  return erSuccess;
}

TmnError TmnSocket::DoSelect(int Timeout, TSelectCheck Check) {
  if (!FHandle.Valid())
    return erClosed;
  pollfd entry{};
  entry.fd = FHandle.Get();
  entry.events = Check == slRead ? POLLIN : POLLOUT;
  int n;
  do {
    n = ::poll(&entry, 1, Timeout < 0 ? -1 : Timeout);
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    return erInvalid;
  if (n == 0)
    return erTimeout;
  if (entry.revents & POLLNVAL)
    return erClosed;
  return erSuccess;  // readiness, hang-up or error: the next call reports which
}

TmnError TmnSocket::DoShutdown(TmnSocketStates How) {
  int how;
  if (How.Contains(sdReceive) && How.Contains(sdSend))
    how = SHUT_RDWR;
  else if (How.Contains(sdReceive))
    how = SHUT_RD;
  else if (How.Contains(sdSend))
    how = SHUT_WR;
  else
    return erInvalid;
  return ::shutdown(FHandle.Get(), how) == 0 ? erSuccess : erInvalid;
}

TmnError TmnSocket::DoListen() {
  int backlog = FPoolSize != 0 ? FPoolSize : DefaultPoolSize();
  if (backlog == 0)
    backlog = 512;
  return ::listen(FHandle.Get(), backlog) == 0 ? erSuccess : erInvalid;
}

bool TmnSocket::DoPending() {
  int count = 0;
  return ::ioctl(FHandle.Get(), FIONREAD, &count) == 0 && count > 0;
}

TmnError TmnSocket::DoClose() {
  std::lock_guard<std::mutex> lock(FHandleLock);
  if (!FHandle.Valid())
    return erClosed;
  const int result = FHandle.Close();
  return result == 0 ? erSuccess : erInvalid;
}

std::string TmnSocket::GetRemoteAddress() {
  CheckActive();
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getpeername(FHandle.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return {};
  return AddressText(address);
}

std::string TmnSocket::GetRemoteName() {
  CheckActive();
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getpeername(FHandle.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return {};
  if (address.ss_family != AF_INET)
    return {};
  char host[NI_MAXHOST] = {};
  if (getnameinfo(reinterpret_cast<sockaddr*>(&address), size, host, sizeof host, nullptr, 0,
                  NI_NAMEREQD) != 0)
    return {};
  return host;
}

std::string TmnSocket::GetLocalAddress() {
  CheckActive();
  // The address this socket is bound to (for IPv4 too: the machine may have many).
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getsockname(FHandle.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return {};
  return AddressText(address);
}

std::string TmnSocket::GetLocalName() {
  CheckActive();
  char name[251] = {};
  if (::gethostname(name, 250) != 0)
    return {};
  return name;
}

int TmnSocket::GetLocalPort() {
  if (!Active())
    return 0;
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getsockname(FHandle.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 0;
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
}

// ---- TmnWallSocket ----

void TmnWallSocket::Bind(TmnsoOptions Options, int ListenTimeout, std::string& Port,
                         const std::string& Address, std::unique_ptr<TmnCustomSocket>& Socket,
                         int& Error) {
  Socket.reset();
  Error = 0;
  const TSocketFamily family = AddressFamily(Address);
  TFileDescriptor fd(
      ::socket(family == sfIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    Error = errno;
    return;
  }
  Error = ApplyOptions(fd.Get(), Options, ListenTimeout);
  if (Options.Contains(soReuseAddr)) {
    const int on = 1;
    Error = SetOption(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  const std::uint16_t port = PortNumber(Port);
  sockaddr_storage address{};
  socklen_t size = 0;
  if (family == sfIPv4) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    size = sizeof v4;
    if (Address.empty() || Address == "0.0.0.0") {
      v4.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, Address.c_str(), &v4.sin_addr) != 1 &&
               !ResolveIPv4(Address, v4.sin_addr, Error)) {
      return;
    }
  } else {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    size = sizeof v6;
    if (Address == "::" || Address == "[::]") {
      v6.sin6_addr = in6addr_any;
    } else if (inet_pton(AF_INET6, StripBrackets(Address).c_str(), &v6.sin6_addr) != 1) {
      Error = EINVAL;
      return;
    }
  }
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0) {
    Error = errno;
    return;
  }
  if (port == 0) {
    sockaddr_storage bound{};
    socklen_t bound_size = sizeof bound;
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&bound), &bound_size) == 0) {
      const std::uint16_t chosen = bound.ss_family == AF_INET6
                                       ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                       : reinterpret_cast<sockaddr_in&>(bound).sin_port;
      Port = std::to_string(ntohs(chosen));
    }
  }
  // The socket takes the descriptor over only once it exists; until then `fd` owns it.
  Socket = std::make_unique<TmnSocket>(fd.Get(), Options, skListener, "", "", family);
  fd.Release();
}

void TmnWallSocket::Accept(int ListenerHandle, TmnsoOptions Options, int ReadTimeout,
                           TSocketFamily Family, std::unique_ptr<TmnCustomSocket>& Socket,
                           int& Error) {
  Socket.reset();
  TFileDescriptor fd;
  do {
    fd.Reset(::accept4(ListenerHandle, nullptr, nullptr, SOCK_CLOEXEC));
  } while (!fd.Valid() && errno == EINTR);
  if (!fd.Valid()) {
    Error = -1;
    return;
  }
  ApplyOptions(fd.Get(), Options, ReadTimeout);
  Error = 0;
  Socket = std::make_unique<TmnSocket>(fd.Get(), Options, skServer, "", "", Family);
  fd.Release();
}

void TmnWallSocket::Connect(TmnsoOptions Options, int ConnectTimeout, int ReadTimeout,
                            const std::string& Port, const std::string& Address,
                            const std::string& BindAddress,
                            std::unique_ptr<TmnCustomSocket>& Socket, int& Error) {
  Socket.reset();
  Error = 0;
  const TSocketFamily family = AddressFamily(Address);
  TFileDescriptor fd(
      ::socket(family == sfIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    Error = errno;
    return;
  }
  Error = ApplyOptions(fd.Get(), Options, ReadTimeout);
  if (family == sfIPv4 && !BindAddress.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, BindAddress.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      Error = errno != 0 ? errno : EINVAL;
      return;
    }
  }
  if (ConnectTimeout != -1)
    SetBlocking(fd.Get(), false);

  sockaddr_storage target{};
  socklen_t size = 0;
  std::string host_name;
  const std::uint16_t port = PortNumber(Port);
  if (family == sfIPv4) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(target);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    size = sizeof v4;
    if (Address.empty()) {
      v4.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, Address.c_str(), &v4.sin_addr) != 1) {
      if (!ResolveIPv4(Address, v4.sin_addr, Error)) {
        return;
      }
      host_name = Address;
    }
  } else {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(target);
    const std::string bare = StripBrackets(Address);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    size = sizeof v6;
    if (inet_pton(AF_INET6, bare.c_str(), &v6.sin6_addr) != 1) {
      addrinfo hints{};
      hints.ai_family = AF_INET6;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* list = nullptr;
      const int found = getaddrinfo(bare.c_str(), Port.c_str(), &hints, &list);
      bool resolved = false;
      for (addrinfo* item = list; found == 0 && item != nullptr; item = item->ai_next) {
        if (item->ai_family == AF_INET6 && item->ai_addrlen <= sizeof target) {
          std::memcpy(&target, item->ai_addr, item->ai_addrlen);
          size = item->ai_addrlen;
          resolved = true;
          break;
        }
      }
      if (list != nullptr)
        freeaddrinfo(list);
      if (!resolved) {
        Error = found != 0 ? found : EAI_NONAME;
        return;
      }
      host_name = Address;
    }
  }

  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&target), size) != 0) {
    const int error = errno;
    if (ConnectTimeout != -1 && (error == EINPROGRESS || error == EAGAIN || error == EINTR)) {
      SetBlocking(fd.Get(), true);
      pollfd entry{};
      entry.fd = fd.Get();
      entry.events = POLLOUT;
      int n;
      do {
        n = ::poll(&entry, 1, ConnectTimeout);
      } while (n < 0 && errno == EINTR);
      const int pending = n > 0 ? GetSocketError(fd.Get()) : -1;
      if (n <= 0 || pending != 0) {
        Error = n == 0 ? ETIMEDOUT : (pending > 0 ? pending : -1);
        return;
      }
    } else {
      Error = error;
      return;
    }
  }
  if (ConnectTimeout != -1)
    SetBlocking(fd.Get(), true);
  Error = 0;
  Socket = std::make_unique<TmnSocket>(fd.Get(), Options, skClient, AddressText(target), host_name,
                                       family);
  fd.Release();
}

std::unique_ptr<TmnCustomSocket> TmnWallSocket::Connect(const std::string& Address,
                                                        const std::string& Port,
                                                        const std::string& BindAddress,
                                                        TmnsoOptions Options, int ConnectTimeout,
                                                        int ReadTimeout) {
  std::unique_ptr<TmnCustomSocket> socket;
  int error = 0;
  Connect(Options, ConnectTimeout, ReadTimeout, Port, Address, BindAddress, socket, error);
  return socket;
}

std::string TmnWallSocket::ResolveIP(const std::string& Address) {
  if (AddressFamily(Address) == sfIPv6) {
    in6_addr v6{};
    if (inet_pton(AF_INET6, StripBrackets(Address).c_str(), &v6) != 1)
      return {};
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &v6, text, sizeof text);
    return text;
  }
  in_addr v4{};
  if (Address != "0.0.0.0" && inet_pton(AF_INET, Address.c_str(), &v4) == 1)
    return Address;
  int error = 0;
  if (Address.empty() || !ResolveIPv4(Address, v4, error))
    return {};
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &v4, text, sizeof text);
  return text;
}

int TmnWallSocket::GetSocketError(int Handle) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(Handle, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
    return -1;
  return error;
}

TmnWallSocket& WallSocket() {
  static TmnWallSocket instance;
  return instance;
}

}  // namespace qm
