#pragma once

#include <cstdint>
#include <string>

#include "support/byte_stream.h"
#include "support/thread_annotations.h"

namespace qm {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The abstract byte stream every stream of the system derives from: memory streams, the buffered
// streams and the socket streams. Not thread-safe; one thread uses a stream at a time. The
// object's own monitor (`Monitor`) lets callers that share one stream serialise whole exchanges.
// It is also a byte source and sink for the support layer (the byte buffer's stream operations).
class TStream : public IByteSource, public IByteSink {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  ~TStream() override = default;

  // Returns the bytes read (0 or less when nothing came).
  std::int64_t Read(void* Buffer, std::int64_t Count) override = 0;
  // Returns the bytes written.
  std::int64_t Write(const void* Buffer, std::int64_t Count) override = 0;
  // Returns the new position. The base has no position and always answers 0.
  virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin);

  // Reads exactly Count bytes or raises EmnStreamException "Stream read error".
  void ReadBuffer(void* Buffer, std::int64_t Count);
  // Writes exactly Count bytes or raises EmnStreamException "Stream write error".
  void WriteBuffer(const void* Buffer, std::int64_t Count);

  // The per-object monitor. Nothing in the stream takes it by itself.
  TMutex& Monitor() RETURN_CAPABILITY(FMonitor) { return FMonitor; }

 private:
  TMutex FMonitor;
};

// A growable in-memory stream with a position. Reads stop at the end of the data; writes
// overwrite from the position and extend the data.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string Data) : FData(std::move(Data)) {}

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;

  std::int64_t Size() const { return static_cast<std::int64_t>(FData.size()); }
  void SetSize(std::int64_t Size);
  std::int64_t Position() const { return FPosition; }
  void SetPosition(std::int64_t Position) { Seek(Position, TSeekOrigin::soBeginning); }
  void Clear();

  // The whole content, whatever the position.
  const std::string& DataString() const { return FData; }
  const char* Memory() const { return FData.data(); }

 private:
  std::string FData;
  std::int64_t FPosition = 0;
};

}  // namespace qm
