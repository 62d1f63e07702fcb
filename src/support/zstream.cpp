#include "support/zstream.h"

#include <algorithm>
#include <vector>

#include "support/exception.h"

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

// A few idle streams per thread: enough for a message and a result block at two levels.
constexpr std::size_t kCachedPerThread = 4;

std::vector<std::unique_ptr<TZCachedStream>>& ThreadCache() {
  thread_local std::vector<std::unique_ptr<TZCachedStream>> cache;
  return cache;
}

std::unique_ptr<TZCachedStream> TakeCached(bool inflating, int level, int window_bits) {
  auto& cache = ThreadCache();
  auto it = std::find_if(cache.begin(), cache.end(), [&](const auto& item) {
    return item->Matches(inflating, level, window_bits);
  });
  if (it == cache.end())
    return nullptr;
  std::unique_ptr<TZCachedStream> taken = std::move(*it);
  cache.erase(it);
  return taken;
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
  auto& cache = ThreadCache();
  if (rc == Z_OK && cache.size() < kCachedPerThread)
    cache.push_back(std::move(FStream));
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
