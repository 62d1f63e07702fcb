#pragma once

// The fuzzer's bytes as a buffered stream, the way the server reads a connection.

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/stream.h"
#include "transport/wrapper_stream.h"

namespace qm::fuzz {

struct Input {
  Input(const std::uint8_t* data, std::size_t size, const char* end_of_line = "\n")
      : memory(std::string(reinterpret_cast<const char*>(data), size)), stream(&memory) {
    stream.SetEndOfLine(end_of_line);
  }
  TMemoryStream memory;
  TmnWrapperStream stream;
};

}  // namespace qm::fuzz
