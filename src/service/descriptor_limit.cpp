#include "service/descriptor_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace qm {

namespace {

std::string LimitText(rlim_t value) {
  return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value);
}

}  // namespace

std::string RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return std::string("Descriptor limit unknown: ") + std::strerror(errno);
  const std::string before =
      "Descriptor limit: soft " + LimitText(limit.rlim_cur) + ", hard " + LimitText(limit.rlim_max);
  if (limit.rlim_cur == limit.rlim_max)
    return before;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
    return before + "; raising the soft limit failed: " + std::strerror(errno);
  return before + "; soft limit raised to " + LimitText(limit.rlim_cur);
}

}  // namespace qm
