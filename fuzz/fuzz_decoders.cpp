// The zlib and Base64 decoders of the byte buffer, and igzip's inflater against zlib's. The
// first byte picks the decoder.

#include <algorithm>
#include <cstdint>
#include <string>

#include "support/buffer.h"
#include "support/igzip_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 4) {
    case 0: {
      try {
        const std::string inflated = qm::ZDecompress(rest, 8 << 20);
        if (qm::ZDecompress(qm::ZCompress(inflated)) != inflated)
          __builtin_trap();
      } catch (const qm::EZDecompressionError&) {
      }
      break;
    }
    case 1: {
      try {
        qm::TprmBuffer buffer;
        buffer.DecompressLimited(reinterpret_cast<const std::uint8_t*>(rest.data()),
                                 static_cast<std::int64_t>(rest.size()), 8 << 20);
      } catch (const qm::EZDecompressionError&) {
      }
      break;
    }
    case 3: {
      // Both inflaters hand out the same bytes and fail alike.
      auto inflate = [rest](auto each, std::string& out) -> std::string {
        try {
          each(rest, 8 << 20, [&out](std::string_view piece) { out.append(piece); });
        } catch (const qm::EZDecompressionError& e) {
          return e.what();
        }
        return "";
      };
      std::string by_zlib;
      std::string by_igzip;
      const std::string zlib_error = inflate(qm::ZDecompressEach, by_zlib);
      const std::string igzip_error = inflate(qm::IgzipInflateEach, by_igzip);
      // igzip may read a stream whose tables zlib refuses when its checksum holds.
      const bool lenient = igzip_error.empty() && zlib_error == "data error";
      if (zlib_error != igzip_error && !lenient)
        __builtin_trap();
      const std::size_t common = std::min(by_zlib.size(), by_igzip.size());
      if (by_zlib.compare(0, common, by_igzip, 0, common) != 0 ||
          (zlib_error.empty() && by_zlib != by_igzip))
        __builtin_trap();
      break;
    }
    default: {
      // Lenient decoding, then an exact round trip of what it gave.
      qm::TprmBuffer buffer;
      buffer.SetAsBase64(rest);
      const std::string bytes(buffer.View());
      qm::TprmBuffer again;
      again.SetAsBase64(buffer.AsBase64());
      if (again.View() != bytes)
        __builtin_trap();
      break;
    }
  }
  return 0;
}
