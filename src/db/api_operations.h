#pragma once

// The services of a connection that are not SQL and that a session's "ExecuteAPI" offers:
// large objects by their numeric id. An engine without them offers none
// (TmncSQLConnection::APIOperations is null).
//
// Used by one thread at a time, as its connection.

#include <cstdint>

#include "support/byte_stream.h"

namespace qm {

class IDBAPIOperations {
 public:
  virtual ~IDBAPIOperations() = default;
  // A copy of object `oid` in this database; the new id, 0 when it could not be created.
  virtual std::uint32_t loCopy(std::uint32_t oid) = 0;
  // Writes object `oid` to `stream`: the bytes copied, -1 when it cannot be opened, 0 for id 0.
  virtual std::int64_t loExport(std::uint32_t oid, IByteSink& stream) = 0;
  // Stores `stream` (read to its end) as object `oid`, or as a new object chosen by the
  // database for id 0; the object's id.
  virtual std::uint32_t loImport(IByteSource& stream, std::uint32_t oid = 0) = 0;
  // The engine's result of unlinking (1 on success, -1 on failure).
  virtual int loUnlink(std::uint32_t oid) = 0;
};

}  // namespace qm
