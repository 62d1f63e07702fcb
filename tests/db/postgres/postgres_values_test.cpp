// PostgreSQL columns, fields and parameters without a server.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "db/postgres/pg_values.h"
#include "support/date_time.h"

namespace qm {
namespace {

TEST(PGTypes, OidsMapToDataTypes) {
  const std::pair<int, TmnDataType> cases[] = {
      {16, dtBoolean},    {20, dtInteger},   {21, dtInteger},    {23, dtInteger},
      {26, dtInteger},    {700, dtCurrency}, {701, dtCurrency},  {790, dtCurrency},
      {1700, dtCurrency}, {1082, dtDate},    {1083, dtDateTime}, {1114, dtDateTime},
      {1184, dtUnknown},  {25, dtUnknown},   {17, dtUnknown},
  };
  for (const auto& [oid, type] : cases) {
    EXPECT_EQ(PGTypeToDataType(oid), type) << oid;
    TmncPGColumns columns;
    TmncPGColumn* column = columns.Add("c", oid, -1);
    EXPECT_EQ(column->DataType(), type) << oid;
    EXPECT_EQ(column->PGType(), oid);
    EXPECT_EQ(column->FieldSize(), -1);
  }
}

TEST(PGParams, ValueTexts) {
  EXPECT_EQ(PGParamText(Variant(12.5)), "12.5");
  EXPECT_EQ(PGParamText(Variant(1.0 / 3.0)), "0.333333333333333");
  EXPECT_EQ(PGParamText(Variant::FromCurrency(-3.25)), "-3.25");
  EXPECT_EQ(PGParamText(Variant(std::int64_t{1234567890123})), "1234567890123");
  EXPECT_EQ(
      PGParamText(Variant::FromDateTime(EncodeDate(2024, 3, 1) + EncodeTime(10, 20, 30, 999))),
      "2024-03-01 10:20:30");
  EXPECT_EQ(PGParamText(Variant("text")), "text");
}

TEST(PGParams, EmptyStringOrZeroDateBecomesNull) {
  TmncPostgreParam param;
  param.SetAsString("x");
  EXPECT_FALSE(param.IsNull());
  param.SetAsString("");
  EXPECT_TRUE(param.IsNull());
  param.SetValue(Variant(""));
  EXPECT_FALSE(param.IsNull());
  param.SetAsDate(0);
  EXPECT_TRUE(param.IsNull());
  param.SetAsDateTime(EncodeDate(2024, 1, 1));
  EXPECT_FALSE(param.IsNull());
  param.SetAsDateTime(0);
  EXPECT_TRUE(param.IsNull());
}

TEST(PGFields, ReadsConvertTextAndWritesRaise) {
  TmncPostgreField field;
  auto set = [&](const char* text) { field.SetData(text, static_cast<int>(strlen(text)), false); };
  set("t");
  EXPECT_TRUE(field.AsBoolean());
  EXPECT_EQ(field.AsInteger(), 0);
  for (const char* yes : {"1", "T", "Y", "t", "y", "true"}) {
    set(yes);
    EXPECT_TRUE(field.AsBoolean()) << yes;
  }
  set("f");
  EXPECT_FALSE(field.AsBoolean());
  set("12.50");
  EXPECT_DOUBLE_EQ(field.AsDouble(), 12.5);
  EXPECT_EQ(field.AsCurrency().scaled, 125000);
  EXPECT_EQ(field.AsInteger(), 0);
  set("-42");
  EXPECT_EQ(field.AsInt64(), -42);
  set("abc");
  EXPECT_EQ(field.AsDouble(), 0);
  EXPECT_THROW(field.AsDateTime(), Exception);
  try {
    (void)field.AsDateTime();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Not valid DateTime");
  }
  set("2024-13-45 10:00:00");
  EXPECT_THROW(field.AsDateTime(), Exception);
  set("10:20:30.5");
  EXPECT_DOUBLE_EQ(field.AsTime(), EncodeTime(10, 20, 30, 0));
  set("2024-03-01 10:20:30.123+02");
  EXPECT_DOUBLE_EQ(field.AsDateTime(), EncodeDate(2024, 3, 1) + EncodeTime(10, 20, 30, 0));

  for (auto write : std::initializer_list<std::function<void()>>{
           [&] { field.SetValue(Variant(1)); }, [&] { field.SetAsString("x"); },
           [&] { field.SetAsInteger(1); }, [&] { field.SetAsBoolean(true); },
           [&] { field.SetAsDateTime(1); }, [&] { field.SetAsDouble(1); }}) {
    try {
      write();
      ADD_FAILURE() << "a field write did not raise";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "msgErrorSetField");
    }
  }
  field.SetIsNull(false);  // marks null whatever the value
  EXPECT_TRUE(field.IsNull());
  EXPECT_TRUE(field.Value().IsNull());
  EXPECT_EQ(field.AsString(), "");
}

}  // namespace
}  // namespace qm
