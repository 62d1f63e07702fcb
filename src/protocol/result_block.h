#pragma once

// The result block: the rows of a query as one zlib-compressed byte block, written by the
// server and read by the client.
//
// Before compression the block is, per row, the values separated by the field separator
// (U+E001) and ended by the row terminator (U+E002); a null value is the marker "NULL;". Values
// are text, not escaped, in UTF-8 (or, in the UTF-16 mode, as UTF-16LE code units with the
// markers in UTF-16LE too). Byte values travel as their text form: each byte read as an
// ISO-8859-1 character. No header, no counts: the client knows the columns from the reply's
// "Fields" headers.
//
// Per-call objects only: safe to use from several threads at once on different blocks.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/result_rows.h"
#include "support/exception.h"
#include "support/igzip_stream.h"
#include "support/zstream.h"

namespace qm {

inline constexpr std::string_view kResultNullMarker = "NULL;";
inline constexpr std::string_view kResultFieldSeparator = "\xEE\x80\x81";  // U+E001
inline constexpr std::string_view kResultRowTerminator = "\xEE\x80\x82";   // U+E002

// A result whose compressed block grew past the bound the compressor was given.
class EResultTooLarge : public EprmException {
 public:
  using EprmException::EprmException;
};

// The level a compressor takes when no zlib level was chosen: not a zlib level, it deflates with
// ISA-L's igzip at kResultBlockIgzipLevel. Any zlib level (Z_DEFAULT_COMPRESSION, 0..9) deflates
// with zlib at that level. Both write a standard zlib stream; igzip at its level 1 deflates a
// large block several times faster than zlib's default level and, for rows of short text, a
// smaller block too.
inline constexpr int kResultBlockDefaultLevel = -2;
inline constexpr int kResultBlockIgzipLevel = 1;

enum class TqmdResultEncoding { UTF8, UTF16 };

// A zlib stream (RFC 1950 framing) written piece by piece into memory, by igzip or by zlib (see
// kResultBlockDefaultLevel). The compressed bytes
// gather in fixed pieces, so growing never copies or zero-fills what is already there.
//
// A small block that is the same as the last small block this thread finished at the same level
// (a repeated statement's one row) is not deflated again: the bytes are the same.
//
// Once the input grows large, deflating moves to a thread of the compressor's own, so that the
// caller goes on producing input (reading rows from a database) while earlier input is
// compressed. The input waiting for that thread is a few fixed stages, so the memory held stays
// the compressed bytes plus those stages. The bytes of the stream are the same either way.
class TqmdZCompressor {
 public:
  explicit TqmdZCompressor(int Level = kResultBlockDefaultLevel);
  TqmdZCompressor(const TqmdZCompressor&) = delete;
  TqmdZCompressor& operator=(const TqmdZCompressor&) = delete;
  ~TqmdZCompressor();

  // The compressed block may grow to at most Bytes (0: no bound); past it, Write or Finish
  // raises EResultTooLarge, and the compressor is spent.
  void SetLimit(std::uint64_t Bytes) { FLimit = Bytes; }

  void Write(std::string_view bytes);
  // The size of the block Finish handed over.
  std::size_t CompressedSize() const { return FTotal; }
  // The bytes written so far, before compression.
  std::size_t InputSize() const { return FInput; }
  // Ends the stream and hands the compressed bytes over in one block; the compressor is spent.
  std::vector<std::uint8_t> Finish();

 private:
  // Deflates count bytes of data; Finish ends the stream after them.
  void Deflate(const std::uint8_t* data, std::size_t count, bool Finish);
  void DeflateZlib(const std::uint8_t* data, std::size_t count, bool Finish);
  void DeflateIgzip(const std::uint8_t* data, std::size_t count, bool Finish);
  // Room for compressed bytes at the end of the last piece (a new piece when it is full).
  std::pair<std::uint8_t*, std::size_t> OutputRoom();
  // Counts Count bytes written into the room OutputRoom gave; raises EResultTooLarge past the
  // limit.
  void Produced(std::size_t Count);

  // Small writes (a value, a marker) gather here and reach zlib together: a deflate call per
  // value costs more than the copy.
  void FlushStage();
  // Hands a full stage to the deflating thread (starting it on the first call) and takes an
  // empty one.
  void PassStage(std::size_t Count);

  class TBackground;

  struct TPiece {
    std::unique_ptr<std::uint8_t[]> Data;
    std::size_t Size = 0;
  };

  // Takes the deflating stream, moving what the small stage holds into its scratch buffer.
  void TakeStream();

  // A block of a row or two is written whole into the small stage and may never need a zlib
  // stream of its own (see Finish).
  static constexpr std::size_t kSmallStage = 256;

  int FLevel;
  // One of the two is taken once the input outgrows the small stage.
  std::optional<TZStreamLease> FLease;
  std::optional<TIgzipStreamLease> FIgzip;
  std::uint8_t FSmallStage[kSmallStage];
  std::uint8_t* FStage = FSmallStage;  // the small stage, then the lease's scratch buffer
  std::size_t FStageSize = kSmallStage;
  std::size_t FStaged = 0;
  std::vector<TPiece> FPieces;
  std::size_t FLastUsed = 0;  // bytes used in the last piece
  std::size_t FTotal = 0;
  std::uint64_t FLimit = 0;
  std::size_t FInput = 0;
  std::size_t FFlushedStages = 0;  // deflated on the caller's thread, before any background
  bool FFinished = false;
  std::unique_ptr<TBackground> FBackground;  // last: its thread uses the members above
};

// Writes values and markers in the block's text form into a compressor.
class TResultBlockWriter {
 public:
  TResultBlockWriter(TqmdZCompressor& Compressor, TqmdResultEncoding Encoding);
  void Value(std::string_view utf8);
  // A byte value: its text form.
  void Bytes(std::string_view bytes);
  void Null() { FCompressor.Write(FNull); }
  void Separator() { FCompressor.Write(FSeparator); }
  void Terminator() { FCompressor.Write(FTerminator); }

 private:
  TqmdZCompressor& FCompressor;
  TqmdResultEncoding FEncoding;
  std::string FNull;
  std::string FSeparator;
  std::string FTerminator;
};

// Whether a value's UTF-8 text can travel in a block: values are not escaped, so a text equal
// to the null marker or holding a separator character (U+E001, U+E002) would be read back as
// something else.
inline bool ResultValueCarriable(std::string_view utf8) {
  if (utf8.size() == kResultNullMarker.size() && utf8 == kResultNullMarker)
    return false;
  for (std::size_t at = utf8.find('\xEE'); at != std::string_view::npos;
       at = utf8.find('\xEE', at + 1)) {
    const std::string_view marker = utf8.substr(at, 3);
    if (marker == kResultFieldSeparator || marker == kResultRowTerminator)
      return false;
  }
  return true;
}

// Refuses a result whose value at (Column, Row, counting rows from 1) cannot travel in a block.
class EqmUncarriableValue : public EprmException {
 public:
  EqmUncarriableValue(std::string_view Column, std::uint64_t Row);
};

// The text form of a byte value (bytes as ISO-8859-1 characters, in UTF-8), and back. A
// character above U+00FF has no byte and reads as "?".
std::string ResultTextOfBytes(std::string_view bytes);
std::string ResultBytesOfText(std::string_view utf8);

// A block that cannot be read as rows of the listed columns.
class EqmResultError : public EprmException {
 public:
  using EprmException::EprmException;
};

// Splits an inflated block into rows of ColumnCount values. With ColumnCount 0 each row
// terminator is an empty row. Raises EqmResultError when a row has another number of values or
// the block does not end with a row terminator: values are not escaped on the wire, so a
// mismatch means the block cannot be trusted column by column. Values of the columns listed in
// ByteColumns (indexes; others are ignored) are turned from their text form into their bytes.
TqmRows DecodeResultBlock(std::string_view Block, std::size_t ColumnCount,
                          const std::vector<std::size_t>& ByteColumns = {});

// The same over an inflated block that arrives in pieces (as inflating hands it out), so that
// the whole inflated text is never held: rows are decoded as soon as their terminator arrives
// and only an unfinished row is kept between pieces.
class TResultBlockDecoder {
 public:
  explicit TResultBlockDecoder(std::size_t ColumnCount,
                               const std::vector<std::size_t>& ByteColumns = {});
  void Feed(std::string_view Piece);
  // The rows; raises EqmResultError when the block ended inside a row.
  TqmRows Finish();

 private:
  // Decodes the rows that end in Text, which starts at the start of a row, scanning from From
  // (the bytes before it were scanned by an earlier call); returns the bytes of the whole rows.
  std::size_t DecodeRows(std::string_view Text, std::size_t From);
  // Checks and stores the row whose text starts at Row.
  void EndRow(const char* Row);

  // Where a value lies, from the start of its row.
  struct TSpan {
    std::size_t Begin;
    std::size_t End;
  };

  std::size_t FColumnCount;
  std::vector<char> FByteColumn;  // by column index: whether the column holds bytes
  TqmRows FRows;
  // The row being read: its first values' places (at most ColumnCount, reused from row to
  // row), how many it has so far, where its current value starts and how far it was scanned.
  std::vector<TSpan> FSpans;
  std::size_t FValueCount = 0;
  std::size_t FValueStart = 0;
  std::size_t FScanned = 0;
  bool FStrayValues = false;  // a row of a result without columns that has some
  std::string FCarry;         // the start of a row whose terminator has not arrived yet
};

}  // namespace qm
