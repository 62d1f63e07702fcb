// Binary (VSK) requests: size fields, the zlib body, the VSK text in it and the raw block.

#include "fuzz_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return qm::fuzz::ReadMessages(data, size, qm::dpVSK);
}
