#pragma once

// A message's header text in its compressed form, and back.
//
// A client sends the same statement again and again, and a server answers it with the same
// headers, so each thread keeps the last text it compressed and the last one it inflated beside
// their other form: a repeat costs one comparison instead of a zlib pass. The bytes are the
// ones zlib gives either way. Only small texts are kept, so a thread holds a few KiB at most.

#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// The zlib stream (default level) of Text.
std::string CompressHeaderText(std::string_view Text);

// The text of a zlib stream, as TprmBuffer::DecompressLimited gives it: raises
// EZDecompressionError when Compressed is corrupt or inflates to more than MaxBytes.
std::string InflateHeaderText(std::string_view Compressed, std::uint64_t MaxBytes);

}  // namespace qm
