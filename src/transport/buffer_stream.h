#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "support/enum_set.h"
#include "transport/stream.h"

namespace qm {

enum class TmnStreamCloseState { cloRead, cloWrite, cloFragment, cloTransmission };
using TmnStreamClose = EnumSet<TmnStreamCloseState>;
inline constexpr TmnStreamCloseState cloRead = TmnStreamCloseState::cloRead;
inline constexpr TmnStreamCloseState cloWrite = TmnStreamCloseState::cloWrite;
inline constexpr TmnStreamCloseState cloFragment = TmnStreamCloseState::cloFragment;
inline constexpr TmnStreamCloseState cloTransmission = TmnStreamCloseState::cloTransmission;

enum class TmnConnectionError { cerSuccess, cerTimeout, cerError };

// No bound on the bytes gathered by the readers that take a limit.
inline constexpr std::size_t kNoReadLimit = std::numeric_limits<std::size_t>::max();

// A stream with a close state and the chunked transfers every stream shares.
class TmnCustomStream : public TStream {
 public:
  virtual bool Connected() = 0;
  TmnStreamClose State() const { return FState; }
  // Neither the read side nor the current fragment or transmission is closed.
  bool CanRead() const;
  bool CanWrite() const;
  bool Passive() const { return FPassive; }
  void SetPassive(bool Value) { FPassive = Value; }

  // Chunked copies (1024 bytes a chunk). A negative Count means: until this stream ends. Each
  // returns the bytes read from the source; RealCount receives what the other side accepted.
  std::int64_t ReadStream(TStream& Stream, std::int64_t Count, std::int64_t& RealCount);
  std::int64_t CopyToStream(TStream& Stream, std::int64_t Count);
  std::int64_t WriteStream(TStream& Stream, std::int64_t Count, std::int64_t& RealCount);
  std::int64_t CopyFromStream(TStream& Stream, std::int64_t Count);

  // Bytes are held in std::string. Here Count 0 or negative reads until the stream ends.
  virtual std::string ReadBytes(std::int64_t Count);
  // Reads Count bytes (until the end when negative); returns false when nothing could be read.
  bool ReadUTF8String(std::string& Text, std::int64_t Count);

  // UTF-8 text written as UTF-16LE code units (or as UTF-8 when UTF8). Return the bytes written.
  std::int64_t WriteString(const std::string& Text);
  std::int64_t WriteString(const std::string& Text, bool UTF8);
  std::int64_t WriteUTF8String(const std::string& Text);
  std::int64_t WriteBytes(const std::string& Bytes);

 protected:
  // Called by transmission-ending proxies; nothing here.
  virtual void DoCloseTransmission() {}

  TmnStreamClose FState;
  bool FPassive = false;
};

class TmnBufferStream;
class TmnStreamProxy;         // defined with the proxy chain (transport/stream_proxy.h)
class TmnInitialStreamProxy;  // the last link of a chain, over the stream's own buffers

// The head of a proxy chain as the buffered stream sees it. The proxy classes derive from it.
// When a stream has a chain, every read, write, flush and close goes through its head.
class ImnStreamProxy {
 public:
  virtual ~ImnStreamProxy() = default;
  virtual bool Read(void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                    std::int64_t& RealCount) = 0;
  virtual bool Write(const void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                     std::int64_t& RealCount) = 0;
  virtual void Flush() = 0;
  virtual void CloseRead() = 0;
  virtual void CloseWrite() = 0;
};

// Observes every device read and write of one buffered stream. A control is attached to at most
// one stream; destroying either side detaches them.
class TmnStreamControl {
 public:
  TmnStreamControl() = default;
  TmnStreamControl(const TmnStreamControl&) = delete;
  TmnStreamControl& operator=(const TmnStreamControl&) = delete;
  virtual ~TmnStreamControl();

  TmnBufferStream* Stream() const { return FStream; }
  // Told before each device write / read with the count asked for; nothing here.
  virtual void Writing(std::int64_t /*Count*/) {}
  virtual void Reading(std::int64_t /*Count*/) {}

 private:
  friend class TmnBufferStream;
  TmnBufferStream* FStream = nullptr;  // linked, not owned
};

// A stream with a read buffer, line reading and writing and reading up to a byte sequence, on top
// of any byte device (DoRead / DoWrite). Not thread-safe: one thread at a time.
//
// Text forms: "Line" operations without a suffix move UTF-16LE code units on the wire; "UTF8"
// ones move UTF-8 bytes; "Ansi" ones the single-byte code page (ISO-8859-1); "RawByte" ones
// bytes as they are. Inside the program text is UTF-8.
//
// Every reader that gathers until a match takes a Limit: when that many bytes were gathered
// without a match, it stops, reports failure and calls DoReadLimit (the stream is then out of
// step with its peer; by default its read side is closed).
class TmnBufferStream : public TmnCustomStream {
 public:
  explicit TmnBufferStream(std::string EndOfLine = "\n");
  ~TmnBufferStream() override;

  // Buffered read: returns fewer than Count bytes only when the device went quiet for one read
  // time-out (TimeoutTries times) or closed.
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  // Straight to the device (no write buffering); returns the bytes written.
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  void Flush();
  // Closes the sides named in What that are not closed yet (through the proxy chain when set).
  void Close(TmnStreamClose What = {cloRead, cloWrite});

  // Defined with the proxy chain (stream_proxy.cpp): puts Proxy in front of the chain, creating
  // the initial link first; the stream owns the chain.
  void AddProxy(std::unique_ptr<TmnStreamProxy> Proxy);
  ImnStreamProxy* Proxy() const { return FProxy.get(); }
  void SetProxy(std::unique_ptr<ImnStreamProxy> Proxy) { FProxy = std::move(Proxy); }
  std::unique_ptr<ImnStreamProxy> TakeProxy() { return std::move(FProxy); }

  // Attaches Control (linked, not owned), detaching the previous one.
  void SetControl(TmnStreamControl* Control);
  TmnStreamControl* Control() const { return FControl; }

  const std::string& EndOfLine() const { return FEndOfLine; }
  void SetEndOfLine(std::string Value) { FEndOfLine = std::move(Value); }
  int TimeoutTries() const { return FTimeoutTries; }
  void SetTimeoutTries(int Value) { FTimeoutTries = Value; }
  std::int64_t ReadBufferSize() const { return FReadBufferSize; }
  // Raises "Change ReadBufferSize before using stream" once the buffer is in use.
  void SetReadBufferSize(std::int64_t Value);
  std::int64_t BufferSize() const { return ReadBufferSize(); }
  void SetBufferSize(std::int64_t Value) { SetReadBufferSize(Value); }
  std::int64_t WriteBufferSize() const { return FWriteBufferSize; }
  // Raises "change Write BufferSize before using stream" once the stream has written.
  void SetWriteBufferSize(std::int64_t Value);

  // Reads until Match (raises "Match is empty!" when MatchSize is 0). True when the stream could
  // be read at the start and the match was found or at least one byte came; so a tail cut short
  // by the peer closing is still returned. False when Limit bytes came without the match.
  bool ReadBufferUntil(const void* Match, std::size_t MatchSize, bool ExcludeMatch,
                       std::string& Buffer, bool& Matched, std::size_t Limit = kNoReadLimit);
  // Match and Text are single-byte (raw) strings.
  bool ReadUntil(const std::string& Match, bool ExcludeMatch, std::string& Text, bool& Matched,
                 std::size_t Limit = kNoReadLimit);
  // Reads until Match, handing the bytes to Callback in pieces (after every 1024 start positions
  // tried without a match); a match straddling two pieces is not found.
  using TReadUntilCallback = std::function<void(const std::string& Data)>;
  bool ReadUntilCallback(const void* Match, std::size_t MatchSize, bool ExcludeMatch,
                         const TReadUntilCallback& Callback, bool& Matched);

  // UTF-16LE on the wire, returned as UTF-8 text.
  bool ReadLine(std::string& Text, bool ExcludeEOL = true, std::size_t Limit = kNoReadLimit);
  std::string ReadLine(bool ExcludeEOL = true, std::size_t Limit = kNoReadLimit);
  // UTF-8 on the wire, returned as it is.
  bool ReadUTF8Line(std::string& Text, bool ExcludeEOL = true, std::size_t Limit = kNoReadLimit);
  bool ReadLineUTF8(std::string& Text, bool ExcludeEOL = true, std::size_t Limit = kNoReadLimit) {
    return ReadUTF8Line(Text, ExcludeEOL, Limit);
  }
  // Single-byte code page on the wire, returned as UTF-8 text.
  bool ReadAnsiLine(std::string& Text, bool ExcludeEOL = true, std::size_t Limit = kNoReadLimit);
  // Raw bytes, line end in the single-byte form.
  bool ReadLineRawByte(std::string& Bytes, bool ExcludeEOL = true,
                       std::size_t Limit = kNoReadLimit);

  // Up to Count bytes from one Read, cut to what came.
  std::string ReadBytes(std::int64_t Count) override;
  // Count bytes of single-byte text from one Read (not cut: missing bytes are zero), as UTF-8.
  std::string ReadAnsiString(std::int64_t Count);

  // Add line after line while the stream is connected and can be read.
  void ReadStrings(std::vector<std::string>& List);
  void ReadUTF8Strings(std::vector<std::string>& List);
  // One UTF-16LE line split at its first space. On failure both outputs are empty.
  bool ReadCommand(std::string& Command, std::string& Params);

  // Each writes the text and then EndOfLine in its form; returns the bytes written.
  std::int64_t WriteLine(const std::string& Text);      // UTF-16LE
  std::int64_t WriteLine();                             // the line end alone, UTF-16LE
  std::int64_t WriteUTF8Line(const std::string& Text);  // one write
  std::int64_t WriteLineUTF8(const std::string& Text) { return WriteUTF8Line(Text); }
  std::int64_t WriteLineAnsiString(const std::string& Text);
  std::int64_t WriteLineRawByte(const std::string& Bytes);
  // Without a line end: UTF-8 text in the single-byte code page, resp. raw bytes.
  std::int64_t WriteAnsiString(const std::string& Text);
  std::int64_t WriteRawByte(const std::string& Bytes);
  // Each item as a line, skipping a last item that is empty.
  void WriteStrings(const std::vector<std::string>& List);
  void WriteUTF8Strings(const std::vector<std::string>& List);
  // Command, a space and Params as one UTF-16LE line; Command alone when Params is empty.
  std::int64_t WriteCommand(const std::string& Command, const std::string& Params = "");

 protected:
  friend class TmnInitialStreamProxy;

  // The device. DoRead returns bytes read, 0 or less when nothing came.
  virtual std::int64_t DoRead(void* Buffer, std::int64_t Count) = 0;
  virtual std::int64_t DoWrite(const void* Buffer, std::int64_t Count) = 0;
  virtual void DoFlush() {}
  virtual void DoCloseRead() {}
  virtual void DoCloseWrite() {}
  // A read found the device gone: closes the read side.
  virtual void ReadError();
  // A reader gathered its Limit without a match; the rest of that item is still unread.
  virtual void DoReadLimit();

  // The buffered device paths the initial proxy link goes through.
  std::int64_t ReadThroughBuffer(void* Buffer, std::int64_t Count);
  std::int64_t WriteThroughBuffer(const void* Buffer, std::int64_t Count);
  // Forgets the close state and any unread buffered bytes: the device starts afresh (a
  // reconnected client).
  void Reopen();
  // Marks the end of a fragment / transmission (readers stop until the next Read).
  void EndFragment();
  void EndTransmission();

 private:
  bool ReadLineBytes(const std::string& EndOfLine, bool ExcludeEOL, std::string& Bytes,
                     std::size_t Limit);
  std::int64_t DeviceRead(void* Buffer, std::int64_t Count);

  std::vector<char> FReadBuffer;  // allocated on first use
  std::size_t FReadPos = 0;       // next unread byte in FReadBuffer
  std::size_t FReadStop = 0;      // end of the valid bytes
  std::int64_t FReadBufferSize = 1024;
  std::int64_t FWriteBufferSize = 0;
  bool FWritten = false;
  TmnStreamControl* FControl = nullptr;  // linked, not owned
  std::string FEndOfLine;
  int FTimeoutTries = 0;
  std::unique_ptr<ImnStreamProxy> FProxy;
};

// A buffered stream for network devices: time-outs, connect, disconnect and waiting.
class TmnConnectionStream : public TmnBufferStream {
 public:
  explicit TmnConnectionStream(std::string EndOfLine = "\n")
      : TmnBufferStream(std::move(EndOfLine)) {}

  virtual void Prepare() {}
  virtual void Connect() {}
  virtual void Disconnect() {}
  // Wakes a read or write blocked in the owning thread so that it fails; safe from any thread.
  // Nothing here.
  virtual void Abort() {}
  virtual TmnConnectionError WaitToRead(std::int64_t Timeout) = 0;
  virtual TmnConnectionError WaitToWrite(std::int64_t Timeout) = 0;
  // True when connected and data came within ReadTimeout.
  bool WaitToRead();
  bool WaitToWrite();
  // Copies waiting bytes without consuming them; Count receives how many. False here.
  virtual bool Peek(void* Buffer, std::int64_t& Count);
  // Relative to the current position gives 0; anything else raises.
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;

  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int Value) { FReadTimeout = Value; }
  int WriteTimeout() const { return FWriteTimeout; }
  void SetWriteTimeout(int Value) { FWriteTimeout = Value; }
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int Value) { FConnectTimeout = Value; }

  // Inside a write window all writes together get one send time-out, counted from the first
  // of them, so a peer that reads slowly cannot stretch one reply without end. Outside a window
  // each write gets its own. Used by the stream's own thread only.
  void BeginWriteWindow() {
    FWindowOpen = true;
    FWindowStarted = false;
  }
  void EndWriteWindow() { FWindowOpen = false; }

 protected:
  // When a write that starts now and may take TimeoutMs must end.
  std::chrono::steady_clock::time_point WriteDeadline(int TimeoutMs);

  int FReadTimeout = 15000;  // ms
  int FWriteTimeout = 1875;
  int FConnectTimeout = 3750;

 private:
  bool FWindowOpen = false;
  bool FWindowStarted = false;
  std::chrono::steady_clock::time_point FWindowDeadline;
};

// Opens a write window on a stream for the life of the object.
class TWriteWindow {
 public:
  explicit TWriteWindow(TmnConnectionStream& Stream) : FStream(Stream) {
    FStream.BeginWriteWindow();
  }
  ~TWriteWindow() { FStream.EndWriteWindow(); }
  TWriteWindow(const TWriteWindow&) = delete;
  TWriteWindow& operator=(const TWriteWindow&) = delete;

 private:
  TmnConnectionStream& FStream;
};

}  // namespace qm
