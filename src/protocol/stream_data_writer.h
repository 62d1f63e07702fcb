#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/stream_data.h"
#include "transport/buffer_stream.h"
#include "transport/socket_stream.h"

namespace qm {

// A client socket stream to an address and port, with no socket options. `HID` is the tick
// count taken when the stream was made, an identifier of the client connection.
class TpdcClientSocketStream : public TmnClientSocket {
 public:
  TpdcClientSocketStream(const std::string& Address, const std::string& Port);
  std::int64_t HID() const { return FHID; }

 private:
  std::int64_t FHID;
};

// What one incoming message may make the reader hold. The defaults are generous; a message over
// a bound is refused (EStreamDataLimit) instead of being loaded.
struct TStreamDataLimits {
  static constexpr std::int64_t kDefaultMaxHeaders = 100000;
  static constexpr std::int64_t kDefaultMaxBody = std::int64_t{64} << 20;
  static constexpr std::uint64_t kDefaultMaxHeaderText = std::uint64_t{64} << 20;
  static constexpr std::uint64_t kDefaultInflateAllowance = std::uint64_t{4} << 20;
  static constexpr std::uint64_t kDefaultInflateRatio = 256;
  static constexpr std::int64_t kDefaultMaxRawBlock = std::int64_t{1} << 30;

  // Headers in one message, either form.
  std::int64_t MaxHeaders = kDefaultMaxHeaders;
  // The compressed body (binary form) or the JSON text, in bytes.
  std::int64_t MaxBody = kDefaultMaxBody;
  // The inflated header text: at most MaxHeaderText, and at most InflateAllowance plus
  // InflateRatio times the compressed bytes that came, so that a small message cannot make
  // the reader hold much more than it sent.
  std::uint64_t MaxHeaderText = kDefaultMaxHeaderText;
  std::uint64_t InflateAllowance = kDefaultInflateAllowance;
  std::uint64_t InflateRatio = kDefaultInflateRatio;
  // The raw block, in bytes.
  std::int64_t MaxRawBlock = kDefaultMaxRawBlock;

  std::uint64_t HeaderTextBound(std::int64_t CompressedSize) const;
};

// A message over one of the reader's bounds. InStep tells whether the whole message was read
// anyway (the connection can go on) or its size alone was refused (the rest is unread).
class EStreamDataLimit : public Exception {
 public:
  EStreamDataLimit(const std::string& Message, bool InStep) : Exception(Message), FInStep(InStep) {}
  bool InStep() const { return FInStep; }

 private:
  bool FInStep;
};

// Fewer bytes arrived than a size field announced: the peer went quiet or closed mid-message.
class EStreamDataTruncated : public Exception {
 public:
  using Exception::Exception;
};

// A message bound to a stream: it sends itself as a request (WriteData) or as a reply
// (WriteResponse, WriteError) and reads the other side's message into `Response`.
//
// Wire form, binary (dpVSK): a 10-byte size field, the zlib-compressed UTF-16LE VSK text of the
// message, a size field, the raw block. JSON (dpJSON): a size field and the UTF-8 JSON text.
// A size field is the decimal length padded with blanks to 10 bytes.
//
// Not thread-safe as a message. WriteData holds the stream's monitor across request and reply,
// so threads that share one client stream do not interleave their exchanges.
class TStreamDataWriter : public TStreamData {
 public:
  // Blocks are read in pieces of this size, so memory follows the bytes that really arrive.
  static constexpr std::size_t kReadChunk = 64 * 1024;
  // A raw block up to this size is sent in the same write as the message before it.
  static constexpr std::size_t kCoalesceLimit = 256 * 1024;

  // Not owned: the stream must outlive the writer.
  explicit TStreamDataWriter(TmnBufferStream& Stream, TDataProtocol Protocol = dpVSK);
  // Owned (FreeStream).
  explicit TStreamDataWriter(std::unique_ptr<TmnBufferStream> Stream,
                             TDataProtocol Protocol = dpVSK);
  ~TStreamDataWriter() override;

  std::string ClassName() const override { return "TStreamDataWriter"; }

  TmnBufferStream& Stream() const { return *FStream; }
  bool FreeStream() const { return FOwnedStream != nullptr; }
  TStreamData& Response() { return *FResponse; }
  const TStreamData& Response() const { return *FResponse; }
  TDataProtocol Protocol() const { return FProtocol; }
  // The stream as a client socket stream, or null.
  TpdcClientSocketStream* pdcStream() const;
  // The "Password" value of the request's header line ("" by default).
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& Value) { FPassword = Value; }

  // Sends this message as a request ("Data" command line first) and reads the reply into
  // Response, holding the stream's monitor throughout.
  void WriteData();
  // Sends this message as a reply: no header line, nothing read.
  void WriteResponse();
  // Logs message, names this message "Error" with ("System", "Error") = message, WriteResponse.
  void WriteError(const std::string& Message);
  // Reads one message into Response. Raises Exception "stream size = 0" when the first size
  // field reads 0; EStreamDataTruncated when fewer bytes arrive than a size field announces;
  // EStreamDataLimit for a message over Limits(). In the binary form a body that does not
  // inflate (EZDecompressionError) or inflates beyond the header text bound
  // (EZDecompressionLimitError) raises only after the raw block has been read too, so the
  // stream stays in step with the peer; so does a message with too many headers.
  void ReadResponse();

  const TStreamDataLimits& Limits() const { return FLimits; }
  void SetLimits(const TStreamDataLimits& Value) { FLimits = Value; }

  // The 10-character size field.
  static std::string FormatSize(std::int64_t Size);
  // The bytes of the last size field read (a client tells a short text reply, such as
  // "Invalid Headers", from a message by them).
  const std::string& LastSizeField() const { return FLastSizeField; }

 private:
  void WriteMessage(const std::string& Command);
  void WriteAll(const char* Data, std::size_t Count);
  // The value of a size field; 0 when nothing came (Required: also when it was cut short).
  std::int64_t ReadSize(bool Required);
  // Up to Count bytes; fewer when the peer went quiet or closed.
  std::string ReadBlock(std::int64_t Count);
  // Reads Count bytes and drops them; false when fewer arrived.
  bool SkipBlock(std::int64_t Count);
  void CheckSize(std::int64_t Size, std::int64_t Bound, const char* What) const;

  std::unique_ptr<TmnBufferStream> FOwnedStream;
  TmnBufferStream* FStream;
  std::unique_ptr<TStreamData> FResponse;
  TDataProtocol FProtocol;
  TStreamDataLimits FLimits;
  std::string FPassword;
  std::string FLastSizeField;
};

}  // namespace qm
