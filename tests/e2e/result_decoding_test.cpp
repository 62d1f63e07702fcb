// The client's reading of result blocks and status texts, and the text forms it prints.

#include <gtest/gtest.h>

#include <string>

#include "client/result_printer.h"
#include "client/result_set.h"
#include "support/buffer.h"

namespace qm {
namespace {

const std::string F = std::string(kFieldSeparator);
const std::string R = std::string(kRowTerminator);

// The rows of Block fed to the piecewise decoder in two pieces split at At.
TqmRows DecodeSplit(const std::string& Block, std::size_t Columns, std::size_t At) {
  TResultBlockDecoder decoder(Columns);
  decoder.Feed(std::string_view(Block).substr(0, At));
  decoder.Feed(std::string_view(Block).substr(At));
  return decoder.Finish();
}

TEST(ResultBlockTest, SplitsRowsAndKeepsNullApartFromEmpty) {
  struct Case {
    const char* Name;
    std::string Block;
    std::size_t Columns;
    std::vector<TqmRow> Expected;
  };
  const Case cases[] = {
      {"two rows", "1" + F + "a" + R + "2" + F + "NULL;" + R, 2, {{"1", "a"}, {"2", std::nullopt}}},
      {"empty values", F + R, 2, {{"", ""}}},
      {"one column, empty text", R, 1, {{""}}},
      {"no columns, two rows", R + R, 0, {{}, {}}},
      {"empty block", "", 3, {}},
      {"null marker only as a whole value", "NULL;x" + F + "xNULL;" + R, 2, {{"NULL;x", "xNULL;"}}},
      {"other characters that share the markers' lead byte",
       "\xEE\x80\x80" + F + "\xEE\xEE\x80\x83" + R,
       2,
       {{"\xEE\x80\x80", "\xEE\xEE\x80\x83"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(DecodeResultBlock(c.Block, c.Columns), c.Expected);
    // Pieces may end anywhere, inside a value or a marker.
    for (std::size_t at = 0; at <= c.Block.size(); ++at) {
      SCOPED_TRACE(at);
      EXPECT_EQ(DecodeSplit(c.Block, c.Columns, at), c.Expected);
    }
  }
}

TEST(ResultBlockTest, PiecewiseDecodingKeepsManyRowsInOrder) {
  std::string block;
  std::vector<TqmRow> expected;
  for (int i = 0; i < 10000; ++i) {
    block += std::to_string(i) + F + "row " + std::to_string(i) + R;
    expected.push_back({std::to_string(i), "row " + std::to_string(i)});
  }
  TResultBlockDecoder decoder(2);
  for (std::size_t at = 0; at < block.size(); at += 7)
    decoder.Feed(std::string_view(block).substr(at, 7));
  EXPECT_EQ(decoder.Finish(), expected);
}

TEST(ResultBlockTest, MalformedBlocksRaise) {
  struct Case {
    const char* Name;
    std::string Block;
    std::size_t Columns;
  };
  const Case cases[] = {
      {"too few values", "1" + R, 2},         {"too many values", "1" + F + "2" + F + "3" + R, 2},
      {"cut short", "1" + F + "2", 2},        {"cut inside a marker", "1" + F + "2\xEE\x80", 2},
      {"values without columns", "x" + R, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_THROW(DecodeResultBlock(c.Block, c.Columns), EqmResultError);
    for (std::size_t at = 0; at <= c.Block.size(); ++at) {
      SCOPED_TRACE(at);
      EXPECT_THROW(DecodeSplit(c.Block, c.Columns, at), EqmResultError);
    }
  }
}

TEST(ResultBlockTest, DecodeResultReadsFieldsNoticesAndCompressedBuffer) {
  TStreamData reply;
  reply.SetName("OK");
  reply.RegisterHeader("Fields", "id", "")->SetDataType(dhtInteger);
  reply.RegisterHeader("Fields", "name", "")->SetDataType(dhtString);
  reply.RegisterHeader("Notices", "x", "Not Found");
  reply.RegisterHeader("System", "BufferCompressed", true);
  reply.Buffer().WriteBytes(ZCompress("7" + F + "\xC3\xA9" + R));
  TqmResultSet result = DecodeResult(reply);
  ASSERT_EQ(result.Columns.size(), 2u);
  EXPECT_EQ(result.Columns[0].Name, "id");
  EXPECT_EQ(result.Columns[0].DataType, dhtInteger);
  ASSERT_EQ(result.Notices.size(), 1u);
  EXPECT_EQ(result.Notices[0].second, "Not Found");
  EXPECT_EQ(result.Rows, (std::vector<TqmRow>{{"7", "\xC3\xA9"}}));

  // A bomb or garbage in the buffer is refused, not inflated without end.
  TStreamData bomb;
  bomb.RegisterHeader("Fields", "a", "");
  bomb.RegisterHeader("System", "BufferCompressed", true);
  bomb.Buffer().WriteBytes(ZCompress(std::string(1 << 20, 'x')));
  EXPECT_THROW(DecodeResult(bomb, 1024), EZDecompressionLimitError);
  TStreamData garbage;
  garbage.RegisterHeader("System", "BufferCompressed", true);
  garbage.Buffer().WriteBytes("not zlib");
  EXPECT_THROW(DecodeResult(garbage), EZDecompressionError);
}

TEST(StatusTest, DecodesMembersAndFillsWhatTheServerLeftOut) {
  TqmResultSet status =
      DecodeStatus(R"({"count":2,"items":[{"Handle":1,"RemoteIP":"127.0.0.1","LastAccess":86400,)"
                   R"("Commands":2,"Resource":"/tmp/a.db"},{"Handle":2}]})");
  ASSERT_EQ(status.Rows.size(), 2u);
  EXPECT_EQ(status.Rows[0],
            (TqmRow{"1", "127.0.0.1", "1970-01-02 00:00:00", "2", "0", "/tmp/a.db"}));
  EXPECT_EQ(status.Rows[1][0], "2");
  EXPECT_EQ(status.Rows[1][5], std::nullopt);
  EXPECT_TRUE(DecodeStatus(R"({"items":[]})").Rows.empty());
  EXPECT_THROW(DecodeStatus("not json"), EqmResultError);
  EXPECT_THROW(DecodeStatus(R"({"items":[1]})"), EqmResultError);
}

TEST(PrinterTest, TableAlignsByDisplayWidthAndNumbersRight) {
  TqmResultSet result;
  result.Columns = {{"n", dhtInteger}, {"text", dhtString}};
  result.Rows = {
      {"10", "\xC3\xA9t\xC3\xA9"}, {"7", "\xE6\xBC\xA2"}, {std::nullopt, "a\nb"}, {"1", "\x1b[2J"}};
  // A value with control characters other than line breaks is binary to the printer: shown as
  // hex, it can neither break the grid nor drive the terminal.
  EXPECT_EQ(FormatTable(result),
            "+------+------------+\n"
            "| n    | text       |\n"
            "+------+------------+\n"
            "|   10 | \xC3\xA9t\xC3\xA9        |\n"
            "|    7 | \xE6\xBC\xA2         |\n"
            "| NULL | a b        |\n"
            "|    1 | \\x1b5b324a |\n"
            "+------+------------+\n"
            "(4 rows)\n");
}

// Bytes arrive one character per byte (SQLite, Firebird) or as bytes that are no UTF-8; either
// way every format shows "\x" and hex, never a raw zero byte.
TEST(PrinterTest, BinaryValuesAreHexInEveryFormat) {
  TqmResultSet result;
  result.Columns = {{"b", dhtString}};
  result.Rows = {{std::string("\0\xC3\xBF"
                              "A",
                              4)},
                 {"\xFF\xFE"},
                 {"plain\ttext"}};
  EXPECT_EQ(FormatCsv(result), "b\r\n\\x00ff41\r\n\\xfffe\r\nplain\ttext\r\n");
  EXPECT_EQ(FormatJson(result), R"([{"b":"\\x00ff41"},{"b":"\\xfffe"},{"b":"plain\ttext"}])"
                                "\n");
  EXPECT_EQ(BinaryAsHex("caf\xC3\xA9"), std::nullopt);
}

// JSON numbers keep every digit of an exact number: a text a double would round stays a string.
TEST(PrinterTest, JsonKeepsExactNumbersExact) {
  TqmResultSet result;
  result.Columns = {{"c", dhtCurrency}, {"d", dhtDouble}, {"i", dhtInteger}};
  result.Rows = {{"12345678901234567890.123456789", "0.1", "9223372036854775807"},
                 {"123456789012345", "1.50000000000000000000", "99999999999999999999"}};
  EXPECT_EQ(FormatJson(result),
            R"([{"c":"12345678901234567890.123456789","d":0.1,"i":9223372036854775807},)"
            R"({"c":123456789012345.0,"d":1.5,"i":"99999999999999999999"}])"
            "\n");
  EXPECT_EQ(FormatJsonLines(result),
            R"({"c":"12345678901234567890.123456789","d":0.1,"i":9223372036854775807})"
            "\n"
            R"({"c":123456789012345.0,"d":1.5,"i":"99999999999999999999"})"
            "\n");
}

TEST(PrinterTest, JsonTypesFollowColumnTypes) {
  TqmResultSet result;
  result.Columns = {{"i", dhtInteger},
                    {"d", dhtDouble},
                    {"b", dhtBoolean},
                    {"s", dhtString},
                    {"bad", dhtInteger}};
  result.Rows = {{"-3", "1.5", "True", "007", "x1"}, {"4", "2", "f", std::nullopt, "1"}};
  EXPECT_EQ(FormatJson(result), R"([{"i":-3,"d":1.5,"b":true,"s":"007","bad":"x1"},)"
                                R"({"i":4,"d":2.0,"b":false,"s":null,"bad":1}])"
                                "\n");
}

TEST(PrinterTest, FormatNamesIgnoreCase) {
  TqmOutputFormat format = TqmOutputFormat::Table;
  EXPECT_TRUE(ParseOutputFormat("CSV", format));
  EXPECT_EQ(format, TqmOutputFormat::Csv);
  EXPECT_TRUE(ParseOutputFormat("Json", format));
  EXPECT_EQ(format, TqmOutputFormat::Json);
  EXPECT_TRUE(ParseOutputFormat("JSONL", format));
  EXPECT_EQ(format, TqmOutputFormat::JsonLines);
  EXPECT_FALSE(ParseOutputFormat("xml", format));
}

}  // namespace
}  // namespace qm
