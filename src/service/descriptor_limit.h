#pragma once

// The process's limit on open descriptors: each client connection and each SQLite file takes
// one, and the soft limit systemd gives a service (1,024) runs out long before the hard one.

#include <string>

namespace qm {

// Raises the soft RLIMIT_NOFILE to the hard limit. Returns the log line that tells both
// limits and what was done (or why nothing was).
std::string RaiseDescriptorLimit();

}  // namespace qm
