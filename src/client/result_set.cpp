#include "client/result_set.h"

#include <ctime>
#include <memory>

#include <nlohmann/json.hpp>

#include "support/buffer.h"
#include "support/igzip_stream.h"

namespace qm {

TqmResultSet DecodeResult(const TStreamData& Reply, std::uint64_t MaxBlock,
                          const std::vector<std::size_t>& ByteColumns) {
  TqmResultSet result;
  std::unique_ptr<TStreamDataHeaders> fields = Reply.EnumHeaders("Fields");
  for (int i = 0; i < fields->Count(); ++i) {
    const TStreamDataHeader* header = fields->Item(i);
    result.Columns.push_back({header->Name(), header->DataType()});
  }
  std::unique_ptr<TStreamDataHeaders> notices = Reply.EnumHeaders("Notices");
  for (int i = 0; i < notices->Count(); ++i) {
    const TStreamDataHeader* header = notices->Item(i);
    result.Notices.emplace_back(header->Name(), header->AsString());
  }

  std::string_view raw = Reply.Buffer().View();
  if (raw.empty()) {
    return result;
  }
  if (Reply.AsBoolean("System", "BufferCompressed")) {
    // Rows are split off as the block inflates: the inflated text is never held whole. igzip
    // inflates about twice as fast as zlib, whatever deflater wrote the block.
    TResultBlockDecoder decoder(result.Columns.size(), ByteColumns);
    IgzipInflateEach(raw, MaxBlock, [&decoder](std::string_view piece) { decoder.Feed(piece); });
    result.Rows = decoder.Finish();
  } else {
    result.Rows = DecodeResultBlock(raw, result.Columns.size(), ByteColumns);
  }
  return result;
}

TqmResultSet DecodeStatus(std::string_view Json) {
  const nlohmann::json status = nlohmann::json::parse(Json, nullptr, false);
  if (!status.is_object() || !status.contains("items") || !status["items"].is_array()) {
    throw EqmResultError("Status reply is not a status object");
  }
  TqmResultSet result;
  result.Columns = {{"Handle", dhtInteger},       {"RemoteIP", dhtString},
                    {"LastAccess", dhtString},    {"Commands", dhtInteger},
                    {"Transactions", dhtInteger}, {"Resource", dhtString}};
  result.Rows = TqmRows(result.Columns.size());
  auto text = [](const nlohmann::json& item, const char* name) -> TqmValue {
    if (!item.contains(name)) {
      return std::nullopt;
    }
    const nlohmann::json& value = item[name];
    return value.is_string() ? value.get<std::string>() : value.dump();
  };
  for (const nlohmann::json& item : status["items"]) {
    if (!item.is_object()) {
      throw EqmResultError("Status reply is not a status object");
    }
    TqmValue last_access;
    if (item.contains("LastAccess") && item["LastAccess"].is_number()) {
      // Seconds since 1970 counted on the server's local clock as is: shown without a zone.
      const std::time_t seconds = item["LastAccess"].get<std::int64_t>();
      std::tm parts{};
      char formatted[32];
      if (gmtime_r(&seconds, &parts) != nullptr &&
          std::strftime(formatted, sizeof(formatted), "%Y-%m-%d %H:%M:%S", &parts) > 0) {
        last_access = std::string(formatted);
      }
    }
    // The server leaves out counts of 0.
    auto count = [&text](const nlohmann::json& item, const char* name) -> TqmValue {
      TqmValue value = text(item, name);
      return value ? value : TqmValue("0");
    };
    for (const TqmValue& value :
         {text(item, "Handle"), text(item, "RemoteIP"), last_access, count(item, "Commands"),
          count(item, "Transactions"), text(item, "Resource")}) {
      result.Rows.Add(ViewOf(value));
    }
    result.Rows.EndRow();
  }
  return result;
}

}  // namespace qm
