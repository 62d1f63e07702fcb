#include "transport/buffer_stream.h"

#include <algorithm>
#include <cstring>

#include "support/exception.h"
#include "support/utf16.h"

namespace qm {

namespace {

constexpr std::int64_t kChunkSize = 1024;

bool EndsWith(const std::string& data, const char* match, std::size_t size) {
  return data.size() >= size && std::memcmp(data.data() + data.size() - size, match, size) == 0;
}

}  // namespace

// ---- TmnCustomStream ----

bool TmnCustomStream::CanRead() const {
  return (FState * TmnStreamClose{cloRead, cloFragment, cloTransmission}).Empty();
}

bool TmnCustomStream::CanWrite() const {
  return (FState * TmnStreamClose{cloWrite, cloFragment, cloTransmission}).Empty();
}

std::int64_t TmnCustomStream::ReadStream(TStream& Stream, std::int64_t Count,
                                         std::int64_t& RealCount) {
  RealCount = 0;
  if (Count == 0 || !Connected())
    return 0;
  char chunk[kChunkSize];
  std::int64_t total = 0;
  while (true) {
    const std::int64_t want = Count < 0 ? kChunkSize : std::min(kChunkSize, Count - total);
    std::int64_t n = Read(chunk, want);
    if (n < 0)
      n = 0;
    if (n > 0) {
      total += n;
      RealCount += std::max<std::int64_t>(0, Stream.Write(chunk, n));
    }
    if (!(n > 0 || !FPassive))
      break;
    if (!(Connected() || n > 0))
      break;
    if (!CanRead())
      break;
    if (Count >= 0 && total >= Count)
      break;
  }
  return total;
}

std::int64_t TmnCustomStream::CopyToStream(TStream& Stream, std::int64_t Count) {
  std::int64_t real = 0;
  return ReadStream(Stream, Count, real);
}

std::int64_t TmnCustomStream::WriteStream(TStream& Stream, std::int64_t Count,
                                          std::int64_t& RealCount) {
  RealCount = 0;
  char chunk[kChunkSize];
  std::int64_t total = 0;
  while (Count < 0 || total < Count) {
    const std::int64_t want = Count < 0 ? kChunkSize : std::min(kChunkSize, Count - total);
    const std::int64_t n = Stream.Read(chunk, want);
    if (n <= 0)
      break;
    total += n;
    const std::int64_t written = std::max<std::int64_t>(0, Write(chunk, n));
    RealCount += written;
    if (written < n && !Connected())
      break;
  }
  return total;
}

std::int64_t TmnCustomStream::CopyFromStream(TStream& Stream, std::int64_t Count) {
  std::int64_t real = 0;
  return WriteStream(Stream, Count, real);
}

std::string TmnCustomStream::ReadBytes(std::int64_t Count) {
  TMemoryStream memory;
  std::int64_t real = 0;
  if (Count == 0)
    Count = -1;
  if (Count < 0 && !Connected())
    return {};
  ReadStream(memory, Count, real);
  return memory.DataString();
}

bool TmnCustomStream::ReadUTF8String(std::string& Text, std::int64_t Count) {
  Text.clear();
  if (Count == 0 || !Connected())
    return false;
  TMemoryStream memory;
  std::int64_t real = 0;
  ReadStream(memory, Count, real);
  Text = memory.DataString();
  return !Text.empty();
}

std::int64_t TmnCustomStream::WriteString(const std::string& Text) {
  return WriteString(Text, false);
}

std::int64_t TmnCustomStream::WriteString(const std::string& Text, bool UTF8) {
  if (Text.empty())
    return 0;
  if (UTF8)
    return WriteUTF8String(Text);
  const std::string bytes = Utf8ToUtf16Le(Text);
  return Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

std::int64_t TmnCustomStream::WriteUTF8String(const std::string& Text) {
  return WriteBytes(Text);
}

std::int64_t TmnCustomStream::WriteBytes(const std::string& Bytes) {
  if (Bytes.empty())
    return 0;
  return Write(Bytes.data(), static_cast<std::int64_t>(Bytes.size()));
}

// ---- TmnStreamControl ----

TmnStreamControl::~TmnStreamControl() {
  if (FStream != nullptr && FStream->Control() == this)
    FStream->SetControl(nullptr);
}

// ---- TmnBufferStream ----

TmnBufferStream::TmnBufferStream(std::string EndOfLine) : FEndOfLine(std::move(EndOfLine)) {}

TmnBufferStream::~TmnBufferStream() {
  // Derived devices are gone by now: only the chain's and the base's close hooks run here.
  Close({cloRead, cloWrite});
  SetControl(nullptr);
}

void TmnBufferStream::SetControl(TmnStreamControl* Control) {
  if (Control == FControl)
    return;
  if (FControl != nullptr)
    FControl->FStream = nullptr;
  FControl = Control;
  if (FControl != nullptr) {
    if (FControl->FStream != nullptr)
      FControl->FStream->FControl = nullptr;
    FControl->FStream = this;
  }
}

void TmnBufferStream::SetReadBufferSize(std::int64_t Value) {
  if (Value == FReadBufferSize)
    return;
  if (!FReadBuffer.empty())
    throw EmnStreamException("Change ReadBufferSize before using stream");
  FReadBufferSize = std::max<std::int64_t>(0, Value);
}

void TmnBufferStream::SetWriteBufferSize(std::int64_t Value) {
  if (Value == FWriteBufferSize)
    return;
  if (FWritten)
    throw EmnStreamException("change Write BufferSize before using stream");
  FWriteBufferSize = std::max<std::int64_t>(0, Value);
}

std::int64_t TmnBufferStream::Read(void* Buffer, std::int64_t Count) {
  FState.Exclude(cloFragment).Exclude(cloTransmission);
  Flush();
  std::int64_t result = 0;
  if (FProxy) {
    std::int64_t real = 0;
    FProxy->Read(Buffer, Count, result, real);
  } else {
    result = ReadThroughBuffer(Buffer, Count);
  }
  if (result <= 0 && !Connected())
    Close({cloRead});
  return std::max<std::int64_t>(0, result);
}

std::int64_t TmnBufferStream::Write(const void* Buffer, std::int64_t Count) {
  if (FProxy) {
    std::int64_t result = 0;
    std::int64_t real = 0;
    FProxy->Write(Buffer, Count, result, real);
    return result;
  }
  return WriteThroughBuffer(Buffer, Count);
}

void TmnBufferStream::Flush() {
  if (FProxy)
    FProxy->Flush();
  else
    DoFlush();
}

void TmnBufferStream::Close(TmnStreamClose What) {
  if (What.Contains(cloRead) && !FState.Contains(cloRead)) {
    if (FProxy)
      FProxy->CloseRead();
    else
      DoCloseRead();
    FState.Include(cloRead);
  }
  if (What.Contains(cloWrite) && !FState.Contains(cloWrite)) {
    if (FProxy)
      FProxy->CloseWrite();
    else
      DoCloseWrite();
    FState.Include(cloWrite);
  }
}

void TmnBufferStream::ReadError() {
  Close({cloRead});
}

void TmnBufferStream::DoReadLimit() {
  Close({cloRead});
}

void TmnBufferStream::Reopen() {
  FState = {};
  FReadPos = FReadStop = 0;
}

void TmnBufferStream::EndFragment() {
  FState.Include(cloFragment);
}

void TmnBufferStream::EndTransmission() {
  FState.Include(cloFragment).Include(cloTransmission);
  DoCloseTransmission();
}

std::int64_t TmnBufferStream::DeviceRead(void* Buffer, std::int64_t Count) {
  if (FControl != nullptr)
    FControl->Reading(Count);
  return DoRead(Buffer, Count);
}

std::int64_t TmnBufferStream::ReadThroughBuffer(void* Buffer, std::int64_t Count) {
  if (Count <= 0)
    return 0;
  if (FReadBufferSize == 0)
    return DeviceRead(Buffer, Count);
  if (FReadBuffer.empty()) {
    FReadBuffer.resize(static_cast<std::size_t>(FReadBufferSize));
    FReadPos = FReadStop = 0;
  }
  char* out = static_cast<char*>(Buffer);
  std::int64_t copied = 0;
  int failed_tries = 0;
  while (copied < Count) {
    if (FReadPos == FReadStop) {
      const std::int64_t n = DeviceRead(FReadBuffer.data(), FReadBufferSize);
      if (n <= 0) {
        if (!Connected())
          break;
        // A device that went quiet for one read time-out ends the read after TimeoutTries.
        if (++failed_tries >= FTimeoutTries)
          break;
        continue;
      }
      FReadPos = 0;
      FReadStop = static_cast<std::size_t>(n);
    }
    const std::size_t take =
        std::min<std::size_t>(FReadStop - FReadPos, static_cast<std::size_t>(Count - copied));
    std::memcpy(out + copied, FReadBuffer.data() + FReadPos, take);
    FReadPos += take;
    copied += static_cast<std::int64_t>(take);
  }
  return copied;
}

std::int64_t TmnBufferStream::WriteThroughBuffer(const void* Buffer, std::int64_t Count) {
  FWritten = true;
  if (FControl != nullptr)
    FControl->Writing(Count);
  return DoWrite(Buffer, Count);
}

bool TmnBufferStream::ReadBufferUntil(const void* Match, std::size_t MatchSize, bool ExcludeMatch,
                                      std::string& Buffer, bool& Matched, std::size_t Limit) {
  if (Match == nullptr || MatchSize == 0)
    throw EmnStreamException("Match is empty!");
  const char* match = static_cast<const char*>(Match);
  const bool could_read = CanRead();
  Matched = false;
  Buffer.clear();
  // Comparing the tail after every byte finds the earliest occurrence, overlapping ones
  // included, and reads no byte past it. Reads go through the read buffer, so a byte at a time
  // costs one device read per buffer, not per byte.
  while (!Matched) {
    if (Buffer.size() >= Limit) {
      DoReadLimit();
      return false;
    }
    char byte = 0;
    if (Read(&byte, 1) != 1)
      break;
    Buffer.push_back(byte);
    if (EndsWith(Buffer, match, MatchSize)) {
      Matched = true;
    } else if (!CanRead()) {
      break;
    }
  }
  if (Matched && ExcludeMatch)
    Buffer.resize(Buffer.size() - MatchSize);
  return could_read && (Matched || !Buffer.empty());
}

bool TmnBufferStream::ReadUntil(const std::string& Match, bool ExcludeMatch, std::string& Text,
                                bool& Matched, std::size_t Limit) {
  if (Match.empty())
    throw EmnStreamException("Match is empty!");
  return ReadBufferUntil(Match.data(), Match.size(), ExcludeMatch, Text, Matched, Limit);
}

bool TmnBufferStream::ReadUntilCallback(const void* Match, std::size_t MatchSize, bool ExcludeMatch,
                                        const TReadUntilCallback& Callback, bool& Matched) {
  if (Match == nullptr || MatchSize == 0)
    throw EmnStreamException("Match is empty!");
  const char* match = static_cast<const char*>(Match);
  const bool could_read = CanRead();
  Matched = false;
  bool any = false;
  std::string piece;
  while (!Matched) {
    char byte = 0;
    if (Read(&byte, 1) != 1)
      break;
    any = true;
    piece.push_back(byte);
    if (EndsWith(piece, match, MatchSize)) {
      Matched = true;
    } else {
      // Hand over all but the bytes that may still begin a match, so memory stays bounded and
      // a match across two pieces is still found.
      if (piece.size() >= static_cast<std::size_t>(kChunkSize) + MatchSize - 1) {
        const std::size_t keep = MatchSize - 1;
        Callback(piece.substr(0, piece.size() - keep));
        piece.erase(0, piece.size() - keep);
      }
      if (!CanRead())
        break;
    }
  }
  if (Matched && ExcludeMatch)
    piece.resize(piece.size() - MatchSize);
  if (!piece.empty())
    Callback(piece);
  return could_read && (Matched || any);
}

bool TmnBufferStream::ReadLineBytes(const std::string& EndOfLine, bool ExcludeEOL,
                                    std::string& Bytes, std::size_t Limit) {
  bool matched = false;
  return ReadBufferUntil(EndOfLine.data(), EndOfLine.size(), ExcludeEOL, Bytes, matched, Limit);
}

bool TmnBufferStream::ReadLine(std::string& Text, bool ExcludeEOL, std::size_t Limit) {
  std::string bytes;
  const bool result = ReadLineBytes(Utf8ToUtf16Le(FEndOfLine), ExcludeEOL, bytes, Limit);
  Text = Utf16LeToUtf8(bytes);
  return result;
}

std::string TmnBufferStream::ReadLine(bool ExcludeEOL, std::size_t Limit) {
  std::string text;
  ReadLine(text, ExcludeEOL, Limit);
  return text;
}

bool TmnBufferStream::ReadUTF8Line(std::string& Text, bool ExcludeEOL, std::size_t Limit) {
  return ReadLineBytes(FEndOfLine, ExcludeEOL, Text, Limit);
}

bool TmnBufferStream::ReadAnsiLine(std::string& Text, bool ExcludeEOL, std::size_t Limit) {
  std::string bytes;
  const bool result = ReadLineBytes(Utf8ToLatin1(FEndOfLine), ExcludeEOL, bytes, Limit);
  Text = Latin1ToUtf8(bytes);
  return result;
}

bool TmnBufferStream::ReadLineRawByte(std::string& Bytes, bool ExcludeEOL, std::size_t Limit) {
  return ReadLineBytes(Utf8ToLatin1(FEndOfLine), ExcludeEOL, Bytes, Limit);
}

std::string TmnBufferStream::ReadBytes(std::int64_t Count) {
  if (Count <= 0)
    return {};
  std::string bytes(static_cast<std::size_t>(Count), '\0');
  const std::int64_t n = Read(bytes.data(), Count);
  bytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, n)));
  return bytes;
}

std::string TmnBufferStream::ReadAnsiString(std::int64_t Count) {
  if (Count <= 0)
    return {};
  std::string bytes(static_cast<std::size_t>(Count), '\0');
  Read(bytes.data(), Count);
  return Latin1ToUtf8(bytes);
}

void TmnBufferStream::ReadStrings(std::vector<std::string>& List) {
  std::string line;
  while (Connected() && CanRead() && ReadLine(line))
    List.push_back(line);
}

void TmnBufferStream::ReadUTF8Strings(std::vector<std::string>& List) {
  std::string line;
  while (Connected() && CanRead() && ReadUTF8Line(line))
    List.push_back(line);
}

bool TmnBufferStream::ReadCommand(std::string& Command, std::string& Params) {
  std::string line;
  const bool result = ReadLine(line);
  Command.clear();
  Params.clear();
  if (!result)
    return false;
  const std::size_t space = line.find(' ');
  if (space == std::string::npos) {
    Command = line;
  } else {
    Command = line.substr(0, space);
    Params = line.substr(space + 1);
  }
  return true;
}

std::int64_t TmnBufferStream::WriteLine(const std::string& Text) {
  return WriteBytes(Utf8ToUtf16Le(Text) + Utf8ToUtf16Le(FEndOfLine));
}

std::int64_t TmnBufferStream::WriteLine() {
  return WriteBytes(Utf8ToUtf16Le(FEndOfLine));
}

std::int64_t TmnBufferStream::WriteUTF8Line(const std::string& Text) {
  return WriteBytes(Text + FEndOfLine);
}

std::int64_t TmnBufferStream::WriteLineAnsiString(const std::string& Text) {
  return WriteBytes(Utf8ToLatin1(Text) + Utf8ToLatin1(FEndOfLine));
}

std::int64_t TmnBufferStream::WriteLineRawByte(const std::string& Bytes) {
  return WriteBytes(Bytes + Utf8ToLatin1(FEndOfLine));
}

std::int64_t TmnBufferStream::WriteAnsiString(const std::string& Text) {
  return WriteBytes(Utf8ToLatin1(Text));
}

std::int64_t TmnBufferStream::WriteRawByte(const std::string& Bytes) {
  return WriteBytes(Bytes);
}

void TmnBufferStream::WriteStrings(const std::vector<std::string>& List) {
  for (std::size_t i = 0; i < List.size(); ++i) {
    if (i + 1 == List.size() && List[i].empty())
      break;
    WriteLine(List[i]);
  }
}

void TmnBufferStream::WriteUTF8Strings(const std::vector<std::string>& List) {
  for (std::size_t i = 0; i < List.size(); ++i) {
    if (i + 1 == List.size() && List[i].empty())
      break;
    WriteUTF8Line(List[i]);
  }
}

std::int64_t TmnBufferStream::WriteCommand(const std::string& Command, const std::string& Params) {
  return WriteLine(Params.empty() ? Command : Command + " " + Params);
}

// ---- TmnConnectionStream ----

bool TmnConnectionStream::WaitToRead() {
  return Connected() && WaitToRead(FReadTimeout) == TmnConnectionError::cerSuccess;
}

bool TmnConnectionStream::WaitToWrite() {
  return WaitToWrite(FWriteTimeout) == TmnConnectionError::cerSuccess;
}

bool TmnConnectionStream::Peek(void* /*Buffer*/, std::int64_t& Count) {
  Count = 0;
  return false;
}

std::int64_t TmnConnectionStream::Seek(std::int64_t /*Offset*/, TSeekOrigin Origin) {
  if (Origin == TSeekOrigin::soCurrent)
    return 0;
  throw EmnStreamException("not supported and we dont want to support it");
}

std::chrono::steady_clock::time_point TmnConnectionStream::WriteDeadline(int TimeoutMs) {
  const auto now = std::chrono::steady_clock::now();
  const auto deadline = now + std::chrono::milliseconds(TimeoutMs);
  if (!FWindowOpen) {
    return deadline;
  }
  if (!FWindowStarted) {
    FWindowStarted = true;
    FWindowDeadline = deadline;
  }
  return FWindowDeadline;
}

}  // namespace qm
