#pragma once

// TprmBuffer: the growable, contiguous byte block in which bytes are gathered before they are
// sent, or inflated after they are received, with zlib compression and Base64.
//
// The buffer holds bytes, not characters: text is appended as the UTF-16LE code units of the
// (UTF-8) string, two bytes per unit, without terminator or byte-order mark, and read back the
// same way. Raw bytes have their own operations (`Write(data, count)`, `WriteBytes`).
//
// Not thread-safe: a buffer belongs to one message or one command at a time.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/byte_stream.h"
#include "support/date_time.h"
#include "support/exception.h"

namespace qm {

// Corrupt compressed input. The message is zlib's own text ("data error", "buffer error", ...).
class EZDecompressionError : public EprmException {
 public:
  using EprmException::EprmException;
};

// Compressed input whose inflated size would pass the caller's limit.
class EZDecompressionLimitError : public EZDecompressionError {
 public:
  using EZDecompressionError::EZDecompressionError;
};

// A file that cannot be created or opened: `Cannot create file "<name>". <reason>` or
// `Cannot open file "<name>". <reason>`.
class EprmFileError : public EprmException {
 public:
  using EprmException::EprmException;
};

class TprmBuffer {
 public:
  TprmBuffer() = default;
  TprmBuffer(const TprmBuffer&) = delete;
  TprmBuffer& operator=(const TprmBuffer&) = delete;
  TprmBuffer(TprmBuffer&&) noexcept = default;
  TprmBuffer& operator=(TprmBuffer&&) noexcept = default;
  ~TprmBuffer() = default;

  // Start of the block, or null while the buffer owns none; EOD one past the last data byte;
  // EOB one past the last allocated byte.
  uint8_t* SOB() { return FBlock.capacity() == 0 ? nullptr : FBlock.data(); }
  const uint8_t* SOB() const { return FBlock.capacity() == 0 ? nullptr : FBlock.data(); }
  uint8_t* EOD() { return SOB() == nullptr ? nullptr : SOB() + FBlock.size(); }
  uint8_t* EOB() { return SOB() == nullptr ? nullptr : SOB() + FBlock.capacity(); }

  int64_t Count() const { return static_cast<int64_t>(FBlock.size()); }
  int64_t Size() const { return static_cast<int64_t>(FBlock.capacity()); }
  int64_t CharCount() const { return Count() / 2; }
  bool Empty() const { return FBlock.empty(); }
  // The data bytes.
  std::string_view View() const {
    return {reinterpret_cast<const char*>(FBlock.data()), FBlock.size()};
  }

  // Set by every append and by `ClearData`; cleared only by `HitChanged`.
  bool Changed() const { return FChanged; }
  void HitChanged() { FChanged = false; }

  // Frees the block. `Changed` is kept.
  void Clear();
  // Empties the data but keeps the block for reuse; sets `Changed`.
  void ClearData();
  // Makes room for count more bytes (nothing when count <= 0). When move_eod is true the data
  // count also grows by count, so the caller can fill the new bytes at the old EOD in place
  // (they read as zero until then). Growth is by whole 2048-byte steps plus 4096 bytes, at
  // least half the current size, and happens even when the free space equals count exactly.
  void Grow(int64_t count, bool move_eod);

  // Appends; an append of zero bytes changes nothing, not even `Changed`.
  void Write(const uint8_t* data, int64_t count);
  // The UTF-16LE code units of text.
  void Write(std::string_view text);
  // The code units of text, then those of comma.
  void Write(std::string_view text, char16_t comma);
  // The decimal text of value as UTF-16LE.
  void Write(int32_t value);
  // The bytes as they are.
  void Write(const std::vector<uint8_t>& bytes) {
    Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  void WriteBytes(std::string_view bytes);
  // date formatted by pattern (FormatDateTime), as UTF-16LE.
  void WriteDate(TDateTime date, const std::string& pattern);
  // A single byte.
  void WriteData(uint8_t value);
  // text (when not empty), then CR LF as UTF-16LE.
  void Writeln(std::string_view text = {});

  // The first CharCount code units as UTF-8 text; an odd last byte is ignored.
  std::string AsString() const;
  // True when the content read as code units equals text exactly; false when text is empty or
  // the buffer owns no block.
  bool SameString(std::string_view text) const;

  // Takes over a finished block without copying (the buffer is cleared first).
  void Attach(std::vector<uint8_t>&& block);
  // Hands the data over to the caller without copying; the buffer is left without a block.
  std::vector<uint8_t> Detach();

  // Writes the data bytes; a short write raises EprmException "Stream write error".
  void SaveToStream(IByteSink& stream) const;
  // Appends what stream delivers, in chunks of 8192 bytes, up to the first short read.
  void LoadFromStream(IByteSource& stream);
  // Creates or truncates the file, then `SaveToStream`; failures raise EprmFileError and leave
  // the buffer unchanged.
  void SaveToFile(const std::string& file_name) const;
  void LoadFromFile(const std::string& file_name);
  // `AsString` as UTF-8 bytes in a new file.
  void SaveToFileUTF8(const std::string& file_name) const;

  // Replaces UTF-8 content by its UTF-16LE code units (empty content stays as it is).
  void ConvertUtf8ToString();
  // Replaces UTF-16LE content by the text in ISO-8859-1 (a code point above 255 becomes "?").
  void ConvertStringToAnsi();

  // Standard Base64 of the content, with padding and no line breaks.
  std::string AsBase64() const;
  // Clears the content and appends the decoded bytes. Lenient: characters outside the Base64
  // alphabet are skipped, "=" counts as a zero symbol, and a short last group yields the bytes
  // its symbols complete.
  void SetAsBase64(std::string_view text);

  // Deflates (zlib framing, default level) and APPENDS the compressed bytes; count 0 does
  // nothing.
  void Compress(const uint8_t* data, int64_t count);
  // The same over the UTF-16LE code units of text.
  void Compress(std::string_view text);
  void CompressBytes(std::string_view bytes);

  // Inflates one zlib stream and APPENDS the inflated bytes. Corrupt input raises
  // EZDecompressionError with zlib's message, keeping what was appended before; input that
  // ends before the zlib stream does stops quietly with the bytes inflated so far. Bytes after
  // the end of the zlib stream are ignored (the source may be read past it).
  void Decompress(const uint8_t* data, int64_t count);
  void Decompress(IByteSource& stream);
  // `Decompress` that raises EZDecompressionLimitError before the inflated bytes of this call
  // pass max_bytes (nothing beyond the limit is appended): for input from the network.
  void DecompressLimited(const uint8_t* data, int64_t count, uint64_t max_bytes);
  void DecompressLimited(IByteSource& stream, uint64_t max_bytes);

  // Deflates the whole content (default level) into stream: gzip framing when gzip is true,
  // zlib framing otherwise. The content is unchanged.
  void CompressToStream(IByteSink& stream, bool gzip = false) const;
  std::string CompressToString(bool gzip = false) const;
  void CompressToFile(const std::string& file_name, bool gzip = false) const;

  // The content inflated as one zlib stream and read as UTF-16LE text (returned as UTF-8).
  // Empty content gives "". Input that ends early raises EZDecompressionError "buffer error".
  std::string DecompressTo() const;
  // The content inflated as one zlib stream into stream. Empty content writes nothing; input
  // that ends early raises "buffer error" (a cut-short object is not passed off as whole).
  void DecompressTo(IByteSink& stream) const;
  void DecompressToFile(const std::string& file_name) const;

 private:
  void Append(const void* data, std::size_t count);

  std::vector<uint8_t> FBlock;  // size() is the data count, capacity() the allocated size
  bool FChanged = false;
};

// Free helpers over memory, for code that has no buffer at hand.
// Deflates data with zlib (or gzip) framing at the default level.
std::string ZCompress(std::string_view data, bool gzip = false);
// Inflates one complete zlib stream; corrupt or cut-short input raises EZDecompressionError,
// more than max_bytes of output raises EZDecompressionLimitError.
std::string ZDecompress(std::string_view data, uint64_t max_bytes = UINT64_MAX);
// The same, handing the inflated bytes to emit piece by piece instead of gathering them: a
// reader that consumes them as they come never holds the whole inflated text.
void ZDecompressEach(std::string_view data, uint64_t max_bytes,
                     const std::function<void(std::string_view)>& emit);

}  // namespace qm
