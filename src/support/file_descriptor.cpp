#include "support/file_descriptor.h"

#include <unistd.h>

namespace qm {

TFileDescriptor& TFileDescriptor::operator=(TFileDescriptor&& other) noexcept {
  if (this != &other)
    Reset(other.Release());
  return *this;
}

void TFileDescriptor::Reset(int fd) {
  const int old = FFd.exchange(fd);
  if (old >= 0)
    ::close(old);
}

int TFileDescriptor::Close() {
  const int old = FFd.exchange(-1);
  return old >= 0 ? ::close(old) : 0;
}

}  // namespace qm
