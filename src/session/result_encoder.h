#pragma once

// The result block: the rows of an executed command as one zlib-compressed byte block.
//
// Before compression the block is, per row, the values separated by the field separator
// (U+E001) and ended by the row terminator (U+E002); a null value is the marker "NULL;". Values
// are the text of the field, not escaped, in UTF-8 (or, in the UTF-16 mode, as UTF-16LE code
// units with the markers in UTF-16LE too). No header, no counts: the client knows the columns
// from the reply's "Fields" headers.
//
// Per-call objects only: safe to use from several threads at once on different commands.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/sql_connections.h"
#include "protocol/stream_data.h"

namespace qm {

inline constexpr std::string_view kResultNullMarker = "NULL;";
inline constexpr std::string_view kResultFieldSeparator = "\xEE\x80\x81";  // U+E001
inline constexpr std::string_view kResultRowTerminator = "\xEE\x80\x82";   // U+E002

enum class TqmdResultEncoding { UTF8, UTF16 };

// A zlib stream (RFC 1950 framing, default level) written piece by piece into memory.
class TqmdZCompressor {
 public:
  TqmdZCompressor();
  ~TqmdZCompressor();
  TqmdZCompressor(const TqmdZCompressor&) = delete;
  TqmdZCompressor& operator=(const TqmdZCompressor&) = delete;

  void Write(std::string_view bytes);
  // Ends the stream and hands the compressed bytes over; the compressor is spent.
  std::vector<std::uint8_t> Finish();

 private:
  void Deflate(const std::uint8_t* data, std::size_t count, int flush);

  struct TState;
  std::unique_ptr<TState> FState;
  std::vector<std::uint8_t> FOutput;
};

// Steps the executed command from its current row to its end, writing every row into the
// compressor, and returns the compressed block. vRemoteIP names the client in the debug timing
// line. The engine's errors pass on.
std::vector<std::uint8_t> EncodeResultRows(TmncSQLCommand& vCMD, const std::string& vRemoteIP,
                                           TqmdResultEncoding vEncoding = TqmdResultEncoding::UTF8);

// The header type that describes a column of type vType in the reply's "Fields" section.
TDataHeaderType FieldHeaderType(TmnDataType vType);

// Lower case for comparing column names: ASCII, Latin-1, Greek and Cyrillic capitals.
std::string LowerFieldName(std::string_view vName);

}  // namespace qm
