#include "support/variant.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(VariantTest, KindsFollowTheConstructorType) {
  EXPECT_EQ(Variant().Kind(), VariantKind::kEmpty);
  EXPECT_EQ(Variant::MakeNull().Kind(), VariantKind::kNull);
  EXPECT_EQ(Variant(std::int16_t{1}).Kind(), VariantKind::kInt16);
  EXPECT_EQ(Variant(1).Kind(), VariantKind::kInt32);
  EXPECT_EQ(Variant(std::int64_t{1}).Kind(), VariantKind::kInt64);
  EXPECT_EQ(Variant(1.0f).Kind(), VariantKind::kSingle);
  EXPECT_EQ(Variant(1.0).Kind(), VariantKind::kDouble);
  EXPECT_EQ(Variant::FromCurrency(1.5).Kind(), VariantKind::kCurrency);
  EXPECT_EQ(Variant::FromDateTime(1.5).Kind(), VariantKind::kDateTime);
  EXPECT_EQ(Variant("a").Kind(), VariantKind::kString);  // not Boolean
  EXPECT_EQ(Variant(true).Kind(), VariantKind::kBoolean);
  EXPECT_EQ(Variant(TBytes{1, 2}).Kind(), VariantKind::kBytes);
}

TEST(VariantTest, ToStringUsesTheFixedFormat) {
  struct Case {
    Variant value;
    std::string text;
  } cases[] = {
      {Variant(), ""},
      {Variant::MakeNull(), ""},
      {Variant(-42), "-42"},
      {Variant(std::int64_t{9007199254740993}), "9007199254740993"},
      {Variant(1.5), "1.5"},
      {Variant(0.1), "0.1"},
      {Variant(-2.0), "-2"},
      {Variant(1e20), "1E20"},
      {Variant(1.5e-7), "1.5E-7"},
      {Variant(0.00001), "1E-5"},
      {Variant(123456789012345.0), "123456789012345"},
      {Variant(1.0f / 3.0f), "0.3333333"},
      {Variant(Currency{15000}), "1.5"},
      {Variant(Currency{-1}), "-0.0001"},
      {Variant(Currency{20000}), "2"},
      {Variant::FromDateTime(EncodeDate(2024, 2, 29)), "2024-02-29"},
      {Variant::FromDateTime(EncodeDate(2024, 2, 29) + EncodeTime(13, 5, 9, 0)),
       "2024-02-29 13:05:09"},
      {Variant::FromDateTime(EncodeDate(2024, 2, 29) + EncodeTime(13, 5, 9, 7)),
       "2024-02-29 13:05:09.007"},
      {Variant::FromDateTime(EncodeTime(6, 0, 0, 0)), "06:00:00"},
      {Variant(true), "True"},
      {Variant(false), "False"},
      {Variant(TBytes{'h', 'i'}), "hi"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.value.ToString(), c.text) << VariantKindName(c.value.Kind());
}

TEST(VariantTest, NumericConversionsRoundHalfToEven) {
  EXPECT_EQ(Variant(2.5).ToInt32(), 2);
  EXPECT_EQ(Variant(3.5).ToInt32(), 4);
  EXPECT_EQ(Variant(-2.5).ToInt64(), -2);
  EXPECT_EQ(Variant(Currency{25000}).ToInt32(), 2);
  EXPECT_EQ(Variant(Currency{35000}).ToInt32(), 4);
  EXPECT_EQ(Variant(Currency{-35000}).ToInt64(), -4);
  EXPECT_EQ(Variant(true).ToInt32(), 1);
  EXPECT_EQ(Variant().ToInt32(), 0);
}

TEST(VariantTest, TextParsesAsNumbers) {
  EXPECT_EQ(Variant(" 12 ").ToInt32(), 12);
  EXPECT_EQ(Variant("+7").ToInt64(), 7);
  EXPECT_EQ(Variant("1.5").ToInt32(), 2);
  EXPECT_EQ(Variant("true").ToInt32(), 1);
  EXPECT_DOUBLE_EQ(Variant("-1.25e2").ToDouble(), -125.0);
  EXPECT_EQ(Variant("0.1").ToCurrency().scaled, 1000);
  EXPECT_EQ(Variant("-12.34567").ToCurrency().scaled, -123457);
  EXPECT_EQ(Variant("1e2").ToCurrency().scaled, 1000000);
  EXPECT_TRUE(Variant("True").ToBoolean());
  EXPECT_FALSE(Variant("0").ToBoolean());
}

TEST(VariantTest, ImpossibleConversionsRaiseVariantErrors) {
  const Variant null = Variant::MakeNull();
  EXPECT_THROW(null.ToInt32(), EVariantError);
  EXPECT_THROW(null.ToDouble(), EVariantError);
  EXPECT_THROW(null.ToDateTime(), EVariantError);
  EXPECT_THROW(Variant("abc").ToInt32(), EVariantError);
  EXPECT_THROW(Variant("abc").ToDouble(), EVariantError);
  EXPECT_THROW(Variant("abc").ToCurrency(), EVariantError);
  EXPECT_THROW(Variant("abc").ToDateTime(), EVariantError);
  EXPECT_THROW(Variant("").ToInt32(), EVariantError);
  EXPECT_THROW(Variant(std::int64_t{1} << 40).ToInt32(), EVariantError);
  EXPECT_THROW(Variant(1e300).ToInt64(), EVariantError);
  EXPECT_THROW(Variant(1.0).ToBytes(), EVariantError);
  EXPECT_THROW(Variant(TBytes{1}).ToInt32(), EVariantError);
  try {
    Variant("x").ToInt32();
  } catch (const EVariantError& e) {
    EXPECT_EQ(e.Message(), "Could not convert variant of type (UnicodeString) into type (Int64)");
  }
}

TEST(VariantTest, DateTimeTextRoundTrips) {
  const TDateTime stamps[] = {
      EncodeDate(2001, 1, 2),
      EncodeDate(2001, 1, 2) + EncodeTime(3, 4, 5, 600),
      EncodeDate(1850, 6, 30) - EncodeTime(18, 0, 0, 0),  // negative: time counts forward
      EncodeTime(23, 59, 59, 999),
  };
  for (TDateTime stamp : stamps) {
    const std::string text = Variant::FromDateTime(stamp).ToString();
    EXPECT_NEAR(Variant(text).ToDateTime(), stamp, 1e-9) << text;
  }
  EXPECT_DOUBLE_EQ(Variant("2001-01-02T03:04").ToDateTime(),
                   EncodeDate(2001, 1, 2) + EncodeTime(3, 4, 0, 0));
  EXPECT_THROW(Variant("2001-02-30").ToDateTime(), EVariantError);
  EXPECT_THROW(Variant("2001-01-02 25:00").ToDateTime(), EVariantError);
}

TEST(VariantTest, BytesAndTextConvertByteForByte) {
  const std::string raw("a\0b\xff", 4);
  EXPECT_EQ(Variant(raw).ToBytes(), (TBytes{'a', 0, 'b', 0xff}));
  EXPECT_EQ(Variant(TBytes{'a', 0, 'b', 0xff}).ToString(), raw);
  EXPECT_TRUE(Variant().ToBytes().empty());
}

TEST(VariantTest, EqualityComparesKindAndValue) {
  EXPECT_EQ(Variant(1), Variant(1));
  EXPECT_NE(Variant(1), Variant(std::int64_t{1}));
  EXPECT_NE(Variant(), Variant::MakeNull());
  EXPECT_EQ(Variant("x"), Variant(std::string("x")));
}

}  // namespace
}  // namespace qm
