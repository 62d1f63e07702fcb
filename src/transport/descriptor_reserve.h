#pragma once

// A listener's guard against running out of descriptors. Without one, a client waiting in the
// listen backlog while every descriptor is in use can be neither accepted nor told anything: it
// hangs. Two lines of defence:
// - headroom: a client accepted onto one of the last few descriptors below the limit is told
//   the server is busy and closed, so sessions never take the descriptors that the process's
//   other threads open for a moment (a SQLite journal, a log file);
// - the reserve: a descriptor on /dev/null, freed for a moment when accepting fails all the
//   same, so that the waiting client can be accepted only to be told the same. Another thread
//   can take the freed number first, which is why the headroom comes first.

#include <string_view>

#include "support/file_descriptor.h"

namespace qm {

class TDescriptorReserve {
 public:
  // Descriptors kept free below the soft limit for the process's short-lived needs.
  static constexpr int kHeadroom = 8;

  // Takes the reserve (a descriptor on /dev/null) and reads the soft descriptor limit.
  TDescriptorReserve();

  // True when the accepted descriptor is one of the last kHeadroom below the soft limit.
  // Descriptors get the lowest free number, so every number below it is in use.
  bool Crowded(int Accepted) const;
  // Sends Message to a connected socket without waiting; what cannot be sent is dropped.
  static void Tell(int Descriptor, std::string_view Message);

  // Accepts one waiting connection of the listening socket Listener in place of the reserve,
  // sends it Message without waiting, closes it and takes the reserve again. True when a client
  // was turned away; false when no reserve was held or nobody was waiting.
  bool RefuseOne(int Listener, std::string_view Message);

 private:
  void Take();

  TFileDescriptor FSpare;
  long FLimit = -1;  // the soft limit, -1 when unlimited or unknown
};

}  // namespace qm
