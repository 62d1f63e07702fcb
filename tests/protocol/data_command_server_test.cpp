#include "protocol/data_command_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/temp_folder.h"
#include "protocol/stream_data_writer.h"
#include "support/buffer.h"
#include "support/utf16.h"

namespace qm {
namespace {

// Echoes the request's "Test" section, its buffer and what the connection saw.
class EchoCommand : public TpdcDataCommand {
 public:
  using TpdcDataCommand::TpdcDataCommand;
  void Execute(TStreamDataWriter& Writer) override {
    Writer.SetName("OK");
    Writer.RegisterHeader("Test", "Value", AsString("Test", "Value"));
    Writer.RegisterHeader("Test", "RemoteIP", Connection().AsString("RemoteIP"));
    Writer.RegisterHeader("Test", "ServerID", ServerID());
    Writer.Buffer().WriteBytes(Request()->Buffer().View());
  }
};

class FailCommand : public TpdcDataCommand {
 public:
  using TpdcDataCommand::TpdcDataCommand;
  void Execute(TStreamDataWriter& /*Writer*/) override { throw EmncException("it broke"); }
};

class StdFailCommand : public TpdcDataCommand {
 public:
  using TpdcDataCommand::TpdcDataCommand;
  void Execute(TStreamDataWriter& /*Writer*/) override { throw std::out_of_range("bad index"); }
};

class LockingCommand : public EchoCommand {
 public:
  explicit LockingCommand(TpdcDataCommandConnection& Connection) : EchoCommand(Connection) {
    SetLocking(true);
  }
};

// Only a guard against a server that never answers: sanitizer builds run some cases ten
// times slower, so it is generous.
constexpr int kTimeoutMs = 60000;

class DataCommandServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<TpdcDataCommandServer>();
    server_->RegisterCommand<EchoCommand>("Echo");
    server_->RegisterCommand<FailCommand>("Fail");
    server_->RegisterCommand<StdFailCommand>("StdFail");
    server_->RegisterCommand<LockingCommand>("Locked");
    server_->SetPort("0");
    server_->SetBind("127.0.0.1");
    server_->Start(true);
    ASSERT_TRUE(server_->Connected());
    port_ = server_->UsedPort();
  }
  void TearDown() override { server_.reset(); }

  std::unique_ptr<TpdcClientSocketStream> Connect() {
    auto stream = std::make_unique<TpdcClientSocketStream>("127.0.0.1", port_);
    stream->SetReadTimeout(kTimeoutMs);
    stream->Connect();
    return stream;
  }

  // Sends a raw header line and returns up to `count` bytes of the answer.
  std::string Ask(TmnBufferStream& stream, const std::string& line, std::int64_t count) {
    stream.WriteRawByte(line);
    return stream.ReadBytes(count);
  }

  void ExpectConnectionCheckStillWorks() {
    auto stream = Connect();
    EXPECT_EQ(Ask(*stream, "Command=C\r", 1), "O");
  }

  // The order matters: the log is redirected before the server logs anything.
  testing::TempLogHome log_;
  std::unique_ptr<TpdcDataCommandServer> server_;
  std::string port_;
};

TEST_F(DataCommandServerTest, ConnectionCheckAnyCase) {
  auto stream = Connect();
  for (const char* line : {"Command=C\r", "command=connect;\r",
                           "Protocol=VSK;COMMAND=c;Password=;\r", "\r\nCommand=C\r"}) {
    EXPECT_EQ(Ask(*stream, line, 1), "O") << line;
  }
}

TEST_F(DataCommandServerTest, IdentityQueryAnswersServerId) {
  auto stream = Connect();
  std::string id = Ask(*stream, "Command=Version\r", 15);
  EXPECT_EQ(id, server_->ServerID());
  ASSERT_EQ(id.size(), 15u);
  EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
  // No line end follows: the next answer comes straight after.
  EXPECT_EQ(Ask(*stream, "Command=C\r", 1), "O");
}

TEST_F(DataCommandServerTest, AnythingElseIsRefusedAfterAPause) {
  auto stream = Connect();
  for (const char* line : {"Command=X\r", "Foo=1\r"}) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask(*stream, line, 15), "Invalid Headers") << line;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  }
}

TEST_F(DataCommandServerTest, DataRequestIsServedIgnoringNameCase) {
  auto stream = Connect();
  for (const char* name : {"Echo", "ECHO"}) {
    TStreamDataWriter writer(*stream);
    writer.SetName(name);
    writer.RegisterHeader("Test", "Value", "ünïcode; 'quoted' {braces}");
    writer.Buffer().WriteBytes(std::string("\0raw\xff", 5));
    writer.WriteData();
    const TStreamData& reply = writer.Response();
    EXPECT_TRUE(reply.IsOK()) << reply.SysErrorText();
    EXPECT_EQ(reply.AsString("Test", "Value"), "ünïcode; 'quoted' {braces}");
    EXPECT_EQ(reply.AsString("Test", "ServerID"), server_->ServerID());
    EXPECT_EQ(reply.AsString("System", "Version"), "1.0.0.1");
    EXPECT_EQ(reply.Buffer().View(), std::string("\0raw\xff", 5));
  }
}

TEST_F(DataCommandServerTest, ErrorReplies) {
  struct Case {
    const char* name;
    const char* error;
  };
  auto stream = Connect();
  for (const auto& c : std::vector<Case>{{"Nothing", "Invalid Command :)"},
                                         {"Fail", "it broke"},
                                         {"StdFail", "bad index"},
                                         {"", "Missing Name :)"}}) {
    TStreamDataWriter writer(*stream);
    writer.SetName(c.name);
    writer.WriteData();
    EXPECT_EQ(writer.Response().Name(), "Error") << c.name;
    EXPECT_EQ(writer.Response().SysErrorText(), c.error);
  }
  // The same connection still serves.
  TStreamDataWriter writer(*stream);
  writer.SetName("Locked");
  writer.WriteData();
  EXPECT_TRUE(writer.Response().IsOK());
  EXPECT_EQ(Ask(*stream, "Command=C\r", 1), "O");
}

TEST_F(DataCommandServerTest, JsonRequestGetsJsonMissingName) {
  auto stream = Connect();
  std::string body = R"({"Items":[{"Guid":"Test","Name":"Value","Data":"x"}]})";
  stream->WriteRawByte("Protocol=json;Command=Data;Password=;\r" +
                       TStreamDataWriter::FormatSize(static_cast<std::int64_t>(body.size())) +
                       body);
  std::string size = stream->ReadBytes(10);
  ASSERT_EQ(size.size(), 10u);
  std::string text = stream->ReadBytes(std::stoll(size));
  EXPECT_EQ(text,
            R"({"Items":[{"Guid":"System","Name":"Version","Data":"1.0.0.1","DataSize":0,)"
            R"("DataType":0},{"Guid":"System","Name":"Compressed","Data":"False","DataSize":0,)"
            R"x("DataType":0},{"Guid":"System","Name":"Error","Data":"Missing Name :)",)x"
            R"("DataSize":0,"DataType":0}]})");

  // The client classes speak it too.
  TStreamDataWriter writer(*stream, dpJSON);
  writer.WriteData();
  EXPECT_EQ(writer.Response().AsString("System", "Error"), "Missing Name :)");
}

TEST_F(DataCommandServerTest, RemoteIPIsThePeerAddress) {
  auto stream = Connect();
  stream->WriteRawByte("Protocol=VSK;Command=Data;RemoteIP=1.2.3.4;Password=;\r");
  TStreamDataWriter writer(*stream);
  writer.SetName("Echo");
  writer.WriteResponse();  // the message alone, after our own header line
  writer.ReadResponse();
  EXPECT_EQ(writer.Response().AsString("Test", "RemoteIP"), "127.0.0.1");
}

TEST_F(DataCommandServerTest, Registration) {
  try {
    server_->RegisterCommand<EchoCommand>("New");
    FAIL() << "registered on an active server";
  } catch (const TpdcDataCommandExceotion& e) {
    EXPECT_EQ(e.Message(), "Server is Active");
  }
  TpdcDataCommandServer idle;
  idle.RegisterCommand<EchoCommand>("ExecuteSQL");
  try {
    idle.RegisterCommand<EchoCommand>("executesql");
    FAIL() << "registered twice";
  } catch (const TpdcDataCommandExceotion& e) {
    EXPECT_EQ(e.Message(), "Command already exists: executesql");
  }
}

TEST_F(DataCommandServerTest, NewHandleIsUniqueAcrossThreads) {
  TpdcDataCommandListener* listener = server_->DBListener();
  ASSERT_NE(listener, nullptr);
  std::vector<std::vector<std::int64_t>> taken(4);
  std::vector<std::thread> threads;
  for (auto& list : taken) {
    threads.emplace_back([&list, listener] {
      for (int i = 0; i < 1000; ++i) {
        list.push_back(listener->NewHandle());
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  std::set<std::int64_t> all;
  for (const auto& list : taken) {
    all.insert(list.begin(), list.end());
  }
  EXPECT_EQ(all.size(), 4000u);
  EXPECT_EQ(*all.begin(), 1);
}

TEST(HeaderLineTest, SplittingRules) {
  struct Case {
    const char* line;
    std::vector<std::string> items;
  };
  const std::vector<Case> cases = {
      {"Protocol=VSK;Command=Data;Password=;", {"Protocol=VSK", "Command=Data", "Password="}},
      {"a='x;y';b=\"1;2\";;c=3", {"a='x;y'", "b=\"1;2\"", "c=3"}},
      {"\r\n a=1\nb=2", {" a=1", "b=2"}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TpdcDataCommandConnection::SplitHeaderLine(c.line), c.items) << c.line;
  }
}

// --- bad input: none of it may stop the server from serving others ---

TEST_F(DataCommandServerTest, OverlongHeaderLineEndsThatConnection) {
  auto stream = Connect();
  auto other = Connect();
  stream->WriteRawByte(std::string(70 * 1024, 'A'));
  // The server closes: the read ends with nothing instead of waiting for the time-out.
  EXPECT_EQ(stream->ReadBytes(1), "");
  EXPECT_FALSE(stream->Connected());
  EXPECT_EQ(Ask(*other, "Command=C\r", 1), "O");
  ExpectConnectionCheckStillWorks();
}

TEST_F(DataCommandServerTest, BadSizeFieldAbandonsTheRequest) {
  for (const char* field : {"abcdefghij", "0         "}) {
    auto stream = Connect();
    stream->WriteRawByte(std::string("Protocol=VSK;Command=Data;Password=;\r") + field);
    // No reply to the message; the connection still answers the next line.
    EXPECT_EQ(Ask(*stream, "Command=C\r", 1), "O") << field;
  }
  EXPECT_NE(log_.LogText().find("Exception: [stream size = 0]"), std::string::npos);
  ExpectConnectionCheckStillWorks();
}

TEST_F(DataCommandServerTest, PeerClosingMidMessage) {
  for (const char* tail : {"2000000000xxxx", "100       partial body", "", "12        "}) {
    auto stream = Connect();
    stream->WriteRawByte(std::string("Protocol=VSK;Command=Data;Password=;\r") + tail);
    stream->Disconnect();
  }
  ExpectConnectionCheckStillWorks();
}

TEST_F(DataCommandServerTest, UndecodableBodiesGetErrorReplies) {
  struct Case {
    const char* label;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"not zlib", "definitely not deflate data"},
      {"over 64 MiB", ZCompress(std::string((64u << 20) + 2, ' '))},
  };
  auto stream = Connect();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    stream->WriteRawByte("Protocol=VSK;Command=Data;Password=;\r" +
                         TStreamDataWriter::FormatSize(static_cast<std::int64_t>(c.body.size())) +
                         c.body + "0         ");
    TStreamDataWriter reader(*stream);
    reader.ReadResponse();
    EXPECT_EQ(reader.Response().Name(), "Error");
    EXPECT_FALSE(reader.Response().SysErrorText().empty());
  }
  EXPECT_EQ(Ask(*stream, "Command=C\r", 1), "O");
}

// A whole binary "Echo" request (header line, body, raw block size and raw block), with the
// raw block's size field announcing `announced` bytes while only `raw` is sent.
std::string EchoRequest(const std::string& raw, std::int64_t announced, int headers = 1) {
  TStreamData message;
  message.SetName("Echo");
  for (int i = 0; i < headers; ++i)
    message.RegisterHeader("Test", i == 0 ? std::string("Value") : "h" + std::to_string(i), "v");
  const std::string body = ZCompress(message.SaveToBytes());
  return "Protocol=VSK;Command=Data;Password=;\r" +
         TStreamDataWriter::FormatSize(static_cast<std::int64_t>(body.size())) + body +
         TStreamDataWriter::FormatSize(announced) + raw;
}

TEST_F(DataCommandServerTest, MessageThatDoesNotArriveWholeNeverRuns) {
  // The client sends part of a message and then goes quiet (but stays connected): once the
  // read time-out passes the server drops the connection instead of running what it has.
  const std::string whole = EchoRequest("0123456789", 100);
  struct Case {
    const char* label;
    std::string sent;
  };
  const std::vector<Case> cases = {
      {"raw block cut short", whole},
      {"body cut short", whole.substr(0, 60)},
      {"raw size field cut short", EchoRequest("", 0).substr(0, EchoRequest("", 0).size() - 4)},
  };
  std::vector<std::unique_ptr<TpdcClientSocketStream>> streams;
  for (const auto& c : cases) {
    streams.push_back(Connect());
    streams.back()->WriteRawByte(c.sent);
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].label);
    // No reply at all: the read ends because the server closed, not with an "OK".
    EXPECT_EQ(streams[i]->ReadBytes(1), "");
    EXPECT_FALSE(streams[i]->Connected());
  }
  EXPECT_NE(log_.LogText().find("Message cut short"), std::string::npos);
  ExpectConnectionCheckStillWorks();
}

TEST_F(DataCommandServerTest, OversizedRequestsGetAClearRefusal) {
  struct Case {
    const char* label;
    std::string sent;
    bool connection_stays;
  };
  const std::vector<Case> cases = {
      // Read as 64-bit: not 0, and not a header line after it.
      {"body size beyond 32 bits", "Protocol=VSK;Command=Data;Password=;\r3000000000", false},
      {"raw block beyond its bound", EchoRequest("", 9000000000), false},
      {"too many headers", EchoRequest("raw", 3, 100001), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto stream = Connect();
    stream->WriteRawByte(c.sent);
    TStreamDataWriter reader(*stream);
    reader.ReadResponse();
    EXPECT_EQ(reader.Response().Name(), "Error");
    EXPECT_NE(reader.Response().SysErrorText().find("limit"), std::string::npos)
        << reader.Response().SysErrorText();
    if (c.connection_stays) {
      EXPECT_EQ(Ask(*stream, "Command=C\r", 1), "O");
    } else {
      EXPECT_EQ(stream->ReadBytes(1), "");
    }
  }
  ExpectConnectionCheckStillWorks();
}

TEST_F(DataCommandServerTest, JsonRequestOverTheHeaderBoundIsRefusedInJson) {
  std::string json = "{\"Items\":[";
  for (int i = 0; i < 100001; ++i)
    json += i == 0 ? "{}" : ",{}";
  json += "]}";
  auto stream = Connect();
  stream->WriteRawByte("Protocol=JSON;Command=Data;Password=;\r" +
                       TStreamDataWriter::FormatSize(static_cast<std::int64_t>(json.size())) +
                       json);
  TStreamDataWriter reader(*stream, dpJSON);
  reader.ReadResponse();
  EXPECT_NE(reader.Response().SysErrorText().find("Too many headers"), std::string::npos)
      << reader.Response().SysErrorText();
  EXPECT_EQ(Ask(*stream, "Command=C\r", 1), "O");
}

TEST_F(DataCommandServerTest, UnknownCommandIsRefusedWithoutItsBlock) {
  TStreamData message;
  message.SetName("NoSuchCommand");
  message.RegisterHeader("Test", "Value", "v");
  const std::string body = ZCompress(message.SaveToBytes());
  auto stream = Connect();
  stream->WriteRawByte("Protocol=VSK;Command=Data;Password=;\r" +
                       TStreamDataWriter::FormatSize(static_cast<std::int64_t>(body.size())) +
                       body + TStreamDataWriter::FormatSize(1 << 20) + std::string(1 << 20, 'b'));
  TStreamDataWriter reader(*stream);
  reader.ReadResponse();
  EXPECT_EQ(reader.Response().SysErrorText(), "Invalid Command :)");
  EXPECT_EQ(Ask(*stream, "Command=C\r", 1), "O");
}

TEST_F(DataCommandServerTest, BrokenVskTextLoadsWhatItCan) {
  auto stream = Connect();
  // Unbalanced braces and an unknown statement: the name still gets through.
  std::string text = "TStreamData {\n  Name = 'Echo';\n  Bogus;\n  Objects = {\n";
  std::string body = ZCompress(Utf8ToUtf16Le(text));
  stream->WriteRawByte("Protocol=VSK;Command=Data;Password=;\r" +
                       TStreamDataWriter::FormatSize(static_cast<std::int64_t>(body.size())) +
                       body + "0         ");
  TStreamDataWriter reader(*stream);
  reader.ReadResponse();
  EXPECT_TRUE(reader.Response().IsOK()) << reader.Response().SysErrorText();
}

}  // namespace
}  // namespace qm
