#pragma once

// Turns the rows of an executed command into the reply's result block (protocol/result_block.h)
// and describes its columns for the "Fields" headers.
//
// Per-call objects only: safe to use from several threads at once on different commands.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/sql_connections.h"
#include "protocol/result_block.h"
#include "protocol/stream_data.h"

namespace qm {

// The zlib level of result blocks: zlib's default unless the operator set another (0..9, or
// -1 for the default). Process-wide; read once per block.
void SetResultBlockLevel(int vLevel);
int ResultBlockLevel();

// The largest compressed result block a reply may carry (bytes; 0: no bound). A result that
// passes it fails with EResultTooLarge and its block is freed. Process-wide; read once per
// block.
inline constexpr std::uint64_t kDefaultMaxResultSize = std::uint64_t{1} << 30;
void SetMaxResultSize(std::uint64_t vBytes);
std::uint64_t MaxResultSize();

// Steps the executed command from its current row to its end, writing every row into the
// compressor at ResultBlockLevel(), and returns the compressed block. Byte values are written
// in their text form. vRemoteIP names the client in the debug timing line. The engine's errors
// pass on.
std::vector<std::uint8_t> EncodeResultRows(TmncSQLCommand& vCMD, const std::string& vRemoteIP,
                                           TqmdResultEncoding vEncoding = TqmdResultEncoding::UTF8);

// The header type that describes a column of type vType in the reply's "Fields" section.
TDataHeaderType FieldHeaderType(TmnDataType vType);

// Lower case for comparing column names: ASCII, Latin-1, Greek and Cyrillic capitals.
std::string LowerFieldName(std::string_view vName);

}  // namespace qm
