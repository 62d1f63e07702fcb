#include "protocol/stream_data.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/stream_data_writer.h"
#include "support/buffer.h"
#include "support/text_utils.h"
#include "support/utf16.h"
#include "transport/stream.h"
#include "transport/wrapper_stream.h"

namespace qm {
namespace {

TEST(StreamDataTest, NewMessageHoldsTwoDefaultHeaders) {
  TStreamData message;
  ASSERT_EQ(message.Count(), 2);
  EXPECT_EQ(message.AsString("system", "VERSION"), "1.0.0.1");
  EXPECT_EQ(message.AsString("System", "Compressed"), "False");
  EXPECT_EQ(message.Item(0)->DataType(), dhtString);
  EXPECT_EQ(message.Item(1)->DataType(), dhtString);
  EXPECT_EQ(message.Item(0)->Data(), "MQAuADAALgAwAC4AMQA=");
  message.Clear();
  EXPECT_EQ(message.Count(), 0);
}

TEST(StreamDataTest, RegisterHeaderOverwritesInPlaceKeepingFirstCase) {
  TStreamData message;
  message.RegisterHeader("Database", "Driver", "PG");
  message.RegisterHeader("database", "driver", "SQLite");
  ASSERT_EQ(message.Count(), 3);
  EXPECT_EQ(message.Item(2)->Guid(), "Database");
  EXPECT_EQ(message.Item(2)->Name(), "Driver");
  EXPECT_EQ(message.Item(2)->AsString(), "SQLite");
}

struct RegisterCase {
  const char* label;
  std::function<void(TStreamDataHeaders&)> store;
  const char* text;
  TDataHeaderType type;
};

TEST(StreamDataTest, RegisterHeaderOverloadsStoreTextAndType) {
  const std::vector<RegisterCase> cases = {
      {"string", [](auto& h) { h.RegisterHeader("g", "n", std::string("abc")); }, "abc", dhtString},
      {"int32", [](auto& h) { h.RegisterHeader("g", "n", std::int32_t{-42}); }, "-42", dhtInteger},
      {"uint32", [](auto& h) { h.RegisterHeader("g", "n", std::uint32_t{4000000000u}); },
       "4000000000", dhtCardinal},
      {"bool", [](auto& h) { h.RegisterHeader("g", "n", true); }, "True", dhtBoolean},
      {"currency", [](auto& h) { h.RegisterHeader("g", "n", Currency{125000}); }, "12.5",
       dhtCurrency},
      {"double", [](auto& h) { h.RegisterHeader("g", "n", 1.25); }, "1.25", dhtDouble},
      {"datetime", [](auto& h) { h.RegisterHeader("g", "n", DateTimeValue{45000.5}); }, "45000.5",
       dhtDateTime},
      {"variant null", [](auto& h) { h.RegisterHeader("g", "n", Variant::MakeNull()); }, "NULL;",
       dhtString},
      {"variant int64", [](auto& h) { h.RegisterHeader("g", "n", Variant(std::int64_t{1} << 40)); },
       "1099511627776", dhtInteger},
      {"variant bytes",
       [](auto& h) {
         h.RegisterHeader("g", "n", Variant(TBytes{1, 2, 255}));
       },
       "{1,2,255}", dhtBytes},
      {"variant empty bytes", [](auto& h) { h.RegisterHeader("g", "n", Variant(TBytes{})); }, "",
       dhtBytes},
      {"variant bool", [](auto& h) { h.RegisterHeader("g", "n", Variant(false)); }, "False",
       dhtBoolean},
      {"variant string", [](auto& h) { h.RegisterHeader("g", "n", Variant("x")); }, "x", dhtString},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TStreamDataHeaders headers;
    c.store(headers);
    ASSERT_EQ(headers.Count(), 1);
    EXPECT_EQ(headers.Item(0)->AsString(), c.text);
    EXPECT_EQ(headers.Item(0)->DataType(), c.type);
  }
}

TEST(StreamDataTest, ValueFollowsDataType) {
  TStreamDataHeaders headers;
  EXPECT_EQ(headers.RegisterHeader("g", "b", true)->Value(), Variant(true));
  EXPECT_TRUE(headers.RegisterHeader("g", "null", Variant::MakeNull())->Value().IsNull());
  EXPECT_TRUE(headers.RegisterHeader("g", "text", "NULL;")->Value().IsNull());
  EXPECT_EQ(headers.RegisterHeader("g", "bytes", Variant(TBytes{1, 2, 255}))->Value(),
            Variant(TBytes{1, 2, 255}));
  EXPECT_EQ(headers.RegisterHeader("g", "i", 7)->Value(), Variant(std::int32_t{7}));
  EXPECT_EQ(headers.RegisterHeader("g", "s", "7")->Value(), Variant("7"));

  // Byte lists in their other accepted forms.
  TStreamDataHeader* bytes = headers.ForceHeader("g", "list");
  bytes->SetDataType(dhtBytes);
  for (const auto& [text, expected] : std::vector<std::pair<std::string, TBytes>>{
           {"[]", {}}, {"{}", {}}, {"[1, 2.9, x]", {1, 2, 0}}, {"3,4", {3, 4}}}) {
    bytes->SetText(text);
    EXPECT_EQ(bytes->Value(), Variant(expected)) << text;
  }
}

TEST(StreamDataTest, TypedViewsNeverRaise) {
  TStreamDataHeaders headers;
  auto* h = headers.RegisterHeader("g", "n", "abc");
  EXPECT_EQ(h->AsInteger(), 0);
  EXPECT_EQ(h->AsDouble(), 0.0);
  EXPECT_FALSE(h->AsBoolean());
  h->SetText("4294967297");
  EXPECT_EQ(h->AsCardinal(), 1u);
  h->SetText("1,234.5 kg");
  EXPECT_DOUBLE_EQ(h->AsDouble(), 1234.5);
  for (const char* yes : {"1", "T", "true", "Y", "yes", "t"}) {
    h->SetText(yes);
    EXPECT_TRUE(h->AsBoolean()) << yes;
  }
  for (const char* no : {"0", "F", "N", "x", ""}) {
    h->SetText(no);
    EXPECT_FALSE(h->AsBoolean()) << no;
  }
  h->SetData("!!not base64 at all!!");
  EXPECT_NO_THROW(h->AsString());
  // A missing header reads as empty or zero.
  EXPECT_EQ(headers.AsString("x", "y"), "");
  EXPECT_EQ(headers.AsInteger("x", "y"), 0);
  EXPECT_FALSE(headers.AsBoolean("x", "y"));
}

TEST(StreamDataTest, EnumHeadersCopiesOneSection) {
  TStreamData message;
  message.RegisterHeader("Database", "Handle", 1);
  auto copies = message.EnumHeaders("system");
  ASSERT_EQ(copies->Count(), 2);
  copies->Item(0)->SetText("changed");
  EXPECT_EQ(message.AsString("System", "Version"), "1.0.0.1");
}

TEST(StreamDataTest, IsOKAndSysError) {
  TStreamData message;
  EXPECT_FALSE(message.IsOK());
  message.SetName("ok");
  EXPECT_TRUE(message.IsOK());
  message.SysError("lost");
  EXPECT_EQ(message.Name(), "Error");
  EXPECT_EQ(message.SysErrorText(), "lost");

  TStreamDataHeaders headers;
  headers.SysError("lost");
  EXPECT_EQ(headers.AsString("System", "Error"), "lost");
  headers.SysError("Invalid API [%s]", {"Foo"});
  EXPECT_EQ(headers.AsString("System", "Error"), "Invalid API [Foo]");
  EXPECT_EQ(headers.Count(), 1);
  headers.SysWarning("Not Found", "x");
  EXPECT_EQ(headers.AsString("Warning", "Not Found"), "x");
}

TEST(StreamDataJsonTest, MakeJsonHasFixedMembersInOrder) {
  TStreamData message;
  message.RegisterHeader("Database", "Handle", 5);
  EXPECT_EQ(message.MakeJSON().dump(),
            R"({"Items":[{"Guid":"System","Name":"Version","Data":"1.0.0.1","DataSize":0,)"
            R"("DataType":0},{"Guid":"System","Name":"Compressed","Data":"False","DataSize":0,)"
            R"("DataType":0},{"Guid":"Database","Name":"Handle","Data":"5","DataSize":0,)"
            R"("DataType":1}]})");
  message.Buffer().WriteBytes("ab");
  EXPECT_EQ(message.MakeJSON()["Buffer"], "YWI=");
}

TEST(StreamDataJsonTest, LoadJsonAppendsHeadersAndSetsBuffer) {
  TStreamData message;
  message.Buffer().WriteBytes("old");
  std::string text =
      R"({"Items":[{"Guid":"A","Name":"B","Data":"héllo","DataSize":3,"DataType":1},{}]})";
  message.LoadJSON(text.data(), text.size());
  ASSERT_EQ(message.Count(), 4);
  EXPECT_EQ(message.Item(2)->AsString(), "héllo");
  EXPECT_EQ(message.Item(2)->DataSize(), 3);
  EXPECT_EQ(message.Item(2)->DataType(), dhtInteger);
  EXPECT_EQ(message.Item(3)->Guid(), "");
  EXPECT_EQ(message.Buffer().Count(), 0);  // no "Buffer" member clears it

  text = R"({"Buffer":"YWI="})";
  message.LoadJSON(text.data(), text.size());
  EXPECT_EQ(message.Buffer().View(), "ab");
}

TEST(StreamDataJsonTest, BadJson) {
  TStreamData message;
  std::string broken = R"({"Items":[)";
  message.LoadJSON(broken.data(), broken.size());
  EXPECT_EQ(message.Count(), 2);
  for (std::string not_object : {"[1,2]", "42", R"({"Items":[5]})"}) {
    EXPECT_THROW(message.LoadJSON(not_object.data(), not_object.size()), EInvalidCast)
        << not_object;
  }
  // A type outside the enumeration is kept as a string header.
  std::string odd = R"({"Items":[{"Guid":1,"Name":null,"DataType":99,"DataSize":1e30}]})";
  message.LoadJSON(odd.data(), odd.size());
  EXPECT_EQ(message.Item(message.Count() - 1)->Guid(), "1");
  EXPECT_EQ(message.Item(message.Count() - 1)->DataType(), dhtString);
}

// --- binary form over a memory stream ---

TEST(StreamDataWireTest, FormatSize) {
  EXPECT_EQ(TStreamDataWriter::FormatSize(0), "0         ");
  EXPECT_EQ(TStreamDataWriter::FormatSize(1234), "1234      ");
  EXPECT_EQ(TStreamDataWriter::FormatSize(1234567890), "1234567890");
}

TEST(StreamDataWireTest, BinaryReplyLayoutAndRoundTrip) {
  TMemoryStream memory;
  {
    TmnWrapperStream stream(&memory);
    TStreamDataWriter writer(stream);
    writer.SetName("OK");
    writer.RegisterHeader("Database", "Handle", 9);
    writer.WriteResponse();
  }
  const std::string& bytes = memory.DataString();
  ASSERT_GT(bytes.size(), 20u);
  std::size_t body_size = std::stoul(bytes.substr(0, 10));
  EXPECT_EQ(static_cast<unsigned char>(bytes[10]), 0x78);  // zlib header
  ASSERT_EQ(bytes.size(), 10 + body_size + 10);
  EXPECT_EQ(bytes.substr(10 + body_size), "0         ");
  std::string text = Utf16LeToUtf8(ZDecompress(bytes.substr(10, body_size)));
  EXPECT_EQ(text.substr(0, 38), "TStreamDataWriter {\n  Name = 'OK';\n  O");

  memory.SetPosition(0);
  TmnWrapperStream stream(&memory);
  TStreamDataWriter reader(stream);
  reader.Response().Buffer().WriteBytes("stale");
  reader.ReadResponse();
  EXPECT_TRUE(reader.Response().IsOK());
  EXPECT_EQ(reader.Response().Count(), 3);
  EXPECT_EQ(reader.Response().AsInteger("database", "handle"), 9);
  EXPECT_EQ(reader.Response().Buffer().Count(), 0);
}

TEST(StreamDataWireTest, RawBlockTravelsAsItIs) {
  TMemoryStream memory;
  std::string raw("\0\1\2\xff payload", 12);
  {
    TmnWrapperStream stream(&memory);
    TStreamDataWriter writer(stream);
    writer.SetName("OK");
    writer.Buffer().WriteBytes(raw);
    writer.WriteResponse();
  }
  EXPECT_EQ(memory.DataString().substr(memory.DataString().size() - 22), "12        " + raw);
  memory.SetPosition(0);
  TmnWrapperStream stream(&memory);
  TStreamDataWriter reader(stream);
  reader.ReadResponse();
  EXPECT_EQ(reader.Response().Buffer().View(), raw);
}

TEST(StreamDataWireTest, SizeFieldParsing) {
  struct Case {
    std::string field;
    bool raises;
  };
  for (const auto& c : std::vector<Case>{{"abcdefghij", true},
                                         {"0         ", true},
                                         {"-5        ", true},
                                         {"", true},
                                         {"   42     ", false},
                                         {"3000000000", false}}) {
    TMemoryStream memory(c.field);
    TmnWrapperStream stream(&memory);
    TStreamDataWriter reader(stream);
    if (c.raises) {
      try {
        reader.ReadResponse();
        ADD_FAILURE() << "no exception for [" << c.field << "]";
      } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "stream size = 0");
      }
    } else {
      // A size read in full (beyond 32 bits too), nothing behind it: never taken as whole.
      EXPECT_ANY_THROW(reader.ReadResponse());
      EXPECT_EQ(reader.Response().Name(), "");
      EXPECT_EQ(reader.Response().Count(), 2);
    }
  }
}

// Records the largest single read asked of the device.
class RecordingStream : public TmnBufferStream {
 public:
  explicit RecordingStream(std::string data) : data_(std::move(data)) { SetReadBufferSize(0); }
  bool Connected() override { return pos_ < data_.size(); }
  std::int64_t largest_read = 0;

 protected:
  std::int64_t DoRead(void* Buffer, std::int64_t Count) override {
    largest_read = std::max(largest_read, Count);
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(Count), data_.size() - pos_);
    std::memcpy(Buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<std::int64_t>(n);
  }
  std::int64_t DoWrite(const void*, std::int64_t Count) override { return Count; }

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

TEST(StreamDataWireTest, HugeAnnouncedSizeReadsOnlyWhatArrives) {
  // Within the bounds: read in pieces as the bytes come, and a short body is not taken.
  TStreamDataLimits limits;
  limits.MaxBody = 3000000000;
  RecordingStream stream("2000000000" + std::string(100, 'x'));
  TStreamDataWriter reader(stream);
  reader.SetLimits(limits);
  EXPECT_THROW(reader.ReadResponse(), EStreamDataTruncated);
  EXPECT_EQ(reader.Response().Name(), "");
  EXPECT_LE(stream.largest_read, static_cast<std::int64_t>(TStreamDataWriter::kReadChunk));
}

// The wire form of a binary message: body, raw block size field, raw block.
std::string BinaryWire(const std::string& vsk_text, const std::string& raw = "") {
  const std::string body = ZCompress(Utf8ToUtf16Le(vsk_text));
  return TStreamDataWriter::FormatSize(static_cast<std::int64_t>(body.size())) + body +
         TStreamDataWriter::FormatSize(static_cast<std::int64_t>(raw.size())) + raw;
}

// VSK text of a message named `name` with `count` empty headers.
std::string ManyHeadersText(const std::string& name, int count) {
  std::string text = "TStreamData {\n  Name = '" + name + "';\n  Objects = {\n";
  for (int i = 0; i < count; ++i)
    text += "    TStreamDataHeader {\n    }\n";
  return text + "  }\n}\n";
}

TEST(StreamDataLimitsTest, MessagesOverABoundAreRefused) {
  TStreamDataLimits small;
  small.MaxHeaders = 50;
  small.MaxBody = 4096;
  small.MaxRawBlock = 100;
  struct Case {
    const char* label;
    TDataProtocol protocol;
    std::string wire;
    bool in_step;  // whether the whole message was read anyway
  };
  std::string items = "[";
  for (int i = 0; i < 51; ++i)
    items += std::string(i == 0 ? "" : ",") + "{}";
  items += "]";
  const std::string json_many = "{\"Items\":" + items + "}";
  const std::string json_deep = std::string(40, '[') + std::string(40, ']');
  const std::vector<Case> cases = {
      {"headers over the bound", dpVSK, BinaryWire(ManyHeadersText("Echo", 51)), true},
      {"headers over the bound, JSON", dpJSON,
       TStreamDataWriter::FormatSize(static_cast<std::int64_t>(json_many.size())) + json_many,
       true},
      {"JSON nested too deep", dpJSON,
       TStreamDataWriter::FormatSize(static_cast<std::int64_t>(json_deep.size())) + json_deep,
       true},
      {"body over the bound", dpVSK, "5000      " + std::string(5000, 'x'), false},
      {"body size beyond 32 bits", dpVSK, "9999999999", false},
      {"raw block over the bound", dpVSK,
       BinaryWire(ManyHeadersText("Echo", 1), std::string(101, 'r')), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TMemoryStream memory(c.wire + "after");
    TmnWrapperStream stream(&memory);
    TStreamDataWriter reader(stream, c.protocol);
    reader.SetLimits(small);
    try {
      reader.ReadResponse();
      ADD_FAILURE() << "not refused";
    } catch (const EStreamDataLimit& e) {
      EXPECT_EQ(e.InStep(), c.in_step);
      EXPECT_NE(e.Message().find("limit"), std::string::npos) << e.Message();
      if (c.in_step) {
        EXPECT_EQ(stream.ReadBytes(5), "after");
      }
    }
    // Never more headers than the bound, whatever came.
    EXPECT_LE(reader.Response().Count(), 50);
  }
}

TEST(StreamDataLimitsTest, HeadersAtTheBoundAreLoaded) {
  TStreamDataLimits limits;
  limits.MaxHeaders = 50;
  TMemoryStream memory(BinaryWire(ManyHeadersText("Echo", 50), "raw"));
  TmnWrapperStream stream(&memory);
  TStreamDataWriter reader(stream);
  reader.SetLimits(limits);
  reader.ReadResponse();
  EXPECT_EQ(reader.Response().Count(), 50);
  EXPECT_EQ(reader.Response().Buffer().View(), "raw");
}

TEST(StreamDataLimitsTest, CutShortMessagesRaise) {
  const std::string whole = BinaryWire(ManyHeadersText("Echo", 2), "0123456789");
  for (std::size_t cut : {std::size_t{5}, std::size_t{12}, whole.size() - 15, whole.size() - 1}) {
    SCOPED_TRACE(cut);
    TMemoryStream memory(whole.substr(0, cut));
    TmnWrapperStream stream(&memory);
    TStreamDataWriter reader(stream);
    EXPECT_THROW(reader.ReadResponse(), EStreamDataTruncated);
  }
  const std::string json = R"({"Items":[]})";
  TMemoryStream memory(TStreamDataWriter::FormatSize(100) + json);
  TmnWrapperStream stream(&memory);
  TStreamDataWriter reader(stream, dpJSON);
  EXPECT_THROW(reader.ReadResponse(), EStreamDataTruncated);
}

TEST(StreamDataLimitsTest, HighlyCompressedHeaderTextIsBoundedByWhatWasSent) {
  // About 10 MB of header text from a body of about 10 KB: over the allowance plus 256 times
  // the compressed bytes, so it is refused before it is held.
  std::string text =
      "TStreamData {\n  Name = 'Echo';\n  Data = '" + std::string(5000000, 'a') + "';\n}\n";
  TMemoryStream memory(BinaryWire(text) + "after");
  TmnWrapperStream stream(&memory);
  TStreamDataWriter reader(stream);
  EXPECT_THROW(reader.ReadResponse(), EZDecompressionLimitError);
  EXPECT_EQ(stream.ReadBytes(5), "after");
  TStreamDataLimits limits;
  EXPECT_EQ(limits.HeaderTextBound(0), limits.InflateAllowance);
  EXPECT_EQ(limits.HeaderTextBound(std::int64_t{1} << 40), limits.MaxHeaderText);
}

TEST(StreamDataLimitsTest, RefusedNameMakesNoHeaders) {
  TMemoryStream memory(BinaryWire(ManyHeadersText("NoSuchCommand", 1000), "raw block") + "after");
  TmnWrapperStream stream(&memory);
  TStreamDataWriter reader(stream);
  reader.Response().SetNameFilter([](const std::string& name) { return name == "Echo"; });
  reader.ReadResponse();
  EXPECT_TRUE(reader.Response().NameRefused());
  EXPECT_EQ(reader.Response().Name(), "NoSuchCommand");
  EXPECT_EQ(reader.Response().Count(), 0);
  EXPECT_EQ(reader.Response().Buffer().Count(), 0);
  EXPECT_EQ(stream.ReadBytes(5), "after");
}

TEST(StreamDataIndexTest, LookupsFollowEveryChangeOfTheList) {
  // The index beside the list must give what a scan from the front would give.
  auto scan = [](const TStreamDataHeaders& list, const std::string& guid,
                 const std::string& name) -> TStreamDataHeader* {
    for (int i = 0; i < list.Count(); ++i)
      if (SameText(list.Item(i)->Guid(), guid) && SameText(list.Item(i)->Name(), name))
        return list.Item(i);
    return nullptr;
  };
  auto header = [](const std::string& guid, const std::string& name) {
    auto h = std::make_unique<TStreamDataHeader>();
    h->SetGuid(guid);
    h->SetName(name);
    return h;
  };
  struct Step {
    const char* label;
    std::function<void(TStreamData&)> change;
  };
  const std::vector<Step> steps = {
      {"append a duplicate", [&](TStreamData& m) { m.Add(header("params", "A")); }},
      {"insert a duplicate in front",
       [&](TStreamData& m) { m.Insert(0, header("PARAMS", "a").release()); }},
      {"rename the first", [](TStreamData& m) { m.Item(0)->SetName("b"); }},
      {"move a section", [](TStreamData& m) { m.Item(1)->SetGuid("Other"); }},
      {"delete the first", [](TStreamData& m) { m.Delete(0); }},
      {"exchange", [](TStreamData& m) { m.Exchange(0, m.Count() - 1); }},
      {"move", [](TStreamData& m) { m.Move(0, m.Count() - 1); }},
      {"assign over",
       [](TStreamData& m) {
         TStreamDataHeader source;
         source.SetGuid("Params");
         source.SetName("c");
         m.Item(0)->Assign(source);
       }},
      {"extract", [](TStreamData& m) { delete m.Extract(m.Item(0)); }},
      {"register into an existing one", [](TStreamData& m) { m.RegisterHeader("params", "B", 7); }},
      {"clear and load again",
       [](TStreamData& m) {
         std::string bytes = m.SaveToBytes();
         m.Clear();
         m.LoadFromBytes(bytes);
       }},
  };
  // A short list is scanned, a long one indexed: the same steps on both.
  for (int filler : {0, 40}) {
    SCOPED_TRACE(filler);
    TStreamData message;
    for (int i = 0; i < filler; ++i)
      message.RegisterHeader("Filler", "f" + std::to_string(i), "");
    for (const char* name : {"a", "b", "c", "A"})
      message.RegisterHeader("Params", name, std::string(name));
    message.Add(header("Params", "a"));
    for (const auto& step : steps) {
      SCOPED_TRACE(step.label);
      step.change(message);
      for (const char* guid : {"Params", "params", "Other", "System", "filler"})
        for (const char* name : {"a", "A", "b", "c", "Version", "missing", "F3"})
          EXPECT_EQ(message.FindHeader(guid, name), scan(message, guid, name))
              << guid << "." << name;
    }
  }
}

TEST(StreamDataIndexTest, ManyNoticesKeepTheirOrderAndFirstValues) {
  TStreamData reply;
  const int count = 50000;
  for (int i = 0; i < count; ++i)
    reply.RegisterHeader("Notices", "p" + std::to_string(i), "Not Found");
  // A second registration overwrites in place instead of appending.
  reply.RegisterHeader("notices", "P7", "Found");
  ASSERT_EQ(reply.Count(), count + 2);
  EXPECT_EQ(reply.Item(2)->Name(), "p0");
  EXPECT_EQ(reply.Item(count + 1)->Name(), "p" + std::to_string(count - 1));
  EXPECT_EQ(reply.AsString("Notices", "p7"), "Found");
  EXPECT_EQ(reply.AsString("Notices", "p49999"), "Not Found");
}

TEST(StreamDataWireTest, BadBodiesRaiseAfterTheRawBlock) {
  struct Case {
    const char* label;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"not zlib", "this is not a zlib stream"},
      {"too large", ZCompress(std::string((64u << 20) + 2, 'A'))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string wire = TStreamDataWriter::FormatSize(static_cast<std::int64_t>(c.body.size())) +
                       c.body + "3         abc" + "after";
    TMemoryStream memory(wire);
    TmnWrapperStream stream(&memory);
    TStreamDataWriter reader(stream);
    EXPECT_THROW(reader.ReadResponse(), EZDecompressionError);
    // The whole message was consumed: the next bytes are the next message's.
    EXPECT_EQ(stream.ReadBytes(5), "after");
  }
}

}  // namespace
}  // namespace qm
