#include "transport/wrapper_stream.h"

#include "support/exception.h"

namespace qm {

TmnWrapperStream::TmnWrapperStream(TStream* Stream, std::string EndOfLine)
    : TmnBufferStream(std::move(EndOfLine)), FStream(Stream) {
  if (FStream == nullptr) {
    throw EmnStreamException("Stream = nil");
  }
}

TmnWrapperStream::TmnWrapperStream(std::unique_ptr<TStream> Stream, std::string EndOfLine)
    : TmnBufferStream(std::move(EndOfLine)), FOwnedStream(std::move(Stream)) {
  FStream = FOwnedStream.get();
  if (FStream == nullptr) {
    throw EmnStreamException("Stream = nil");
  }
}

TmnWrapperStream::~TmnWrapperStream() {
  // Close while this class's hooks are still in place; the wrapped stream goes after.
  Close();
}

void TmnWrapperStream::SetStream(TStream* Stream) {
  if (Stream == FStream) {
    return;
  }
  FOwnedStream.reset();
  FStream = Stream;
}

std::int64_t TmnWrapperStream::DoRead(void* Buffer, std::int64_t Count) {
  if (FStream == nullptr) {
    FEndOfStream = true;
    return 0;
  }
  std::int64_t result = FStream->Read(Buffer, Count);
  if (result <= 0) {
    FEndOfStream = true;
  }
  return result;
}

std::int64_t TmnWrapperStream::DoWrite(const void* Buffer, std::int64_t Count) {
  return FStream == nullptr ? 0 : FStream->Write(Buffer, Count);
}

}  // namespace qm
