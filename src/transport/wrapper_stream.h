#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/buffer_stream.h"

namespace qm {

// Gives any platform stream (memory, file) the buffered stream's line reading and writing. It
// is connected until the wrapped stream first delivers nothing (`EndOfStream`). Used by one
// thread at a time.
class TmnWrapperStream : public TmnBufferStream {
 public:
  // Not owned: `Stream` must outlive the wrapper. A null stream raises EmnStreamException
  // "Stream = nil".
  explicit TmnWrapperStream(TStream* Stream, std::string EndOfLine = "\n");
  // Owned: freed with the wrapper.
  explicit TmnWrapperStream(std::unique_ptr<TStream> Stream, std::string EndOfLine = "\n");
  // Closes as a buffered stream, then frees the wrapped stream when owned.
  ~TmnWrapperStream() override;

  bool Connected() override { return !FEndOfStream; }
  bool EndOfStream() const { return FEndOfStream; }
  bool StreamOwned() const { return FOwnedStream != nullptr; }
  TStream* Stream() const { return FStream; }
  // Frees the old stream when it was owned; the new one is not owned.
  void SetStream(TStream* Stream);

 protected:
  std::int64_t DoRead(void* Buffer, std::int64_t Count) override;
  std::int64_t DoWrite(const void* Buffer, std::int64_t Count) override;

 private:
  std::unique_ptr<TStream> FOwnedStream;  // set when the wrapped stream is owned
  TStream* FStream = nullptr;
  bool FEndOfStream = false;
};

}  // namespace qm
