#pragma once

// Reads messages in one form from the fuzzer's bytes as the server reads requests, with small
// bounds so that a run explores the refusals too, and touches every header it loaded.

#include "fuzz_input.h"
#include "protocol/stream_data_writer.h"
#include "support/buffer.h"
#include "support/exception.h"

namespace qm::fuzz {

inline int ReadMessages(const std::uint8_t* data, std::size_t size, TDataProtocol protocol) {
  Input input(data, size);
  TStreamDataLimits limits;
  limits.MaxHeaders = 2000;
  limits.MaxBody = 1 << 20;
  limits.MaxHeaderText = 4 << 20;
  limits.InflateAllowance = 1 << 20;
  limits.MaxRawBlock = 1 << 20;
  for (int message = 0; message < 4; ++message) {
    TStreamDataWriter reader(input.stream, protocol);
    reader.SetLimits(limits);
    reader.Response().SetNameFilter([](const std::string& name) { return name != "Refused"; });
    try {
      reader.ReadResponse();
    } catch (const EStreamDataTruncated&) {
      return 0;
    } catch (const EStreamDataLimit& e) {
      if (!e.InStep())
        return 0;
      continue;
    } catch (const Exception&) {
      continue;
    }
    const TStreamData& request = reader.Response();
    if (request.Count() > limits.MaxHeaders)
      __builtin_trap();
    for (int i = 0; i < request.Count(); ++i) {
      const TStreamDataHeader* header = request.Item(i);
      (void)header->AsString();
      (void)header->Value();
      if (request.FindHeader(header->Guid(), header->Name()) == nullptr)
        __builtin_trap();
    }
  }
  return 0;
}

}  // namespace qm::fuzz
