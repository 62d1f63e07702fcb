#include "transport/descriptor_reserve.h"

#include <fcntl.h>
#include <sys/socket.h>

namespace qm {

TDescriptorReserve::TDescriptorReserve() {
  Take();
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
    (void)::send(client.Get(), Message.data(), Message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  const bool refused = client.Valid();
  client.Close();
  Take();
  return refused;
}

}  // namespace qm
