#include "session/api_command.h"

#include <span>
#include <vector>

#include "session/result_encoder.h"
#include "support/buffer.h"
#include "support/byte_stream.h"
#include "support/utf16.h"

#include "support/log.h"
#include "support/text_utils.h"

namespace qm {

void TDBExecuteAPICommand::DoSessionCommand(TqmdConnection& Session, TStreamDataWriter& Response) {
  ExecuteAPI(*Session.Connection(), Response);
  Response.SetName("OK");
}

namespace {

// An imported large object inflates to at most this many bytes.
constexpr std::uint64_t kMaxImportBytes = std::uint64_t{1} << 30;

// The compressed bytes as the reply's block: always a whole zlib stream, also for no bytes.
void SetCompressedBuffer(TStreamDataWriter& Response, std::string_view bytes) {
  TqmdZCompressor compressor;
  compressor.Write(bytes);
  Response.Buffer().Attach(compressor.Finish());
}

}  // namespace

void TDBExecuteAPICommand::RunOperation(TmncSQLConnection& Connection, IDBAPIOperations& api,
                                        const std::string& Name, TStreamDataWriter& Response) {
  switch (IndexOfText(Name, std::span<const std::string_view>(kAPINames), true)) {
    case 0: {  // loImport
      const std::uint32_t oid = static_cast<std::uint32_t>(AsInteger("API", "OID"));
      const std::string bytes = Request() == nullptr || Request()->Buffer().Empty()
                                    ? std::string()
                                    : ZDecompress(Request()->Buffer().View(), kMaxImportBytes);
      TMemoryByteSource source(bytes);
      const std::uint32_t stored = api.loImport(source, oid);
      Response.RegisterHeader("API", "OID", static_cast<std::int32_t>(stored));
      break;
    }
    case 1: {  // loExport
      const std::int32_t oid = AsInteger("API", "OID");
      std::string bytes;
      TStringByteSink sink(bytes);
      api.loExport(static_cast<std::uint32_t>(oid), sink);
      Response.RegisterHeader("System", "BufferCompressed", true);
      Response.RegisterHeader("API", "OID", oid);
      SetCompressedBuffer(Response, bytes);
      break;
    }
    case 2: {  // loUnlink
      const std::int32_t oid = AsInteger("API", "OID");
      api.loUnlink(static_cast<std::uint32_t>(oid));
      Response.RegisterHeader("API", "OID", oid);
      break;
    }
    case 3: {  // loCopy
      const std::uint32_t copy = api.loCopy(static_cast<std::uint32_t>(AsInteger("API", "OID")));
      Response.RegisterHeader("API", "OID", static_cast<std::int32_t>(copy));
      break;
    }
    case 4: {  // loNotifications
      std::string text;
      const std::vector<TmncNotification> notifications = Connection.ReceiveNotifications();
      for (const TmncNotification& notification : notifications)
        text += notification.Channel + "=" + notification.Payload + "\r\n";
      Response.RegisterHeader("System", "BufferCompressed", true);
      Response.RegisterHeader("API", "Count", static_cast<std::int32_t>(notifications.size()));
      SetCompressedBuffer(Response, Utf8ToUtf16Le(text));
      break;
    }
    default:
      Response.SysError("Invalid API [%s]", {Name});
      break;
  }
}

void TDBExecuteAPICommand::ExecuteAPI(TmncSQLConnection& Connection, TStreamDataWriter& Response) {
  const std::string name = AsString("API", "Name");
  if (name.empty()) {
    Response.SysError("Invalid Name");
    return;
  }
  TLogTick tick([&] { return Format("Execute API [%s]", {name}); });
  // Only engines that offer these services run them; every other engine does nothing.
  if (IDBAPIOperations* api = Connection.APIOperations())
    RunOperation(Connection, *api, name, Response);
}

}  // namespace qm
