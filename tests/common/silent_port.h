#pragma once

// A loopback port that accepts connections (the kernel completes them from the backlog) but
// never answers a byte: the fixture of a database server that hangs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace qm::testing {

class SilentPort {
 public:
  SilentPort() {
    FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(FSocket, 64) != 0 ||
        ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen on a loopback port");
    FPort = ntohs(address.sin_port);
  }
  ~SilentPort() { ::close(FSocket); }
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;

  std::string Port() const { return std::to_string(FPort); }

 private:
  int FSocket = -1;
  int FPort = 0;
};

}  // namespace qm::testing
