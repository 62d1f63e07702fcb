#include "session/result_encoder.h"

#include <gtest/gtest.h>

#include <string>

#include "support/buffer.h"

namespace qm {
namespace {

TEST(ResultEncoderTest, CompressorRoundTripsAcrossItsChunks) {
  // Enough incompressible bytes to need several output chunks, written in uneven pieces.
  std::string data;
  std::uint32_t x = 12345;
  for (int i = 0; i < 300000; ++i) {
    x = x * 1103515245u + 12345u;
    data += static_cast<char>(x >> 24);
  }
  TqmdZCompressor compressor;
  for (std::size_t at = 0; at < data.size(); at += 7919)
    compressor.Write(std::string_view(data).substr(at, 7919));
  const std::vector<std::uint8_t> block = compressor.Finish();
  EXPECT_EQ(
      ZDecompress(std::string_view(reinterpret_cast<const char*>(block.data()), block.size())),
      data);
}

TEST(ResultEncoderTest, EmptyStreamIsStillAZlibStream) {
  TqmdZCompressor compressor;
  const std::vector<std::uint8_t> block = compressor.Finish();
  ASSERT_GE(block.size(), 2u);
  EXPECT_EQ(block[0], 0x78);  // zlib framing, window bits 15
  EXPECT_EQ(
      ZDecompress(std::string_view(reinterpret_cast<const char*>(block.data()), block.size())), "");
}

TEST(ResultEncoderTest, ColumnTypesMapToHeaderTypes) {
  const std::pair<TmnDataType, TDataHeaderType> cases[] = {
      {dtBoolean, dhtBoolean},   {dtInteger, dhtInteger}, {dtCurrency, dhtCurrency},
      {dtFloat, dhtDouble},      {dtDate, dhtDateTime},   {dtTime, dhtDateTime},
      {dtDateTime, dhtDateTime}, {dtUnknown, dhtString},  {dtString, dhtString},
      {dtMemo, dhtString},       {dtBlob, dhtString},     {dtBig, dhtString},
      {dtColor, dhtString},      {dtUUID, dhtString}};
  for (const auto& [column, header] : cases)
    EXPECT_EQ(FieldHeaderType(column), header) << column;
}

TEST(ResultEncoderTest, FieldNamesLowerBeyondAscii) {
  EXPECT_EQ(LowerFieldName("ID"), "id");
  EXPECT_EQ(LowerFieldName("\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9");                // ÉTÉ
  EXPECT_EQ(LowerFieldName("\xD0\x98\xD0\x9C\xD0\xAF"), "\xD0\xB8\xD0\xBC\xD1\x8F");  // ИМЯ
}

}  // namespace
}  // namespace qm
