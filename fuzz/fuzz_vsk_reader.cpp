// VSK text (UTF-16LE bytes) loaded into a message, then saved and loaded again: what loads must
// save to text that loads to the same headers.

#include <cstdint>
#include <string>

#include "protocol/stream_data.h"
#include "support/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qm::TStreamData message;
  message.SetMaxHeaders(5000);
  try {
    message.LoadFromBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const qm::Exception&) {
    return 0;
  }
  qm::TStreamData again;
  again.LoadFromBytes(message.SaveToBytes());
  if (again.Count() != message.Count() || again.Name() != message.Name())
    __builtin_trap();
  for (int i = 0; i < message.Count(); ++i) {
    if (again.Item(i)->Guid() != message.Item(i)->Guid() ||
        again.Item(i)->Name() != message.Item(i)->Name() ||
        again.Item(i)->AsString() != message.Item(i)->AsString())
      __builtin_trap();
  }
  return 0;
}
