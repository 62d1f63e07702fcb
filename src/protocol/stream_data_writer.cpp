#include "protocol/stream_data_writer.h"

#include <exception>
#include <mutex>

#include "support/buffer.h"
#include "support/date_time.h"
#include "support/exception.h"
#include "support/log.h"
#include "support/number_text.h"
#include "support/text_utils.h"

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
           ";Password=;\r";
  }
  if (FProtocol == dpJSON) {
    std::string text =
        MakeJSON().dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    head += FormatSize(static_cast<std::int64_t>(text.size()));
    head += text;
    WriteAll(head.data(), head.size());
  } else {
    std::string body = ZCompress(SaveToBytes());
    head += FormatSize(static_cast<std::int64_t>(body.size()));
    head += body;
    head += FormatSize(Buffer().Count());
    WriteAll(head.data(), head.size());
    std::string_view raw = Buffer().View();
    WriteAll(raw.data(), raw.size());
  }
  if (!Command.empty()) {
    ReadResponse();
  }
}

void TStreamDataWriter::WriteData() {
  std::lock_guard<std::recursive_mutex> lock(FStream->Monitor());
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

std::int64_t TStreamDataWriter::ReadSize() {
  char field[10];
  std::int64_t got = FStream->Read(field, sizeof(field));
  if (got <= 0) {
    return 0;
  }
  return StrToIntDef(Trim(std::string_view(field, static_cast<std::size_t>(got))), 0);
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

void TStreamDataWriter::ReadResponse() {
  std::int64_t size = ReadSize();
  if (size <= 0) {
    throw Exception("stream size = 0");
  }
  std::string body = ReadBlock(size);
  const bool whole = static_cast<std::int64_t>(body.size()) == size;
  if (FProtocol == dpJSON) {
    if (whole) {
      FResponse->LoadJSON(body.data(), body.size());
    }
    return;
  }

  std::exception_ptr failure;
  if (whole) {
    try {
      TprmBuffer text;
      text.DecompressLimited(reinterpret_cast<const std::uint8_t*>(body.data()),
                             static_cast<std::int64_t>(body.size()), kMaxHeaderText);
      body = std::string();  // the compressed form is no longer needed
      FResponse->LoadFromBytes(text.View());
    } catch (const EZDecompressionError&) {
      failure = std::current_exception();
    }
  }
  std::int64_t raw_size = ReadSize();
  if (raw_size > 0) {
    std::string raw = ReadBlock(raw_size);
    TprmBuffer& buffer = FResponse->Buffer();
    buffer.ClearData();
    buffer.WriteBytes(raw);
  }
  if (failure) {
    std::rethrow_exception(failure);
  }
}

}  // namespace qm
