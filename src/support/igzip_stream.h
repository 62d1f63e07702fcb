#pragma once

// ISA-L igzip streams: a deflater that writes zlib framing (RFC 1950) and an inflater that reads
// it, kept in one bounded pool for the process like the zlib streams (support/zstream.h).
// igzip deflates several times faster than zlib at a size near zlib's default level, and what it
// writes is a standard zlib stream that any inflater reads.
//
// A deflater's level buffer (its hash tables, sized by level) is part of the pooled stream, so a
// lease sets nothing up but the stream's counters. A lease is used by one thread at a time.

#include <isa-l/igzip_lib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace qm {

struct TIgzipCachedStream;

class TIgzipStreamLease {
 public:
  // Bytes of the lease's scratch buffer (not zero-filled).
  static constexpr std::size_t kScratchSize = 64 * 1024;
  // igzip's own levels.
  static constexpr int kMinLevel = 0;
  static constexpr int kMaxLevel = ISAL_DEF_MAX_LEVEL;

  TIgzipStreamLease(TIgzipStreamLease&&) noexcept;
  TIgzipStreamLease& operator=(TIgzipStreamLease&&) = delete;
  TIgzipStreamLease(const TIgzipStreamLease&) = delete;
  TIgzipStreamLease& operator=(const TIgzipStreamLease&) = delete;
  ~TIgzipStreamLease();

  // A deflater at Level (kMinLevel..kMaxLevel) writing zlib framing, ready for a new stream.
  // Raises EprmException for a level igzip does not have.
  static TIgzipStreamLease Deflater(int Level);
  // An inflater that reads zlib framing and checks the trailer, ready for a new stream.
  static TIgzipStreamLease Inflater();

  // Valid for a deflater lease only.
  isal_zstream& Deflate();
  // Valid for an inflater lease only.
  inflate_state& Inflate();
  std::uint8_t* Scratch();

 private:
  explicit TIgzipStreamLease(std::unique_ptr<TIgzipCachedStream> Stream);
  std::unique_ptr<TIgzipCachedStream> FStream;
};

// Inflates one complete zlib stream with igzip, handing the inflated bytes to emit piece by piece,
// as ZDecompressEach does with zlib and with the same errors: corrupt input raises
// EZDecompressionError "data error" ("need dictionary" for a stream that asks for one), input
// that ends early "buffer error", more than max_bytes of output EZDecompressionLimitError before
// those bytes are handed out. Bytes after the end of the stream are ignored. Before a fault,
// other bytes than zlib would have may have been handed out (igzip may notice it later). One
// leniency remains: a stream whose Huffman tables zlib finds faulty but igzip can use, and whose
// inflated bytes match its checksum, is read.
void IgzipInflateEach(std::string_view data, std::uint64_t max_bytes,
                      const std::function<void(std::string_view)>& emit);

}  // namespace qm
