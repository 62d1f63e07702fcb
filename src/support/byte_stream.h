#pragma once

// The minimal byte-stream side that support code needs (the buffer's stream operations), so
// that support does not depend on the transport streams. The signatures match those of
// transport's TStream (`Read`/`Write` over void* and a 64-bit count), so a stream class can
// implement these interfaces directly, or be wrapped by a two-line adapter.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace qm {

// A source of bytes read from its current position.
// Contract: `Read` returns the bytes delivered (0 or less when nothing came); it returns fewer
// than Count only at the end of the data, so a short read ends a transfer.
class IByteSource {
 public:
  virtual ~IByteSource() = default;
  virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
};

// A sink of bytes. `Write` returns the bytes taken; fewer than Count is a failure.
class IByteSink {
 public:
  virtual ~IByteSink() = default;
  virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
};

// Reads a view of memory that the caller keeps alive.
class TMemoryByteSource : public IByteSource {
 public:
  explicit TMemoryByteSource(std::string_view data) : FData(data) {}
  std::int64_t Read(void* Buffer, std::int64_t Count) override {
    if (Count <= 0)
      return 0;
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(Count), FData.size() - FPos);
    if (n > 0)
      std::memcpy(Buffer, FData.data() + FPos, n);
    FPos += n;
    return static_cast<std::int64_t>(n);
  }
  std::size_t Position() const { return FPos; }

 private:
  std::string_view FData;
  std::size_t FPos = 0;
};

// Appends to a string that the caller keeps alive.
class TStringByteSink : public IByteSink {
 public:
  explicit TStringByteSink(std::string& target) : FTarget(target) {}
  std::int64_t Write(const void* Buffer, std::int64_t Count) override {
    if (Count <= 0)
      return 0;
    FTarget.append(static_cast<const char*>(Buffer), static_cast<std::size_t>(Count));
    return Count;
  }

 private:
  std::string& FTarget;
};

}  // namespace qm
