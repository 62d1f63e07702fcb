#include "transport/stream.h"

#include <algorithm>
#include <cstring>

#include "support/exception.h"

namespace qm {

std::int64_t TStream::Seek(std::int64_t /*Offset*/, TSeekOrigin /*Origin*/) {
  return 0;
}

void TStream::ReadBuffer(void* Buffer, std::int64_t Count) {
  if (Count > 0 && Read(Buffer, Count) != Count)
    throw EmnStreamException("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, std::int64_t Count) {
  if (Count > 0 && Write(Buffer, Count) != Count)
    throw EmnStreamException("Stream write error");
}

std::int64_t TMemoryStream::Read(void* Buffer, std::int64_t Count) {
  if (Count <= 0 || FPosition >= Size())
    return 0;
  const std::int64_t n = std::min(Count, Size() - FPosition);
  std::memcpy(Buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0)
    return 0;
  const auto end = static_cast<std::size_t>(FPosition + Count);
  if (end > FData.size())
    FData.resize(end);
  std::memcpy(FData.data() + FPosition, Buffer, static_cast<std::size_t>(Count));
  FPosition += Count;
  return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  std::int64_t base = 0;
  if (Origin == TSeekOrigin::soCurrent)
    base = FPosition;
  if (Origin == TSeekOrigin::soEnd)
    base = Size();
  // A position beyond the end is allowed (a later write fills the gap with zeros); before the
  // start is not.
  FPosition = std::max<std::int64_t>(0, base + Offset);
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t Size) {
  FData.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, Size)));
  FPosition = std::min(FPosition, this->Size());
}

void TMemoryStream::Clear() {
  FData.clear();
  FPosition = 0;
}

}  // namespace qm
