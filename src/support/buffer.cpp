#include "support/buffer.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "support/file_descriptor.h"
#include "support/utf16.h"
#include "support/zstream.h"

namespace qm {

namespace {

constexpr int kZlibWindowBits = 15;
constexpr int kGzipWindowBits = 31;
constexpr std::size_t kLoadChunk = 8192;
constexpr std::size_t kInflateChunk = 64 * 1024;
constexpr std::size_t kDecompressToChunk = 1024 * 1024;

// zlib's own text for a result code ("data error", "buffer error", ...).
[[noreturn]] void RaiseZlib(int code) {
  throw EZDecompressionError(zError(code));
}

void WriteAll(IByteSink& sink, const void* data, std::size_t count) {
  if (count == 0)
    return;
  if (sink.Write(data, static_cast<int64_t>(count)) != static_cast<int64_t>(count))
    throw EprmException("Stream write error");
}

// Reads and writes a file descriptor it owns; reads fill the request unless the file ends, so a
// short read is the end as IByteSource requires.
class TFileStream : public IByteSource, public IByteSink {
 public:
  static std::unique_ptr<TFileStream> Create(const std::string& name) {
    TFileDescriptor fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.Valid())
      throw EprmFileError("Cannot create file \"" + name + "\". " + std::strerror(errno));
    return std::make_unique<TFileStream>(std::move(fd));
  }
  static std::unique_ptr<TFileStream> Open(const std::string& name) {
    TFileDescriptor fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
      throw EprmFileError("Cannot open file \"" + name + "\". " + std::strerror(errno));
    return std::make_unique<TFileStream>(std::move(fd));
  }
  explicit TFileStream(TFileDescriptor fd) : fd_(std::move(fd)) {}

  int64_t Read(void* buffer, int64_t count) override {
    int64_t done = 0;
    while (done < count) {
      ssize_t n =
          ::read(fd_.Get(), static_cast<char*>(buffer) + done, static_cast<size_t>(count - done));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      done += n;
    }
    return done;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    int64_t done = 0;
    while (done < count) {
      ssize_t n = ::write(fd_.Get(), static_cast<const char*>(buffer) + done,
                          static_cast<size_t>(count - done));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      done += n;
    }
    return done;
  }

 private:
  TFileDescriptor fd_;
};

// Inflates one zlib stream, handing each chunk of output to emit. refill(zs) is called when
// the stream has no input left; it points zs at more input and returns false once the input is
// exhausted (what it set then is the last piece). Returns true when the zlib stream ended,
// false when the input ran out first.
template <typename Refill, typename Emit>
bool InflateWith(Refill&& refill, uint64_t max_bytes, std::size_t chunk, Emit&& emit) {
  TZStreamLease lease = TZStreamLease::Inflater(kZlibWindowBits);
  z_stream& zs = lease.Stream();
  std::vector<uint8_t> large_output;
  uint8_t* output = lease.Scratch();
  if (chunk > TZStreamLease::kScratchSize) {
    large_output.resize(chunk);
    output = large_output.data();
  }
  bool input_done = false;
  uint64_t total = 0;
  for (;;) {
    if (zs.avail_in == 0 && !input_done)
      input_done = !refill(zs);
    zs.next_out = output;
    zs.avail_out = static_cast<uInt>(chunk);
    int rc = inflate(&zs, Z_NO_FLUSH);
    std::size_t produced = chunk - zs.avail_out;
    if (produced > 0) {
      total += produced;
      if (total > max_bytes)
        throw EZDecompressionLimitError("Inflated data exceeds " + std::to_string(max_bytes) +
                                        " bytes");
      emit(output, produced);
    }
    if (rc == Z_STREAM_END)
      return true;
    if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR || rc == Z_MEM_ERROR)
      RaiseZlib(rc);
    // Z_OK, or Z_BUF_ERROR (no progress possible): more input is needed, if there is any.
    if (zs.avail_in == 0 && input_done && zs.avail_out != 0)
      return false;
  }
}

// The same over input pulled from source, a short read being its end.
template <typename Emit>
bool Inflate(IByteSource& source, uint64_t max_bytes, std::size_t chunk, Emit&& emit) {
  std::vector<uint8_t> input(kInflateChunk);
  return InflateWith(
      [&](z_stream& zs) {
        int64_t n = source.Read(input.data(), static_cast<int64_t>(input.size()));
        zs.next_in = input.data();
        zs.avail_in = n > 0 ? static_cast<uInt>(n) : 0;
        return n >= static_cast<int64_t>(input.size());
      },
      max_bytes, chunk, std::forward<Emit>(emit));
}

// The same over input in memory, read in place.
template <typename Emit>
bool Inflate(std::string_view data, uint64_t max_bytes, std::size_t chunk, Emit&& emit) {
  return InflateWith(
      [&](z_stream& zs) {
        // avail_in is 32-bit: very large inputs go in slices.
        const std::size_t slice =
            std::min<std::size_t>(data.size(), std::numeric_limits<uInt>::max());
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        zs.avail_in = static_cast<uInt>(slice);
        data.remove_prefix(slice);
        return !data.empty();
      },
      max_bytes, chunk, std::forward<Emit>(emit));
}

// Deflates data in one zlib (or gzip) stream, handing each chunk of output to emit.
template <typename Emit>
void Deflate(const uint8_t* data, std::size_t count, bool gzip, Emit&& emit) {
  TZStreamLease lease =
      TZStreamLease::Deflater(Z_DEFAULT_COMPRESSION, gzip ? kGzipWindowBits : kZlibWindowBits);
  z_stream& zs = lease.Stream();
  uint8_t* output = lease.Scratch();
  constexpr std::size_t kOutput = TZStreamLease::kScratchSize;
  std::size_t remaining = count;
  zs.next_in = const_cast<Bytef*>(data);
  for (;;) {
    if (zs.avail_in == 0 && remaining > 0) {
      // avail_in is 32-bit: feed very large inputs in slices.
      std::size_t slice = std::min<std::size_t>(remaining, std::numeric_limits<uInt>::max());
      zs.avail_in = static_cast<uInt>(slice);
      remaining -= slice;
    }
    zs.next_out = output;
    zs.avail_out = static_cast<uInt>(kOutput);
    int rc = deflate(&zs, remaining == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (rc == Z_STREAM_ERROR)
      throw EprmException(zError(rc));
    std::size_t produced = kOutput - zs.avail_out;
    if (produced > 0)
      emit(output, produced);
    if (rc == Z_STREAM_END)
      return;
  }
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of a Base64 symbol ("=" counts as 0), or -1 for a character that is skipped.
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+')
    return 62;
  if (c == '/')
    return 63;
  if (c == '=')
    return 0;
  return -1;
}

}  // namespace

void TprmBuffer::Clear() {
  std::vector<uint8_t>().swap(FBlock);
}

void TprmBuffer::ClearData() {
  FBlock.clear();
  FChanged = true;
}

void TprmBuffer::Grow(int64_t count, bool move_eod) {
  if (count <= 0)
    return;
  const auto n = static_cast<std::size_t>(count);
  if (FBlock.capacity() - FBlock.size() <= n) {
    // Whole 2048-byte steps plus 4096 bytes of slack; at least half the current size, so that
    // long runs of appends (inflating, loading) cost amortised linear time.
    std::size_t step = std::max<std::size_t>((n / 2048) * 2048 + 4096, FBlock.capacity() / 2);
    FBlock.reserve(FBlock.capacity() + step);
  }
  if (move_eod)
    FBlock.resize(FBlock.size() + n);
}

void TprmBuffer::Append(const void* data, std::size_t count) {
  if (count == 0)
    return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  // The bytes may lie in this very buffer, which growing moves.
  const uint8_t* sob = FBlock.data();
  if (sob != nullptr && bytes >= sob && bytes < sob + FBlock.size()) {
    std::size_t offset = static_cast<std::size_t>(bytes - sob);
    Grow(static_cast<int64_t>(count), false);
    FBlock.insert(FBlock.end(), FBlock.data() + offset, FBlock.data() + offset + count);
  } else {
    Grow(static_cast<int64_t>(count), false);
    FBlock.insert(FBlock.end(), bytes, bytes + count);
  }
  FChanged = true;
}

void TprmBuffer::Write(const uint8_t* data, int64_t count) {
  if (count > 0)
    Append(data, static_cast<std::size_t>(count));
}

void TprmBuffer::Write(std::string_view text) {
  if (text.empty())
    return;
  std::string units = Utf8ToUtf16Le(text);
  Append(units.data(), units.size());
}

void TprmBuffer::Write(std::string_view text, char16_t comma) {
  std::string units = Utf8ToUtf16Le(text);
  units.push_back(static_cast<char>(comma & 0xFF));
  units.push_back(static_cast<char>(comma >> 8));
  Append(units.data(), units.size());
}

void TprmBuffer::Write(int32_t value) {
  Write(std::to_string(value));
}

void TprmBuffer::WriteBytes(std::string_view bytes) {
  Append(bytes.data(), bytes.size());
}

void TprmBuffer::WriteDate(TDateTime date, const std::string& pattern) {
  Write(FormatDateTime(pattern, date));
}

void TprmBuffer::WriteData(uint8_t value) {
  Append(&value, 1);
}

void TprmBuffer::Writeln(std::string_view text) {
  std::string units = Utf8ToUtf16Le(text);
  units.append("\r\0\n\0", 4);
  Append(units.data(), units.size());
}

std::string TprmBuffer::AsString() const {
  return Utf16LeToUtf8(View().substr(0, static_cast<std::size_t>(CharCount()) * 2));
}

bool TprmBuffer::SameString(std::string_view text) const {
  if (text.empty() || SOB() == nullptr)
    return false;
  return Utf8ToUtf16Le(text) == View().substr(0, static_cast<std::size_t>(CharCount()) * 2);
}

void TprmBuffer::Attach(std::vector<uint8_t>&& block) {
  Clear();
  if (!block.empty())
    FBlock = std::move(block);
  block.clear();
}

std::vector<uint8_t> TprmBuffer::Detach() {
  std::vector<uint8_t> block;
  block.swap(FBlock);
  return block;
}

void TprmBuffer::SaveToStream(IByteSink& stream) const {
  WriteAll(stream, FBlock.data(), FBlock.size());
}

void TprmBuffer::LoadFromStream(IByteSource& stream) {
  uint8_t chunk[kLoadChunk];
  for (;;) {
    int64_t n = stream.Read(chunk, kLoadChunk);
    if (n > 0)
      Append(chunk, static_cast<std::size_t>(n));
    if (n < static_cast<int64_t>(kLoadChunk))
      break;
  }
}

void TprmBuffer::SaveToFile(const std::string& file_name) const {
  SaveToStream(*TFileStream::Create(file_name));
}

void TprmBuffer::LoadFromFile(const std::string& file_name) {
  LoadFromStream(*TFileStream::Open(file_name));
}

void TprmBuffer::SaveToFileUTF8(const std::string& file_name) const {
  std::string text = AsString();
  WriteAll(*TFileStream::Create(file_name), text.data(), text.size());
}

void TprmBuffer::ConvertUtf8ToString() {
  if (FBlock.empty())
    return;
  std::string units = Utf8ToUtf16Le(View());
  if (units.empty()) {
    Clear();
    return;
  }
  std::vector<uint8_t> block;
  block.reserve(std::max(units.size(), FBlock.size() * 2));
  block.assign(units.begin(), units.end());
  FBlock = std::move(block);
}

void TprmBuffer::ConvertStringToAnsi() {
  std::string ansi = Utf8ToLatin1(AsString());
  Clear();
  if (!ansi.empty())
    FBlock.assign(ansi.begin(), ansi.end());
}

std::string TprmBuffer::AsBase64() const {
  std::string out;
  out.reserve((FBlock.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= FBlock.size(); i += 3) {
    uint32_t v = (FBlock[i] << 16) | (FBlock[i + 1] << 8) | FBlock[i + 2];
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  std::size_t rest = FBlock.size() - i;
  if (rest > 0) {
    uint32_t v = FBlock[i] << 16;
    if (rest == 2)
      v |= FBlock[i + 1] << 8;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

void TprmBuffer::SetAsBase64(std::string_view text) {
  Clear();
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  int group[4] = {0, 0, 0, 0};
  int filled = 0;
  int padding = 0;  // symbols so far that the next symbol, an "=", followed
  bool any_symbol = false;
  auto flush = [&](int symbols) {
    const uint8_t bytes[3] = {
        static_cast<uint8_t>(group[0] * 4 + group[1] / 16),
        static_cast<uint8_t>((group[1] % 16) * 16 + group[2] / 4),
        static_cast<uint8_t>((group[2] % 4) * 64 + group[3]),
    };
    // A short last group gives only the bytes its symbols complete (not trailing zeros).
    int keep = std::min(3 - padding, symbols - 1);
    for (int k = 0; k < keep; ++k)
      out.push_back(static_cast<char>(bytes[k]));
  };
  for (unsigned char c : text) {
    int value = Base64Value(c);
    if (value < 0)
      continue;  // blanks, line breaks, anything outside the alphabet
    if (c == '=' && any_symbol)
      ++padding;
    any_symbol = true;
    group[filled++] = value;
    if (filled == 4) {
      flush(4);
      filled = 0;
    }
  }
  if (filled > 0) {
    for (int k = filled; k < 4; ++k)
      group[k] = 0;
    flush(filled);
  }
  if (!out.empty())
    Append(out.data(), out.size());
}

void TprmBuffer::Compress(const uint8_t* data, int64_t count) {
  if (count <= 0)
    return;
  Deflate(data, static_cast<std::size_t>(count), false,
          [this](const uint8_t* chunk, std::size_t n) { Append(chunk, n); });
}

void TprmBuffer::Compress(std::string_view text) {
  if (text.empty())
    return;
  std::string units = Utf8ToUtf16Le(text);
  Compress(reinterpret_cast<const uint8_t*>(units.data()), static_cast<int64_t>(units.size()));
}

void TprmBuffer::CompressBytes(std::string_view bytes) {
  Compress(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
}

void TprmBuffer::Decompress(const uint8_t* data, int64_t count) {
  DecompressLimited(data, count, UINT64_MAX);
}

void TprmBuffer::Decompress(IByteSource& stream) {
  DecompressLimited(stream, UINT64_MAX);
}

void TprmBuffer::DecompressLimited(const uint8_t* data, int64_t count, uint64_t max_bytes) {
  if (count <= 0)
    return;
  Inflate(std::string_view(reinterpret_cast<const char*>(data), static_cast<std::size_t>(count)),
          max_bytes, TZStreamLease::kScratchSize,
          [this](const uint8_t* chunk, std::size_t n) { Append(chunk, n); });
}

void TprmBuffer::DecompressLimited(IByteSource& stream, uint64_t max_bytes) {
  Inflate(stream, max_bytes, TZStreamLease::kScratchSize,
          [this](const uint8_t* chunk, std::size_t n) { Append(chunk, n); });
}

void TprmBuffer::CompressToStream(IByteSink& stream, bool gzip) const {
  Deflate(FBlock.data(), FBlock.size(), gzip,
          [&stream](const uint8_t* chunk, std::size_t n) { WriteAll(stream, chunk, n); });
}

std::string TprmBuffer::CompressToString(bool gzip) const {
  return ZCompress(View(), gzip);
}

void TprmBuffer::CompressToFile(const std::string& file_name, bool gzip) const {
  CompressToStream(*TFileStream::Create(file_name), gzip);
}

std::string TprmBuffer::DecompressTo() const {
  if (FBlock.empty())
    return {};
  return Utf16LeToUtf8(ZDecompress(View()));
}

void TprmBuffer::DecompressTo(IByteSink& stream) const {
  if (FBlock.empty())
    return;
  bool ended =
      Inflate(View(), UINT64_MAX, kDecompressToChunk,
              [&stream](const uint8_t* chunk, std::size_t n) { WriteAll(stream, chunk, n); });
  if (!ended)
    RaiseZlib(Z_BUF_ERROR);
}

void TprmBuffer::DecompressToFile(const std::string& file_name) const {
  DecompressTo(*TFileStream::Create(file_name));
}

std::string ZCompress(std::string_view data, bool gzip) {
  std::string out;
  Deflate(reinterpret_cast<const uint8_t*>(data.data()), data.size(), gzip,
          [&out](const uint8_t* chunk, std::size_t n) {
            out.append(reinterpret_cast<const char*>(chunk), n);
          });
  return out;
}

std::string ZDecompress(std::string_view data, uint64_t max_bytes) {
  std::string out;
  ZDecompressEach(data, max_bytes,
                  [&out](std::string_view piece) { out.append(piece.data(), piece.size()); });
  return out;
}

void ZDecompressEach(std::string_view data, uint64_t max_bytes,
                     const std::function<void(std::string_view)>& emit) {
  bool ended =
      Inflate(data, max_bytes, kInflateChunk, [&emit](const uint8_t* chunk, std::size_t n) {
        emit(std::string_view(reinterpret_cast<const char*>(chunk), n));
      });
  if (!ended)
    RaiseZlib(Z_BUF_ERROR);
}

}  // namespace qm
