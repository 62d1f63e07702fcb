#include "support/igzip_stream.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "support/buffer.h"
#include "support/exception.h"
#include "support/idle_pool.h"

namespace qm {

namespace {

// The level buffer igzip's documentation gives as each level's default.
std::size_t LevelBufferSize(int Level) {
  switch (Level) {
    case 0:
      return ISAL_DEF_LVL0_DEFAULT;
    case 1:
      return ISAL_DEF_LVL1_DEFAULT;
    case 2:
      return ISAL_DEF_LVL2_DEFAULT;
    default:
      return ISAL_DEF_LVL3_DEFAULT;
  }
}

}  // namespace

// One stream with what it needs beside it. The stream structures are large (tens of KiB of
// history), so they live on the heap with the rest.
struct TIgzipCachedStream {
  bool Inflating = false;
  int Level = 0;
  std::unique_ptr<isal_zstream> Deflate;
  std::unique_ptr<inflate_state> Inflate;
  std::unique_ptr<std::uint8_t[]> LevelBuffer;
  std::unique_ptr<std::uint8_t[]> Scratch =
      std::make_unique_for_overwrite<std::uint8_t[]>(TIgzipStreamLease::kScratchSize);

  bool Matches(bool inflating, int level) const {
    return Inflating == inflating && (inflating || Level == level);
  }

  // Readies the stream for a new use: counters, state and the settings a reset may clear.
  void Reset() {
    if (Inflating) {
      isal_inflate_reset(Inflate.get());
      Inflate->next_in = nullptr;
      Inflate->avail_in = 0;
      Inflate->crc_flag = ISAL_ZLIB;
      return;
    }
    isal_deflate_reset(Deflate.get());
    Deflate->next_in = nullptr;
    Deflate->avail_in = 0;
    Deflate->level = static_cast<std::uint32_t>(Level);
    Deflate->level_buf = LevelBuffer.get();
    Deflate->level_buf_size = static_cast<std::uint32_t>(LevelBufferSize(Level));
    Deflate->gzip_flag = IGZIP_ZLIB;
    Deflate->flush = NO_FLUSH;
    Deflate->end_of_stream = 0;
  }
};

namespace {

// Idle streams kept for the whole process; see the zlib pool for why one shared pool.
constexpr std::size_t kPooledStreams = 16;

// Never destroyed: leases may end on threads that outlive static destruction.
TIdlePool<TIgzipCachedStream>& StreamPool() {
  static auto* pool = new TIdlePool<TIgzipCachedStream>(kPooledStreams);
  return *pool;
}

}  // namespace

TIgzipStreamLease::TIgzipStreamLease(std::unique_ptr<TIgzipCachedStream> Stream)
    : FStream(std::move(Stream)) {}

TIgzipStreamLease::TIgzipStreamLease(TIgzipStreamLease&&) noexcept = default;

TIgzipStreamLease::~TIgzipStreamLease() {
  if (FStream)
    StreamPool().Give(std::move(FStream));
}

TIgzipStreamLease TIgzipStreamLease::Deflater(int Level) {
  if (Level < kMinLevel || Level > kMaxLevel)
    throw EprmException("igzip has no compression level " + std::to_string(Level));
  std::unique_ptr<TIgzipCachedStream> stream = StreamPool().Take(
      [&](const TIgzipCachedStream& cached) { return cached.Matches(false, Level); });
  if (stream == nullptr) {
    stream = std::make_unique<TIgzipCachedStream>();
    stream->Level = Level;
    stream->Deflate = std::make_unique<isal_zstream>();
    isal_deflate_init(stream->Deflate.get());
    const std::size_t size = LevelBufferSize(Level);
    if (size > 0)
      stream->LevelBuffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  }
  stream->Reset();
  return TIgzipStreamLease(std::move(stream));
}

TIgzipStreamLease TIgzipStreamLease::Inflater() {
  std::unique_ptr<TIgzipCachedStream> stream =
      StreamPool().Take([&](const TIgzipCachedStream& cached) { return cached.Matches(true, 0); });
  if (stream == nullptr) {
    stream = std::make_unique<TIgzipCachedStream>();
    stream->Inflating = true;
    stream->Inflate = std::make_unique<inflate_state>();
    isal_inflate_init(stream->Inflate.get());
  }
  stream->Reset();
  return TIgzipStreamLease(std::move(stream));
}

isal_zstream& TIgzipStreamLease::Deflate() {
  return *FStream->Deflate;
}

inflate_state& TIgzipStreamLease::Inflate() {
  return *FStream->Inflate;
}

std::uint8_t* TIgzipStreamLease::Scratch() {
  return FStream->Scratch.get();
}

namespace {

void InflateWithIgzip(std::string_view data, std::uint64_t max_bytes,
                      const std::function<void(std::string_view)>& emit) {
  // igzip takes any window size the header names; zlib refuses one above 32 KiB, and so does
  // this reader, so that a stream one inflater reads the other reads too.
  if (data.size() >= 2 && (static_cast<std::uint8_t>(data[0]) >> 4) > 7)
    throw EZDecompressionError("data error");
  TIgzipStreamLease lease = TIgzipStreamLease::Inflater();
  inflate_state& state = lease.Inflate();
  std::uint8_t* const output = lease.Scratch();
  std::uint64_t total = 0;
  for (;;) {
    if (state.avail_in == 0 && !data.empty()) {
      // avail_in is 32-bit: very large inputs go in slices.
      const std::size_t slice =
          std::min<std::size_t>(data.size(), std::numeric_limits<std::uint32_t>::max());
      state.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(data.data()));
      state.avail_in = static_cast<std::uint32_t>(slice);
      data.remove_prefix(slice);
    }
    const std::uint32_t input_before = state.avail_in;
    state.next_out = output;
    state.avail_out = static_cast<std::uint32_t>(TIgzipStreamLease::kScratchSize);
    const int rc = isal_inflate(&state);
    const std::size_t produced = TIgzipStreamLease::kScratchSize - state.avail_out;
    if (produced > 0) {
      total += produced;
      if (total > max_bytes)
        throw EZDecompressionLimitError("Inflated data exceeds " + std::to_string(max_bytes) +
                                        " bytes");
      emit(std::string_view(reinterpret_cast<const char*>(output), produced));
    }
    // zlib's texts for the same faults, so that a reader cannot tell the inflaters apart.
    if (rc == ISAL_NEED_DICT)
      throw EZDecompressionError("need dictionary");
    if (rc < 0)
      throw EZDecompressionError("data error");
    if (state.block_state == ISAL_BLOCK_FINISH)
      return;
    const bool stalled = produced == 0 && state.avail_in == input_before;
    if (stalled && state.avail_in == 0 && data.empty())
      throw EZDecompressionError("buffer error");  // the input ended inside the stream
    if (stalled && state.avail_in != 0)
      throw EZDecompressionError("data error");  // cannot happen with room for output
  }
}

}  // namespace

void IgzipInflateEach(std::string_view data, std::uint64_t max_bytes,
                      const std::function<void(std::string_view)>& emit) {
  try {
    InflateWithIgzip(data, max_bytes, emit);
  } catch (const EZDecompressionLimitError&) {
    throw;
  } catch (const EZDecompressionError&) {
    // The two inflaters may notice a fault at different places (a stream cut short inside
    // a corrupt block reads as cut short to one and corrupt to the other): zlib's verdict is
    // the one a reader gets. Only input that fails pays for the second pass.
    ZDecompressEach(data, max_bytes, [](std::string_view) {});
    throw;
  }
}

}  // namespace qm
