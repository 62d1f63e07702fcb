#pragma once

// The client's view of a query result: the columns a reply lists under "Fields" and the rows of
// its compressed data block, decoded into text values (null kept apart from the empty text).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/result_block.h"
#include "protocol/stream_data.h"
#include "support/exception.h"

namespace qm {

struct TqmColumn {
  std::string Name;
  TDataHeaderType DataType = dhtString;
};

struct TqmResultSet {
  std::vector<TqmColumn> Columns;
  TqmRows Rows;
  // The reply's "Notices" section, in order: (name, text).
  std::vector<std::pair<std::string, std::string>> Notices;

  // Whether the statement described columns at all (a SELECT does, even with no rows).
  bool HasColumns() const { return !Columns.empty(); }
};

// The markers of the inflated data block.
inline constexpr std::string_view kNullMarker = kResultNullMarker;
inline constexpr std::string_view kFieldSeparator = kResultFieldSeparator;
inline constexpr std::string_view kRowTerminator = kResultRowTerminator;

// A result block may inflate to at most this many bytes unless the caller says otherwise.
inline constexpr std::uint64_t kMaxResultBlock = std::uint64_t{1} << 30;

// Columns, notices and rows of a reply. The buffer is inflated when ("System",
// "BufferCompressed") is true; a block that does not inflate raises EZDecompressionError.
// Values of the columns named in ByteColumns (indexes) are turned back from their text form into
// the bytes they are (ResultBytesOfText), for a caller that knows those columns hold bytes.
TqmResultSet DecodeResult(const TStreamData& Reply, std::uint64_t MaxBlock = kMaxResultBlock,
                          const std::vector<std::size_t>& ByteColumns = {});

// The sessions of a "Status" JSON text as a result set with the columns Handle, RemoteIP,
// LastAccess ("yyyy-mm-dd hh:nn:ss"), Commands, Transactions and Resource. The counts the server
// left out read as 0, the other members as null. Raises EqmResultError when the text is not a
// status object.
TqmResultSet DecodeStatus(std::string_view Json);

}  // namespace qm
