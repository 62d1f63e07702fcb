#include "protocol/header_text_zlib.h"

#include <gtest/gtest.h>

#include <string>

#include "support/buffer.h"

namespace qm {
namespace {

// A repeat is answered from what the thread kept: the bytes must be zlib's own for that text,
// never those of the text before it.
TEST(HeaderTextZlibTest, RepeatsGiveTheSameBytesAsZlib) {
  const std::string first = "Name = 'OK'; Objects = { Guid = 'System'; }";
  const std::string second = "Name = 'Error'; Objects = { Guid = 'System'; }";
  const std::string large(20 * 1024, 'h');  // larger than what a thread keeps
  for (const std::string* text : {&first, &first, &second, &first, &large, &large, &second}) {
    const std::string compressed = CompressHeaderText(*text);
    EXPECT_EQ(compressed, ZCompress(*text));
    EXPECT_EQ(InflateHeaderText(compressed, 1 << 20), *text);
  }
}

// The limit holds for a text the thread has kept as much as for a new one.
TEST(HeaderTextZlibTest, LimitHoldsOnRepeats) {
  const std::string text(1000, 'x');
  const std::string compressed = ZCompress(text);
  EXPECT_EQ(InflateHeaderText(compressed, 1000), text);
  EXPECT_THROW(InflateHeaderText(compressed, 999), EZDecompressionLimitError);
  EXPECT_EQ(InflateHeaderText(compressed, 1000), text);
  EXPECT_THROW(InflateHeaderText("not zlib", 1000), EZDecompressionError);
}

}  // namespace
}  // namespace qm
