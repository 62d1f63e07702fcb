#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/temp_folder.h"
#include "protocol/stream_data.h"
#include "protocol/vsk_entities.h"
#include "protocol/vsk_filer.h"
#include "support/buffer.h"
#include "support/exception.h"
#include "support/utf16.h"
#include "transport/stream.h"

namespace qm {
namespace {

const char kOkReply[] =
    "TStreamData {\n"
    "  Name = 'OK';\n"
    "  Objects = {\n"
    "    TStreamDataHeader {\n"
    "      Guid = 'System';\n"
    "      Name = 'Version';\n"
    "      Data = 'MQAuADAALgAwAC4AMQA=';\n"
    "      DataSize = 0;\n"
    "      DataType = dhtString;\n"
    "    }\n"
    "    TStreamDataHeader {\n"
    "      Guid = 'System';\n"
    "      Name = 'Compressed';\n"
    "      Data = 'RgBhAGwAcwBlAA==';\n"
    "      DataSize = 0;\n"
    "      DataType = dhtString;\n"
    "    }\n"
    "  }\n"
    "}\n";

TEST(VSKTextTest, OkReplySavesByteForByte) {
  TStreamData message;
  message.SetName("OK");
  std::string bytes = message.SaveToBytes();
  EXPECT_EQ(bytes, Utf8ToUtf16Le(kOkReply));
  EXPECT_EQ(bytes.size() % 2, 0u);
}

TEST(VSKTextTest, OkReplyLoadsBack) {
  TStreamData message;
  message.SetData("stale");
  message.RegisterHeader("Database", "Handle", 7);
  message.LoadFromBytes(Utf8ToUtf16Le(kOkReply));
  EXPECT_EQ(message.Name(), "OK");
  EXPECT_EQ(message.Data(), "");  // cleared before loading
  ASSERT_EQ(message.Count(), 2);
  EXPECT_EQ(message.Item(0)->Guid(), "System");
  EXPECT_EQ(message.Item(0)->Name(), "Version");
  EXPECT_EQ(message.Item(0)->AsString(), "1.0.0.1");
  EXPECT_EQ(message.Item(1)->AsString(), "False");
  EXPECT_EQ(message.Item(1)->DataType(), dhtString);
  EXPECT_EQ(message.Item(1)->Items(), &message);
  // And it saves to the same text again.
  EXPECT_EQ(message.SaveToString(), kOkReply);
}

TEST(VSKTextTest, StreamAndFileFormsCarryTheSameBytes) {
  TStreamData message;
  message.SetName("OK");
  TMemoryStream memory;
  memory.WriteBuffer("xx", 2);  // written from the current position
  message.SaveToStream(memory);
  EXPECT_EQ(memory.DataString(), "xx" + Utf8ToUtf16Le(kOkReply));

  memory.SetPosition(2);
  TStreamData loaded;
  loaded.LoadFromStream(memory);
  EXPECT_EQ(loaded.Name(), "OK");
  EXPECT_EQ(loaded.Count(), 2);

  std::string file = ::testing::TempDir() + "vsk_test_compressed.bin";
  message.CompressToFile(file);
  std::ifstream in(file, std::ios::binary);
  std::string compressed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(ZDecompress(compressed), Utf8ToUtf16Le(kOkReply));
  std::remove(file.c_str());
}

TEST(VSKTextTest, EmptyListAndEmptyStringsAreNotWritten) {
  TStreamData message;
  message.Clear();
  EXPECT_EQ(message.SaveToString(), "TStreamData {\n}\n");
  message.LoadFromString("TStreamData {\n}\n");
  EXPECT_EQ(message.Count(), 0);
}

struct EscapeCase {
  std::string text;
  std::string written;
};

TEST(VSKTextTest, QuotedValuesAreEscapedAndReadBack) {
  const std::vector<EscapeCase> cases = {
      {"it's", "it&apos&s"},
      {"a\r\nb", "a&weof&b"},
      {"a\nb", "a&ueof&b"},
      {"a\rb", "a&meol&b"},
      {"a&b", "a&and&b"},
      {std::string("a\0b", 3), "a&null&b"},
      {"{x};", "{x};"},  // braces and semicolons stay as they are inside quotes
      {"&apos&", "&and&apos&and&"},
      {"\n\r", "&ueof&&meol&"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    TStreamData message;
    message.Clear();
    message.SetName(c.text);
    std::string text = message.SaveToString();
    EXPECT_EQ(text, "TStreamData {\n  Name = '" + c.written + "';\n}\n");
    TStreamData loaded;
    loaded.LoadFromString(text);
    EXPECT_EQ(loaded.Name(), c.text);
  }
}

TEST(VSKTextTest, ReaderKnowsTheExtraEscapeWords) {
  TStreamData message;
  message.LoadFromString("X { Name = 'a&eol&b&obkt&&cbkt&&scln&'; }");
  EXPECT_EQ(message.Name(), "a\nb{};");
}

TEST(VSKEntitiesTest, FirstMatchingEntryWinsAndResultIsNotRescanned) {
  TprmEntities entities;
  InitVSKEntities(entities);
  EXPECT_EQ(entities.Count(), 10u);
  EXPECT_EQ(entities.RenderText("\r\n\n", erwEncode), "&weof&&ueof&");
  EXPECT_EQ(entities.RenderText("&and&apos&", erwDecode), "&apos&");
  // A word cut short by the end of the text is left alone.
  EXPECT_EQ(entities.RenderText("x&apo", erwDecode), "x&apo");
  EXPECT_NE(entities.Find("&obkt&"), nullptr);
  EXPECT_EQ(entities.Find("&OBKT&"), nullptr);
}

struct ParsedStatement {
  TParserPosKind kind;
  std::string name;
  std::string value;
};

std::vector<ParsedStatement> ParseAll(const std::string& text) {
  std::u16string units = Utf8ToUtf16(text);
  TVSKParser parser(units);
  std::vector<ParsedStatement> result;
  while (parser.Next()) {
    result.push_back({parser.Kind(), parser.Name(), parser.Value()});
  }
  return result;
}

TEST(VSKParserTest, StatementKindsNamesAndTrimming) {
  auto statements = ParseAll("\t Root {\n  Prop =  ' a;{} ' ;\n  Comp : TKind {\n  ; \n }\n}\n");
  ASSERT_EQ(statements.size(), 6u);
  EXPECT_EQ(statements[0].kind, ppkObject);
  EXPECT_EQ(statements[0].name, "Root");
  EXPECT_EQ(statements[1].kind, ppkProperty);
  EXPECT_EQ(statements[1].name, "Prop");
  EXPECT_EQ(statements[1].value, "' a;{} '");
  EXPECT_EQ(statements[2].kind, ppkObject);
  EXPECT_EQ(statements[2].name, "Comp");
  EXPECT_EQ(statements[2].value, "TKind");
  EXPECT_EQ(statements[3].kind, ppkUnknown);
  EXPECT_EQ(statements[4].kind, ppkEOO);
  EXPECT_EQ(statements[5].kind, ppkEOO);
}

TEST(VSKParserTest, StopCharactersRightAfterTheStopAreSkipped) {
  // "}}" closes one level only; a statement cut short by the end is dropped.
  auto statements = ParseAll("A {\n B = 1;}} C = 2");
  ASSERT_EQ(statements.size(), 2u);
  EXPECT_EQ(statements[0].kind, ppkObject);
  EXPECT_EQ(statements[1].kind, ppkProperty);
  EXPECT_EQ(statements[1].value, "1");
  statements = ParseAll("A {\n B {\n}}\n");
  ASSERT_EQ(statements.size(), 3u);
  EXPECT_EQ(statements[2].kind, ppkEOO);
  EXPECT_TRUE(ParseAll(" \r\n\t").empty());
}

TEST(VSKReaderTest, NamesAndIdentifiersIgnoreCase) {
  TStreamData message;
  message.LoadFromString(
      "TStreamData {\n name = 'x';\n OBJECTS = {\n  TStreamDataHeader {\n"
      "   guid = 'Database';\n   datatype = DHTINTEGER;\n   datasize = 12;\n  }\n }\n}\n");
  EXPECT_EQ(message.Name(), "x");
  ASSERT_EQ(message.Count(), 1);
  EXPECT_EQ(message.Item(0)->Guid(), "Database");
  EXPECT_EQ(message.Item(0)->DataType(), dhtInteger);
  EXPECT_EQ(message.Item(0)->DataSize(), 12);
}

TEST(VSKReaderTest, UnconvertibleAndUnknownStatementsAreSkipped) {
  testing::TempLogHome log;
  TStreamData message;
  message.LoadFromString(
      "Other {\n Objects = {\n  TStreamDataHeader {\n   DataSize = abc;\n"
      "   DataType = dhtNothing;\n   Unknown = 5;\n   Name = 'kept';\n  }\n }\n}\n");
  ASSERT_EQ(message.Count(), 1);
  EXPECT_EQ(message.Item(0)->DataSize(), 0);
  EXPECT_EQ(message.Item(0)->DataType(), dhtString);
  EXPECT_EQ(message.Item(0)->Name(), "kept");
  // Only the unknown identifier is logged; a bad number reads as 0 and an unknown name is
  // passed over silently.
  std::string text = log.LogText();
  EXPECT_NE(text.find("invalid property [DataType]: dhtNothing\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("DataSize"), std::string::npos);
  EXPECT_EQ(text.find("Unknown"), std::string::npos);
}

TEST(VSKReaderTest, BrokenTextLoadsWhatItCan) {
  struct Case {
    const char* text;
    int headers;
    const char* name;
  };
  const std::vector<Case> cases = {
      // Cut short inside the second header: the first header and part of the second stay.
      {"TStreamData { Name = 'a'; Objects = { TStreamDataHeader { Name = 'h1'; }\n"
       " TStreamDataHeader { Name = 'h2'; Guid = 'cut",
       2, "a"},
      // Too many closing braces: everything after the root's close is ignored.
      {"TStreamData { Name = 'b';\n}\n}\n}\n Name = 'late';", 0, "b"},
      // No braces at all.
      {"Name = 'c';", 0, ""},
      // A nested object that names no property reads into the current object.
      {"TStreamData { Foo { Name = 'd'; }\n Data = 'x'; }", 0, "d"},
      // Garbage.
      {"{{{{;;;}}}}'''", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TStreamData message;
    message.LoadFromString(c.text);
    EXPECT_EQ(message.Count(), c.headers);
    EXPECT_EQ(message.Name(), c.name);
  }
}

TEST(VSKReaderTest, EmptyTextChangesNothing) {
  TStreamData message;
  message.SetName("keep");
  message.LoadFromString("");
  EXPECT_EQ(message.Name(), "keep");
  EXPECT_EQ(message.Count(), 2);
}

TEST(VSKItemsTest, OwningListOperations) {
  TStreamDataHeaders list;
  auto* a = list.ForceHeader("g", "a");
  auto* b = list.ForceHeader("g", "b");
  auto* c = list.ForceHeader("g", "c");
  EXPECT_EQ(c->ItemIndex(), 2);
  c->SetItemIndex(0);
  EXPECT_EQ(list.First(), c);
  list.Exchange(1, 2);
  EXPECT_EQ(list.GetItem(1), b);
  EXPECT_EQ(list.Extract(a), a);
  std::unique_ptr<TVSKItem> owned(a);  // extracted: ours to free
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Remove(a), -1);
  EXPECT_EQ(list.Remove(b), 1);
  EXPECT_EQ(list.Last(), c);
  EXPECT_THROW(list.GetItem(5), std::out_of_range);

  // A list that does not own its items cannot take over a new one.
  TVSKItems borrowed(false);
  EXPECT_THROW(borrowed.Add(std::make_unique<TStreamDataHeader>()), EprmException);
  borrowed.Add(c);  // linked, not owned: `list` still frees it
  EXPECT_EQ(borrowed.Count(), 1);
}

}  // namespace
}  // namespace qm
