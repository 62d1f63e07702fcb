#include "support/zstream.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "support/exception.h"
#include "support/idle_pool.h"

namespace qm {

struct TZCachedStream {
  z_stream Stream{};
  bool Inflating = false;
  int Level = Z_DEFAULT_COMPRESSION;
  int WindowBits = TZStreamLease::kZlibWindowBits;
  std::unique_ptr<std::uint8_t[]> Scratch =
      std::make_unique_for_overwrite<std::uint8_t[]>(TZStreamLease::kScratchSize);
  bool Initialised = false;

  TZCachedStream() = default;
  TZCachedStream(const TZCachedStream&) = delete;
  TZCachedStream& operator=(const TZCachedStream&) = delete;
  ~TZCachedStream() {
    if (Initialised)
      Inflating ? inflateEnd(&Stream) : deflateEnd(&Stream);
  }

  bool Matches(bool inflating, int level, int window_bits) const {
    return Inflating == inflating && WindowBits == window_bits && (inflating || Level == level);
  }
};

namespace {

// Idle streams kept for the whole process. A deflate stream holds about 330 KiB, so a cache per
// thread would cost that much for every connection thread that ever compressed; a shared pool
// costs it only for as many streams as are in use at once, up to this bound. Streams given back
// beyond it are freed.
constexpr std::size_t kPooledStreams = 16;

// Never destroyed: leases may end on threads that outlive static destruction.
TIdlePool<TZCachedStream>& StreamPool() {
  static auto* pool = new TIdlePool<TZCachedStream>(kPooledStreams);
  return *pool;
}

std::unique_ptr<TZCachedStream> TakeCached(bool inflating, int level, int window_bits) {
  return StreamPool().Take(
      [&](const TZCachedStream& stream) { return stream.Matches(inflating, level, window_bits); });
}

}  // namespace

TZStreamLease::TZStreamLease(std::unique_ptr<TZCachedStream> stream) : FStream(std::move(stream)) {}

TZStreamLease::TZStreamLease(TZStreamLease&&) noexcept = default;

TZStreamLease::~TZStreamLease() {
  if (!FStream)
    return;
  // A use that ended in an error may leave input and output pointers behind; the next lease
  // must start with none.
  z_stream& stream = FStream->Stream;
  stream.next_in = nullptr;
  stream.avail_in = 0;
  stream.next_out = nullptr;
  stream.avail_out = 0;
  const int rc = FStream->Inflating ? inflateReset(&stream) : deflateReset(&stream);
  if (rc == Z_OK)
    StreamPool().Give(std::move(FStream));
}

TZStreamLease TZStreamLease::Deflater(int level, int window_bits) {
  if (auto cached = TakeCached(false, level, window_bits))
    return TZStreamLease(std::move(cached));
  auto stream = std::make_unique<TZCachedStream>();
  stream->Level = level;
  stream->WindowBits = window_bits;
  const int rc =
      deflateInit2(&stream->Stream, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK)
    throw EprmException(zError(rc));
  stream->Initialised = true;
  return TZStreamLease(std::move(stream));
}

TZStreamLease TZStreamLease::Inflater(int window_bits) {
  if (auto cached = TakeCached(true, Z_DEFAULT_COMPRESSION, window_bits))
    return TZStreamLease(std::move(cached));
  auto stream = std::make_unique<TZCachedStream>();
  stream->Inflating = true;
  stream->WindowBits = window_bits;
  const int rc = inflateInit2(&stream->Stream, window_bits);
  if (rc != Z_OK)
    throw EprmException(zError(rc));
  stream->Initialised = true;
  return TZStreamLease(std::move(stream));
}

z_stream& TZStreamLease::Stream() {
  return FStream->Stream;
}

std::uint8_t* TZStreamLease::Scratch() {
  return FStream->Scratch.get();
}

}  // namespace qm
