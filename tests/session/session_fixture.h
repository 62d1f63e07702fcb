#pragma once

// An in-process database server on a free loopback port, with its own configuration file, log
// folder (XDG_DATA_HOME and HOME point into a temporary folder) and SQLite files, and a client
// that talks to it through the protocol's client classes.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/temp_folder.h"
#include "protocol/stream_data_writer.h"
#include "service/db_server.h"
#include "support/variant.h"

namespace qm::testing {

// One request header: section, name and typed value.
struct Header {
  std::string Guid;
  std::string Name;
  Variant Value;
};

// One client connection to the server. Each Call sends one request and returns its reply.
class Client {
 public:
  explicit Client(const std::string& port);

  // The "Password" of the header lines ("" by default).
  void SetServerPassword(const std::string& password) { FPassword = password; }
  // A "Command=C" line: true when answered "O".
  bool Check();

  // The reply message of request `name` with `headers` (and `buffer` as the raw block).
  std::unique_ptr<TStreamData> Call(const std::string& name, const std::vector<Header>& headers,
                                    const std::string& buffer = std::string());
  // Sends the request `name` with `headers` without waiting for the reply; Close then leaves
  // as a client that gives up would.
  void Send(const std::string& name, const std::vector<Header>& headers);
  void Close();

 private:
  std::unique_ptr<TpdcClientSocketStream> FStream;
  std::string FPassword;
};

// The process log and HOME in a throw-away folder for one test.
using TempHome = TempLogHome;

class SessionServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the configuration, makes the server (before Start, so tests may register more
  // commands) and starts it.
  void StartServer(const std::string& config = "Port=0\r\n",
                   const std::function<void(TqmDBServer&)>& before_start = {});
  // Stop and Start on the same server object.
  void RestartServer();

  std::unique_ptr<Client> NewClient() { return std::make_unique<Client>(port_); }
  std::string DbFile(const std::string& name) const { return home_->Folder() + "/" + name; }

  // "Connect" to a SQLite file; returns the handle (0 and a test failure on error).
  std::uint32_t ConnectSQLite(Client& client, const std::string& file);
  // "ExecuteSQL" on a session; `extra` adds headers (parameters, "TRHandle").
  std::unique_ptr<TStreamData> Sql(Client& client, std::uint32_t handle, const std::string& sql,
                                   std::vector<Header> extra = {});
  // The session headers every command of a session carries.
  std::vector<Header> SessionHeaders(std::uint32_t handle) const;

  std::unique_ptr<TempHome> home_;
  std::unique_ptr<TqmDBServer> server_;
  std::string port_;
  std::string config_file_;
};

// The reply's "Fields" headers: names and data types, in order.
using TFieldList = std::vector<std::pair<std::string, TDataHeaderType>>;
TFieldList FieldsOf(const TStreamData& reply);

// The reply's block inflated.
std::string Inflate(const TStreamData& reply);
// The rows of an inflated UTF-8 block: values per row, "NULL;" for null.
std::vector<std::vector<std::string>> DecodeRows(const std::string& block);
// The UTF-16LE text compressed, as a request buffer for "ExecScript".
std::string CompressScript(const std::string& text);

}  // namespace qm::testing
