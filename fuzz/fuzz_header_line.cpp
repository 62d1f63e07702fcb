// The request loop's first step: one header line read up to "\r" and split into items.

#include "fuzz_input.h"
#include "protocol/data_command_server.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qm::fuzz::Input input(data, size, "\r");
  std::string line;
  while (input.stream.ReadUTF8Line(line, true, qm::TpdcDataCommandConnection::kMaxHeaderLine)) {
    for (const std::string& item : qm::TpdcDataCommandConnection::SplitHeaderLine(line)) {
      if (item.empty())
        __builtin_trap();  // empty items are dropped
    }
    line.clear();
  }
  return 0;
}
