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

#include "protocol/stream_data.h"
#include "support/exception.h"

namespace qm {

// A reply whose result block cannot be read as rows of the listed columns.
class EqmResultError : public EprmException {
 public:
  using EprmException::EprmException;
};

struct TqmColumn {
  std::string Name;
  TDataHeaderType DataType = dhtString;
};

// One value of a row; std::nullopt is SQL null.
using TqmValue = std::optional<std::string>;
using TqmRow = std::vector<TqmValue>;

struct TqmResultSet {
  std::vector<TqmColumn> Columns;
  std::vector<TqmRow> Rows;
  // The reply's "Notices" section, in order: (name, text).
  std::vector<std::pair<std::string, std::string>> Notices;

  // Whether the statement described columns at all (a SELECT does, even with no rows).
  bool HasColumns() const { return !Columns.empty(); }
};

// The markers of the inflated data block.
inline constexpr std::string_view kNullMarker = "NULL;";
inline constexpr std::string_view kFieldSeparator = "\xEE\x80\x81";  // U+E001
inline constexpr std::string_view kRowTerminator = "\xEE\x80\x82";   // U+E002

// A result block may inflate to at most this many bytes unless the caller says otherwise.
inline constexpr std::uint64_t kMaxResultBlock = std::uint64_t{1} << 30;

// Splits an inflated block into rows of ColumnCount values. With ColumnCount 0 each row
// terminator is an empty row. Raises EqmResultError when a row has another number of values
// or the block does not end with a row terminator: values are not escaped on the wire, so a
// mismatch means the block cannot be trusted column by column.
std::vector<TqmRow> DecodeResultBlock(std::string_view Block, std::size_t ColumnCount);

// Columns, notices and rows of a reply. The buffer is inflated when ("System",
// "BufferCompressed") is true; a block that does not inflate raises EZDecompressionError.
TqmResultSet DecodeResult(const TStreamData& Reply, std::uint64_t MaxBlock = kMaxResultBlock);

// The sessions of a "Status" JSON text as a result set with the columns Handle, RemoteIP,
// LastAccess ("yyyy-mm-dd hh:nn:ss"), Commands, Transactions and Resource. The counts the server
// left out read as 0, the other members as null. Raises EqmResultError when the text is not a
// status object.
TqmResultSet DecodeStatus(std::string_view Json);

}  // namespace qm
