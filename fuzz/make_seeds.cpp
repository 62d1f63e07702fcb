// Writes seed corpora for the fuzz targets with the project's own writers, so that every run
// starts from well-formed input: make_seeds <folder> makes <folder>/<target>/<n> files.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "protocol/result_block.h"
#include "protocol/stream_data_writer.h"
#include "support/buffer.h"
#include "support/utf16.h"
#include "transport/stream.h"
#include "transport/wrapper_stream.h"

namespace {

namespace fs = std::filesystem;
using qm::TStreamData;
using qm::TStreamDataWriter;

void Save(const fs::path& folder, const std::string& target,
          const std::vector<std::string>& seeds) {
  fs::create_directories(folder / target);
  int n = 0;
  for (const std::string& seed : seeds) {
    std::ofstream file(folder / target / ("seed" + std::to_string(n++)), std::ios::binary);
    file << seed;
  }
}

// Requests as a client sends them, without the header line.
std::vector<TStreamData*> Messages(std::vector<std::unique_ptr<TStreamData>>& owned) {
  auto add = [&owned](const std::string& name) {
    owned.push_back(std::make_unique<TStreamData>());
    owned.back()->SetName(name);
    return owned.back().get();
  };
  add("Status");
  TStreamData* sql = add("ExecuteSQL");
  sql->RegisterHeader("Database", "ServerID", "261210171500123");
  sql->RegisterHeader("Database", "Handle", static_cast<std::int32_t>(1));
  sql->RegisterHeader("Database", "SQL", "select * from t where id = ?id and name = ?name");
  sql->RegisterHeader("Params", "id", static_cast<std::int32_t>(7));
  sql->RegisterHeader("Params", "name", "Quillmoor ünïcode");
  sql->RegisterHeader("Params", "when", qm::DateTimeValue{45000.5});
  sql->RegisterHeader("Params", "blob", qm::Variant(qm::TBytes{1, 2, 255}));
  sql->RegisterHeader("Params", "empty", qm::Variant::MakeNull());
  TStreamData* connect = add("Connect");
  connect->RegisterHeader("Database", "Driver", "SQLite");
  connect->RegisterHeader("Database", "Resource", "/tmp/x.db");
  TStreamData* script = add("ExecScript");
  script->Buffer().WriteBytes(qm::ZCompress(qm::Utf8ToUtf16Le("create table t(id int);\n")));
  (void)sql;
  (void)connect;
  (void)script;
  std::vector<TStreamData*> all;
  for (auto& message : owned)
    all.push_back(message.get());
  return all;
}

std::string Written(TStreamData& message, qm::TDataProtocol protocol) {
  qm::TMemoryStream memory;
  {
    qm::TmnWrapperStream stream(&memory);
    TStreamDataWriter writer(stream, protocol);
    writer.SetName(message.Name());
    writer.RegisterHeaders(&message);
    writer.Buffer().WriteBytes(message.Buffer().View());
    writer.WriteResponse();
  }
  return memory.DataString();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_seeds <folder>\n";
    return 2;
  }
  const fs::path folder = argv[1];
  std::vector<std::unique_ptr<TStreamData>> owned;
  std::vector<TStreamData*> messages = Messages(owned);

  std::vector<std::string> binary, json, vsk, decoders, lines;
  for (TStreamData* message : messages) {
    binary.push_back(Written(*message, qm::dpVSK));
    json.push_back(Written(*message, qm::dpJSON));
    const std::string text = message->SaveToBytes();
    vsk.push_back(text);
    decoders.push_back('\0' + qm::ZCompress(text));
    decoders.push_back('\1' + qm::ZCompress(text, true));
    qm::TprmBuffer buffer;
    buffer.WriteBytes(text);
    decoders.push_back('\2' + buffer.AsBase64());
    qm::TqmdZCompressor block;  // a block as the server deflates it by default
    block.Write(text);
    const std::vector<std::uint8_t> deflated = block.Finish();
    decoders.push_back('\3' + std::string(deflated.begin(), deflated.end()));
    decoders.push_back('\3' + qm::ZCompress(text));
  }
  // Two requests back to back, as on one connection.
  binary.push_back(binary[1] + binary[0]);
  for (const char* protocol : qm::kDataProtocolNames)
    lines.push_back(std::string("Protocol=") + protocol + ";Command=Data;Password=;\r");
  lines.push_back("Command=C\r");
  lines.push_back("Command=V;Password='a;b';Name=\"x;y\"\r\n\rCommand=D\r");

  const std::vector<std::string> sql = {
      std::string(1, '\0') + "select * from t where id = ?id and note <> '?x' /* ?y */",
      std::string(1, '\x23') + "insert into t values (?, ?, ?name, \"?quoted\")",
      std::string(1, '\x0f') + "update t set a = ?a -- ?comment\n where b = ?b::int",
      std::string(1, '\x01') + "select $$ ?dollar $$, E'\\'?' , ?x",
  };

  Save(folder, "fuzz_binary_message", binary);
  Save(folder, "fuzz_json_message", json);
  Save(folder, "fuzz_vsk_reader", vsk);
  Save(folder, "fuzz_decoders", decoders);
  Save(folder, "fuzz_header_line", lines);
  Save(folder, "fuzz_sql_params", sql);
  return 0;
}
