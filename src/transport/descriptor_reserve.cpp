#include "transport/descriptor_reserve.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace qm {

TDescriptorReserve::TDescriptorReserve() {
  Take();
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    FLimit = static_cast<long>(limit.rlim_cur);
}

bool TDescriptorReserve::Crowded(int Accepted) const {
  return FLimit > 0 && Accepted >= FLimit - kHeadroom;
}

void TDescriptorReserve::Tell(int Descriptor, std::string_view Message) {
  (void)::send(Descriptor, Message.data(), Message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void TDescriptorReserve::Take() {
  FSpare.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

bool TDescriptorReserve::RefuseOne(int Listener, std::string_view Message) {
  if (!FSpare.Valid())
    Take();  // another thread may have freed one since
  if (!FSpare.Valid())
    return false;
  FSpare.Close();
  TFileDescriptor client(::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (client.Valid())
    Tell(client.Get(), Message);
  const bool refused = client.Valid();
  client.Close();
  Take();
  return refused;
}

}  // namespace qm
