#include "session/session_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "session/result_encoder.h"
#include "session/session_registry.h"
#include "support/buffer.h"
#include "support/date_time.h"
#include "support/log.h"
#include "support/utf16.h"

namespace qm::testing {

namespace {

// Only a guard against a server that never answers: sanitizer builds run some cases ten
// times slower, so it is generous.
constexpr int kTimeoutMs = 60000;

}  // namespace

// --- Client ---

Client::Client(const std::string& port)
    : FStream(std::make_unique<TpdcClientSocketStream>("127.0.0.1", port)) {
  FStream->SetReadTimeout(kTimeoutMs);
  FStream->Connect();
}

std::unique_ptr<TStreamData> Client::Call(const std::string& name,
                                          const std::vector<Header>& headers,
                                          const std::string& buffer) {
  TStreamDataWriter writer(*FStream);
  writer.SetPassword(FPassword);
  writer.SetName(name);
  for (const Header& header : headers)
    writer.RegisterHeader(header.Guid, header.Name, header.Value);
  writer.Buffer().WriteBytes(buffer);
  writer.WriteData();
  auto reply = std::make_unique<TStreamData>();
  const TStreamData& response = writer.Response();
  reply->SetName(response.Name());
  reply->RegisterHeaders(&response);
  reply->Buffer().WriteBytes(response.Buffer().View());
  return reply;
}

void Client::Send(const std::string& name, const std::vector<Header>& headers) {
  TStreamDataWriter writer(*FStream);
  writer.SetName(name);
  for (const Header& header : headers)
    writer.RegisterHeader(header.Guid, header.Name, header.Value);
  FStream->WriteRawByte("Protocol=VSK;Command=Data;Password=" + FPassword + ";\r");
  // Without a command the writer sends the message alone and reads nothing back.
  writer.WriteResponse();
}

void Client::Close() {
  FStream->Disconnect();
}

bool Client::Check() {
  FStream->WriteRawByte("Command=C;Password=" + FPassword + "\r");
  return FStream->ReadBytes(1) == "O";
}

// --- SessionServerTest ---

void SessionServerTest::SetUp() {
  home_ = std::make_unique<TempHome>();
  config_file_ = home_->Folder() + "/qmsrv.conf";
}

void SessionServerTest::TearDown() {
  server_.reset();
  // Sessions belong to the process: free this test's before its folder goes.
  TqmdConnections::Instance().Clear();
  home_.reset();
}

void SessionServerTest::StartServer(const std::string& config,
                                    const std::function<void(TqmDBServer&)>& before_start) {
  {
    std::ofstream file(config_file_, std::ios::binary);
    file << config;
  }
  server_ = std::make_unique<TqmDBServer>(config_file_);
  server_->SetBind("127.0.0.1");
  if (before_start)
    before_start(*server_);
  server_->Start(true);
  ASSERT_TRUE(server_->Connected());
  port_ = server_->UsedPort();
}

void SessionServerTest::RestartServer() {
  // The identity is the start time to the millisecond: start again until it differs.
  const std::string old_id = server_->ServerID();
  do {
    server_->Stop();
    server_->Start(true);
  } while (server_->ServerID() == old_id);
  ASSERT_TRUE(server_->Connected());
  port_ = server_->UsedPort();
}

std::vector<Header> SessionServerTest::SessionHeaders(std::uint32_t handle) const {
  return {{"Database", "ServerID", server_->ServerID()},
          {"Database", "Handle", static_cast<std::int32_t>(handle)}};
}

std::uint32_t SessionServerTest::ConnectSQLite(Client& client, const std::string& file) {
  auto reply =
      client.Call("Connect", {{"Database", "Driver", "SQLite"}, {"Database", "Resource", file}});
  EXPECT_EQ(reply->Name(), "OK") << reply->SysErrorText();
  return reply->AsCardinal("Database", "Handle");
}

std::unique_ptr<TStreamData> SessionServerTest::Sql(Client& client, std::uint32_t handle,
                                                    const std::string& sql,
                                                    std::vector<Header> extra) {
  std::vector<Header> headers = SessionHeaders(handle);
  headers.push_back({"Database", "SQL", sql});
  headers.insert(headers.end(), extra.begin(), extra.end());
  return client.Call("ExecuteSQL", headers);
}

// --- helpers ---

TFieldList FieldsOf(const TStreamData& reply) {
  TFieldList fields;
  auto headers = reply.EnumHeaders("Fields");
  for (int i = 0; i < headers->Count(); ++i)
    fields.emplace_back(headers->Item(i)->Name(), headers->Item(i)->DataType());
  return fields;
}

std::string Inflate(const TStreamData& reply) {
  return reply.Buffer().Empty() ? std::string() : ZDecompress(reply.Buffer().View());
}

std::vector<std::vector<std::string>> DecodeRows(const std::string& block) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string value;
  std::size_t i = 0;
  while (i < block.size()) {
    if (block.compare(i, kResultFieldSeparator.size(), kResultFieldSeparator) == 0) {
      row.push_back(std::move(value));
      value.clear();
      i += kResultFieldSeparator.size();
    } else if (block.compare(i, kResultRowTerminator.size(), kResultRowTerminator) == 0) {
      row.push_back(std::move(value));
      value.clear();
      rows.push_back(std::move(row));
      row.clear();
      i += kResultRowTerminator.size();
    } else {
      value += block[i++];
    }
  }
  return rows;
}

std::string CompressScript(const std::string& text) {
  return ZCompress(Utf8ToUtf16Le(text));
}

}  // namespace qm::testing
