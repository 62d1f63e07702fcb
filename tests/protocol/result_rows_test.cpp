#include "protocol/result_rows.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qm {
namespace {

// A value of Size bytes that differs from its neighbours, so a value read from the wrong place
// shows.
std::string Text(std::size_t Size, std::size_t Seed) {
  std::string text(Size, '\0');
  for (std::size_t i = 0; i < Size; ++i)
    text[i] = static_cast<char>('a' + (Seed * 7 + i) % 26);
  return text;
}

TqmRows Built(const std::vector<TqmRow>& Rows, std::size_t Columns) {
  TqmRows rows(Columns);
  for (const TqmRow& row : Rows) {
    for (const TqmValue& value : row)
      rows.Add(ViewOf(value));
    rows.EndRow();
  }
  return rows;
}

// Sizes that fill the shared chunks unevenly, pass a chunk's end, and get chunks of their own
// (above a quarter of the largest chunk, and above the largest), between small neighbours.
TEST(ResultRowsTest, ValuesOfEverySizeKeepTheirTextAcrossChunks) {
  std::vector<TqmRow> expected;
  const std::size_t sizes[] = {0,    1,     3,          100, 4095,        4096,
                               4097, 70000, 300 * 1024, 5,   1500 * 1024, 2};
  std::size_t seed = 0;
  for (int round = 0; round < 3; ++round) {
    for (std::size_t size : sizes) {
      expected.push_back({Text(size, seed), std::nullopt, Text(seed % 50, seed + 1)});
      ++seed;
    }
  }
  for (int i = 0; i < 20000; ++i, ++seed)
    expected.push_back({Text(seed % 40, seed), std::string(), std::nullopt});
  const TqmRows rows = Built(expected, 3);
  ASSERT_EQ(rows.size(), expected.size());
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(rows.ToVector(), expected);
  // Random access agrees with iteration.
  for (std::size_t r = 0; r < expected.size(); r += 997) {
    SCOPED_TRACE(r);
    EXPECT_EQ(rows[r], expected[r]);
  }
}

TEST(ResultRowsTest, NullAndEmptyStayApart) {
  const TqmRows rows = {{std::nullopt, "", "NULL;"}, {"", std::nullopt, "x"}};
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(rows[0][0]);
  ASSERT_TRUE(rows[0][1]);
  EXPECT_TRUE(rows[0][1]->empty());
  EXPECT_EQ(rows[0][2], "NULL;");
  EXPECT_EQ(rows[1][0], "");
  EXPECT_EQ(rows[1][1], std::nullopt);
  EXPECT_NE(rows, (std::vector<TqmRow>{{"", "", "NULL;"}, {"", std::nullopt, "x"}}));
  EXPECT_NE(rows,
            (std::vector<TqmRow>{{std::nullopt, std::nullopt, "NULL;"}, {"", std::nullopt, "x"}}));
}

TEST(ResultRowsTest, RowsWithoutColumnsAreCounted) {
  TqmRows rows(0);
  EXPECT_TRUE(rows.empty());
  for (int i = 0; i < 3; ++i)
    rows.EndRow();
  EXPECT_EQ(rows.size(), 3u);
  std::size_t seen = 0;
  for (const TqmRowView& row : rows) {
    EXPECT_TRUE(row.empty());
    EXPECT_EQ(row.begin(), row.end());
    ++seen;
  }
  EXPECT_EQ(seen, 3u);
  EXPECT_EQ(rows, (std::vector<TqmRow>{{}, {}, {}}));
  EXPECT_THROW(rows.AddText("x"), std::logic_error);
}

TEST(ResultRowsTest, RowsOfAnotherLengthAreRefused) {
  TqmRows rows(2);
  rows.AddText("a");
  EXPECT_THROW(rows.EndRow(), std::logic_error);
  rows.AddNull();
  EXPECT_THROW(rows.AddText("c"), std::logic_error);
  rows.EndRow();
  EXPECT_EQ(rows, (std::vector<TqmRow>{{"a", std::nullopt}}));
  EXPECT_THROW((TqmRows{{"a"}, {"b", "c"}}), std::invalid_argument);
}

// Views point into the text the rows own: a move keeps them valid, a copy has its own text.
TEST(ResultRowsTest, MovedRowsKeepTheirViewsAndCopiesOwnTheirText) {
  std::vector<TqmRow> expected;
  for (int i = 0; i < 5000; ++i)
    expected.push_back({std::to_string(i), Text(static_cast<std::size_t>(i % 300), i)});
  TqmRows rows = Built(expected, 2);
  const TqmValueView before = rows[4321][1];
  TqmRows moved = std::move(rows);
  EXPECT_EQ(moved[4321][1], before);
  EXPECT_EQ(before, expected[4321][1]);

  TqmRows copy = moved;
  EXPECT_EQ(copy, moved);
  EXPECT_NE(copy[4321][1]->data(), moved[4321][1]->data());
  moved = TqmRows(2);
  EXPECT_EQ(copy, expected);
  EXPECT_TRUE(moved.empty());
}

}  // namespace
}  // namespace qm
