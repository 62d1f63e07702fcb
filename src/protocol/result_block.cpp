#include "protocol/result_block.h"

#include <algorithm>

#include "support/utf16.h"

namespace qm {

// --- TqmdZCompressor ---

namespace {
// Output gathers in pieces of this size; the last one is cut to what was used.
constexpr std::size_t kPiece = 256 * 1024;
// Input gathers up to this size before it is deflated.
constexpr std::size_t kStage = 32 * 1024;
}  // namespace

TqmdZCompressor::TqmdZCompressor(int Level)
    : FLease(TZStreamLease::Deflater(Level, TZStreamLease::kZlibWindowBits)),
      FStage(std::make_unique_for_overwrite<std::uint8_t[]>(kStage)) {}

void TqmdZCompressor::FlushStage() {
  if (FStaged == 0)
    return;
  const std::size_t count = FStaged;
  FStaged = 0;
  Deflate(FStage.get(), count, Z_NO_FLUSH);
}

void TqmdZCompressor::Deflate(const std::uint8_t* data, std::size_t count, int flush) {
  z_stream& stream = FLease.Stream();
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(count);
  for (;;) {
    if (FPieces.empty() || FLastUsed == kPiece) {
      FPieces.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(kPiece));
      FLastUsed = 0;
    }
    stream.next_out = FPieces.back().get() + FLastUsed;
    stream.avail_out = static_cast<uInt>(kPiece - FLastUsed);
    const int result = deflate(&stream, flush);
    const std::size_t produced = kPiece - FLastUsed - stream.avail_out;
    FLastUsed += produced;
    FTotal += produced;
    if (result == Z_STREAM_ERROR)
      throw EprmException("deflate failed");
    if (flush == Z_FINISH ? result == Z_STREAM_END : stream.avail_in == 0 && stream.avail_out != 0)
      break;
  }
}

void TqmdZCompressor::Write(std::string_view bytes) {
  if (FFinished)
    throw EprmException("deflate failed");
  if (bytes.size() <= kStage - FStaged) {
    std::copy(bytes.begin(), bytes.end(), FStage.get() + FStaged);
    FStaged += bytes.size();
    return;
  }
  FlushStage();
  if (bytes.size() < kStage) {
    std::copy(bytes.begin(), bytes.end(), FStage.get());
    FStaged = bytes.size();
    return;
  }
  // uInt is 32 bits: feed very large values in pieces.
  constexpr std::size_t kMaxIn = 1u << 30;
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), kMaxIn);
    Deflate(reinterpret_cast<const std::uint8_t*>(bytes.data()), n, Z_NO_FLUSH);
    bytes.remove_prefix(n);
  }
}

std::vector<std::uint8_t> TqmdZCompressor::Finish() {
  if (FFinished)
    throw EprmException("deflate failed");
  FlushStage();
  Deflate(nullptr, 0, Z_FINISH);
  FFinished = true;
  // One block for the reply; each piece is freed as soon as it is copied, so the peak stays
  // near one block.
  std::vector<std::uint8_t> block;
  block.reserve(FTotal);
  for (std::size_t i = 0; i < FPieces.size(); ++i) {
    const std::size_t used = i + 1 == FPieces.size() ? FLastUsed : kPiece;
    block.insert(block.end(), FPieces[i].get(), FPieces[i].get() + used);
    FPieces[i].reset();
  }
  FPieces.clear();
  return block;
}

// --- TResultBlockWriter ---

TResultBlockWriter::TResultBlockWriter(TqmdZCompressor& Compressor, TqmdResultEncoding Encoding)
    : FCompressor(Compressor), FEncoding(Encoding) {
  if (FEncoding == TqmdResultEncoding::UTF16) {
    FNull = Utf8ToUtf16Le(kResultNullMarker);
    FSeparator = Utf8ToUtf16Le(kResultFieldSeparator);
    FTerminator = Utf8ToUtf16Le(kResultRowTerminator);
  } else {
    FNull = kResultNullMarker;
    FSeparator = kResultFieldSeparator;
    FTerminator = kResultRowTerminator;
  }
}

void TResultBlockWriter::Value(std::string_view utf8) {
  if (FEncoding == TqmdResultEncoding::UTF16)
    FCompressor.Write(Utf8ToUtf16Le(utf8));
  else
    FCompressor.Write(utf8);
}

void TResultBlockWriter::Bytes(std::string_view bytes) {
  Value(ResultTextOfBytes(bytes));
}

std::string ResultTextOfBytes(std::string_view bytes) {
  return Latin1ToUtf8(bytes);
}

std::string ResultBytesOfText(std::string_view utf8) {
  return Utf8ToLatin1(utf8);
}

// --- decoding ---

namespace {

TqmValue DecodeValue(std::string_view text) {
  if (text == kResultNullMarker)
    return std::nullopt;
  return std::string(text);
}

}  // namespace

std::vector<TqmRow> DecodeResultBlock(std::string_view Block, std::size_t ColumnCount) {
  std::vector<TqmRow> rows;
  std::size_t pos = 0;
  while (pos < Block.size()) {
    const std::size_t end = Block.find(kResultRowTerminator, pos);
    if (end == std::string_view::npos)
      throw EqmResultError("Result block ends inside row " + std::to_string(rows.size() + 1));
    std::string_view line = Block.substr(pos, end - pos);
    pos = end + kResultRowTerminator.size();

    TqmRow row;
    if (ColumnCount > 0) {
      row.reserve(ColumnCount);
      std::size_t start = 0;
      while (true) {
        const std::size_t sep = line.find(kResultFieldSeparator, start);
        if (sep == std::string_view::npos) {
          row.push_back(DecodeValue(line.substr(start)));
          break;
        }
        row.push_back(DecodeValue(line.substr(start, sep - start)));
        start = sep + kResultFieldSeparator.size();
      }
    } else if (!line.empty()) {
      throw EqmResultError("Result row " + std::to_string(rows.size() + 1) +
                           " has values but the result has no columns");
    }
    if (row.size() != ColumnCount) {
      throw EqmResultError("Result row " + std::to_string(rows.size() + 1) + " has " +
                           std::to_string(row.size()) + " values, expected " +
                           std::to_string(ColumnCount));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace qm
