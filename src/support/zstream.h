#pragma once

// zlib streams kept in one bounded pool for the process and reset between uses. Setting a
// deflate stream up (its window, hash tables and pending buffer) costs more than compressing a
// small message, and a server compresses one message after another; keeping one per thread
// instead would hold a stream's memory for every connection thread that ever compressed.
//
// A lease takes an idle stream of the wanted kind from the pool (or makes one) and gives it back
// reset when it ends. A lease is used by one thread at a time.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qm {

struct TZCachedStream;

class TZStreamLease {
 public:
  // A window of kZlibWindowBits is zlib framing, kGzipWindowBits gzip framing.
  static constexpr int kZlibWindowBits = 15;
  static constexpr int kGzipWindowBits = 31;
  // Bytes of the lease's scratch buffer (not zero-filled).
  static constexpr std::size_t kScratchSize = 64 * 1024;

  TZStreamLease(TZStreamLease&&) noexcept;
  TZStreamLease& operator=(TZStreamLease&&) = delete;
  TZStreamLease(const TZStreamLease&) = delete;
  TZStreamLease& operator=(const TZStreamLease&) = delete;
  ~TZStreamLease();

  // level is a zlib level (Z_DEFAULT_COMPRESSION, 0..9). Raises EprmException when zlib refuses.
  static TZStreamLease Deflater(int level = Z_DEFAULT_COMPRESSION,
                                int window_bits = kZlibWindowBits);
  static TZStreamLease Inflater(int window_bits = kZlibWindowBits);

  z_stream& Stream();
  std::uint8_t* Scratch();

 private:
  explicit TZStreamLease(std::unique_ptr<TZCachedStream> stream);
  std::unique_ptr<TZCachedStream> FStream;
};

}  // namespace qm
