#include "protocol/stream_data_writer.h"

#include <algorithm>
#include <exception>

#include "protocol/header_text_zlib.h"
#include "support/buffer.h"
#include "support/date_time.h"
#include "support/exception.h"
#include "support/log.h"
#include "support/number_text.h"
#include "support/text_utils.h"
#include "support/thread_annotations.h"

namespace qm {

// --- TpdcClientSocketStream ---

TpdcClientSocketStream::TpdcClientSocketStream(const std::string& Address, const std::string& Port)
    : TmnClientSocket(Address, Port, {}), FHID(static_cast<std::int64_t>(TickCount64())) {}

// --- TStreamDataWriter ---

TStreamDataWriter::TStreamDataWriter(TmnBufferStream& Stream, TDataProtocol Protocol)
    : FStream(&Stream), FResponse(std::make_unique<TStreamData>()), FProtocol(Protocol) {}

TStreamDataWriter::TStreamDataWriter(std::unique_ptr<TmnBufferStream> Stream,
                                     TDataProtocol Protocol)
    : FOwnedStream(std::move(Stream)),
      FStream(FOwnedStream.get()),
      FResponse(std::make_unique<TStreamData>()),
      FProtocol(Protocol) {
  if (FStream == nullptr) {
    throw EmnStreamException("Stream = nil");
  }
}

TStreamDataWriter::~TStreamDataWriter() = default;

TpdcClientSocketStream* TStreamDataWriter::pdcStream() const {
  return dynamic_cast<TpdcClientSocketStream*>(FStream);
}

std::string TStreamDataWriter::FormatSize(std::int64_t Size) {
  std::string text = std::to_string(Size);
  if (text.size() < 10) {
    text.append(10 - text.size(), ' ');
  }
  return text;
}

void TStreamDataWriter::WriteAll(const char* Data, std::size_t Count) {
  // A device may take less than asked; a write that takes nothing means the peer is gone, and
  // the reading side will show it.
  while (Count > 0) {
    std::int64_t written = FStream->Write(Data, static_cast<std::int64_t>(Count));
    if (written <= 0) {
      return;
    }
    Data += written;
    Count -= static_cast<std::size_t>(written);
  }
}

void TStreamDataWriter::WriteMessage(const std::string& Command) {
  std::string head;
  if (!Command.empty()) {
    head = std::string("Protocol=") + kDataProtocolNames[FProtocol] + ";Command=" + Command +
           ";Password=" + FPassword + ";\r";
  }
  if (FProtocol == dpJSON) {
    std::string text =
        MakeJSON().dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    head += FormatSize(static_cast<std::int64_t>(text.size()));
    head += text;
    WriteAll(head.data(), head.size());
  } else {
    std::string body = CompressHeaderText(SaveToBytes());
    std::string_view raw = Buffer().View();
    // A small message goes out in one send; a large block is sent from where it lies rather
    // than copied.
    const bool together = raw.size() <= kCoalesceLimit;
    head.reserve(head.size() + 20 + body.size() + (together ? raw.size() : 0));
    head += FormatSize(static_cast<std::int64_t>(body.size()));
    head += body;
    head += FormatSize(Buffer().Count());
    if (together) {
      head += raw;
      WriteAll(head.data(), head.size());
    } else {
      WriteAll(head.data(), head.size());
      WriteAll(raw.data(), raw.size());
    }
  }
  if (!Command.empty()) {
    ReadResponse();
  }
}

void TStreamDataWriter::WriteData() {
  TLockGuard lock(FStream->Monitor());
  WriteMessage("Data");
}

void TStreamDataWriter::WriteResponse() {
  WriteMessage("");
}

void TStreamDataWriter::WriteError(const std::string& Message) {
  WriteLog(Message);
  SetName("Error");
  RegisterHeader("System", "Error", Message);
  WriteResponse();
}

std::int64_t TStreamDataWriter::ReadSize(bool Required) {
  char field[10];
  std::int64_t got = FStream->Read(field, sizeof(field));
  if (got <= 0) {
    FLastSizeField.clear();
  } else {
    FLastSizeField.assign(field, static_cast<std::size_t>(got));
  }
  if (got <= 0 && !Required) {
    return 0;
  }
  if (got < static_cast<std::int64_t>(sizeof(field))) {
    throw EStreamDataTruncated("Message cut short: size field of " +
                               std::to_string(std::max<std::int64_t>(got, 0)) + " bytes");
  }
  // Ten digits may exceed 32 bits: read as 64-bit and let the bounds judge.
  return StrToInt64Def(Trim(std::string_view(field, sizeof(field))), 0);
}

std::uint64_t TStreamDataLimits::HeaderTextBound(std::int64_t CompressedSize) const {
  const std::uint64_t compressed =
      CompressedSize > 0 ? static_cast<std::uint64_t>(CompressedSize) : 0;
  const std::uint64_t by_ratio =
      compressed > (UINT64_MAX - InflateAllowance) / std::max<std::uint64_t>(InflateRatio, 1)
          ? UINT64_MAX
          : InflateAllowance + InflateRatio * compressed;
  return std::min(MaxHeaderText, by_ratio);
}

void TStreamDataWriter::CheckSize(std::int64_t Size, std::int64_t Bound, const char* What) const {
  if (Bound >= 0 && Size > Bound) {
    throw EStreamDataLimit(std::string(What) + " of " + std::to_string(Size) +
                               " bytes is over the limit of " + std::to_string(Bound) + " bytes",
                           false);
  }
}

std::string TStreamDataWriter::ReadBlock(std::int64_t Count) {
  std::string block;
  while (Count > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(Count, kReadChunk));
    std::size_t old_size = block.size();
    block.resize(old_size + want);
    std::int64_t got = FStream->Read(block.data() + old_size, static_cast<std::int64_t>(want));
    if (got < 0) {
      got = 0;
    }
    block.resize(old_size + static_cast<std::size_t>(got));
    if (static_cast<std::size_t>(got) < want) {
      break;
    }
    Count -= got;
  }
  return block;
}

bool TStreamDataWriter::SkipBlock(std::int64_t Count) {
  std::string chunk(static_cast<std::size_t>(std::min<std::int64_t>(Count, kReadChunk)), '\0');
  while (Count > 0) {
    const std::int64_t want = std::min<std::int64_t>(Count, kReadChunk);
    const std::int64_t got = FStream->Read(chunk.data(), want);
    if (got < want) {
      return false;
    }
    Count -= got;
  }
  return true;
}

void TStreamDataWriter::ReadResponse() {
  std::int64_t size = ReadSize(false);
  if (size <= 0) {
    throw Exception("stream size = 0");
  }
  CheckSize(size, FLimits.MaxBody, "Message body");
  FResponse->SetMaxHeaders(FLimits.MaxHeaders);
  std::string body = ReadBlock(size);
  if (static_cast<std::int64_t>(body.size()) < size) {
    throw EStreamDataTruncated("Message cut short: " + std::to_string(body.size()) + " of " +
                               std::to_string(size) + " body bytes arrived");
  }
  const std::string too_many =
      "Too many headers: over the limit of " + std::to_string(FLimits.MaxHeaders);
  if (FProtocol == dpJSON) {
    FResponse->LoadJSON(body.data(), body.size());
    if (FResponse->HeadersCut()) {
      throw EStreamDataLimit(too_many, true);
    }
    return;
  }

  std::exception_ptr failure;
  try {
    const std::string text = InflateHeaderText(body, FLimits.HeaderTextBound(size));
    body = std::string();  // the compressed form is no longer needed
    FResponse->LoadFromBytes(text);
  } catch (const EZDecompressionError&) {
    failure = std::current_exception();
  }
  std::int64_t raw_size = ReadSize(true);
  CheckSize(raw_size, FLimits.MaxRawBlock, "Message block");
  if (raw_size > 0) {
    // A request that will not run does not need its block: read past it.
    if (failure || FResponse->NameRefused() || FResponse->HeadersCut()) {
      if (!SkipBlock(raw_size)) {
        throw EStreamDataTruncated("Message cut short: block of " + std::to_string(raw_size) +
                                   " bytes did not arrive");
      }
    } else {
      // Straight into the buffer, piece by piece: no second copy of a large block.
      TprmBuffer& buffer = FResponse->Buffer();
      buffer.ClearData();
      for (std::int64_t left = raw_size; left > 0;) {
        const std::int64_t want = std::min<std::int64_t>(left, kReadChunk);
        const std::string piece = ReadBlock(want);
        buffer.WriteBytes(piece);
        left -= static_cast<std::int64_t>(piece.size());
        if (static_cast<std::int64_t>(piece.size()) < want) {
          throw EStreamDataTruncated("Message cut short: " + std::to_string(raw_size - left) +
                                     " of " + std::to_string(raw_size) + " block bytes arrived");
        }
      }
    }
  }
  if (failure) {
    std::rethrow_exception(failure);
  }
  if (FResponse->HeadersCut()) {
    throw EStreamDataLimit(too_many, true);
  }
}

}  // namespace qm
