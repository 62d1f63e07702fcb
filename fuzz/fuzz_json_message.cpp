// JSON requests: the size field and the JSON text.

#include "fuzz_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return qm::fuzz::ReadMessages(data, size, qm::dpJSON);
}
