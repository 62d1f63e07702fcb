#pragma once

// A descriptor kept in reserve for a listener that runs out of them. Without it, a client
// waiting in the listen backlog while every descriptor is in use can be neither accepted nor
// told anything: it hangs. Freed for a moment, the reserve lets the listener accept that client
// only to tell it the server is busy and close it.

#include <string_view>

#include "support/file_descriptor.h"

namespace qm {

class TDescriptorReserve {
 public:
  // Takes the reserve (a descriptor on /dev/null).
  TDescriptorReserve();

  // Accepts one waiting connection of the listening socket Listener in place of the reserve,
  // sends it Message without waiting, closes it and takes the reserve again. True when a client
  // was turned away; false when no reserve was held or nobody was waiting.
  bool RefuseOne(int Listener, std::string_view Message);

 private:
  void Take();

  TFileDescriptor FSpare;
};

}  // namespace qm
