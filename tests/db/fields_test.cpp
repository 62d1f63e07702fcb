#include "db/fields.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

// A field whose getters fail with a foreign error, to show that only conversion errors are
// swallowed by the typed reads.
class BrokenField : public TmncVariantField {
 public:
  BrokenField() { SetValue(Variant(1)); }
  std::int32_t GetAsInteger() const override { throw EmncException("engine failure"); }
};

TEST(FieldTest, NullAndMissingFieldsReadAsZeroValues) {
  TmncVariantField null_field;
  null_field.Clear();
  for (const TmnCustomField* field : {static_cast<const TmnCustomField*>(&null_field),
                                      static_cast<const TmnCustomField*>(nullptr)}) {
    const TmnCustomField& f = SafeField(field);
    EXPECT_TRUE(f.IsNull());
    EXPECT_EQ(f.AsString(), "");
    EXPECT_EQ(f.AsText(), "");
    EXPECT_EQ(f.AsInteger(), 0);
    EXPECT_EQ(f.AsInt64(), 0);
    EXPECT_EQ(f.AsDouble(), 0.0);
    EXPECT_FALSE(f.AsBoolean());
    EXPECT_EQ(f.AsCurrency().scaled, 0);
    EXPECT_EQ(f.AsDateTime(), 0.0);
    EXPECT_TRUE(f.AsBytes().empty());
    EXPECT_EQ(f.AsHex(), "");
    EXPECT_TRUE(f.IsEmpty());
  }
  EXPECT_TRUE(SafeField(&null_field).IsExists());
  EXPECT_FALSE(SafeField(static_cast<TmnCustomField*>(nullptr)).IsExists());
}

TEST(FieldTest, WritesThroughAMissingFieldRaise) {
  TmnCustomField& nil = SafeField(static_cast<TmnCustomField*>(nullptr));
  auto expect_nil = [](auto&& write) {
    try {
      write();
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Field is nil");
    }
  };
  expect_nil([&] { nil.SetAsString("x"); });
  expect_nil([&] { nil.SetAsInteger(1); });
  expect_nil([&] { nil.SetAsNullString(""); });
  expect_nil([&] { nil.SetIsNull(true); });
  expect_nil([&] { nil.SetValue(Variant(1)); });
  expect_nil([&] { nil.SetAsHex("4100"); });
}

TEST(FieldTest, UnconvertibleValuesReadAsZeroButOtherErrorsPass) {
  TmncVariantField field;
  field.SetAsString("abc");
  EXPECT_EQ(field.AsInteger(), 0);
  EXPECT_EQ(field.AsDouble(), 0.0);
  EXPECT_EQ(field.AsDateTime(), 0.0);
  EXPECT_EQ(field.AsString(), "abc");

  BrokenField broken;
  EXPECT_THROW(broken.AsInteger(), EmncException);
}

TEST(FieldTest, TypedWritesAndReads) {
  TmncVariantField f;
  f.SetAsInteger(42);
  EXPECT_EQ(f.AsString(), "42");
  EXPECT_TRUE(f.AsBoolean());
  f.SetAsBoolean(true);
  EXPECT_EQ(f.Value(), Variant(1));  // Booleans are stored as integers by default
  f.SetAsString("12.5");
  EXPECT_EQ(f.AsDouble(), 12.5);
  EXPECT_EQ(f.AsCurrency().scaled, 125000);
  EXPECT_EQ(f.AsInteger(), 12);  // half to even
  f.SetAsTrimString("  x  ");
  EXPECT_EQ(f.AsString(), "x");
  f.SetAsWideString(u"\u00e9");
  EXPECT_EQ(f.AsString(), "\xC3\xA9");
  EXPECT_EQ(f.AsAnsiString(), "\xE9");
}

TEST(FieldTest, WritesThatClearToNull) {
  struct Case {
    const char* what;
    void (*write)(TmnCustomField&);
    bool null;
  } cases[] = {
      {"AsNullString ''", [](TmnCustomField& f) { f.SetAsNullString(""); }, true},
      {"AsString ''", [](TmnCustomField& f) { f.SetAsString(""); }, false},
      {"AsUID '0'", [](TmnCustomField& f) { f.SetAsUID("0"); }, true},
      {"AsUID ''", [](TmnCustomField& f) { f.SetAsUID(""); }, true},
      {"AsUID '7'", [](TmnCustomField& f) { f.SetAsUID("7"); }, false},
      {"AsDateTime 0", [](TmnCustomField& f) { f.SetAsDateTime(0); }, true},
      {"AsDate 0", [](TmnCustomField& f) { f.SetAsDate(0); }, false},
      {"AsBytes {}", [](TmnCustomField& f) { f.SetAsBytes({}); }, true},
      {"AsForeign 0", [](TmnCustomField& f) { f.SetAsForeign(0); }, true},
      {"AsForeign 5", [](TmnCustomField& f) { f.SetAsForeign(5); }, false},
  };
  for (const auto& c : cases) {
    TmncVariantField f;
    f.SetAsInteger(1);
    c.write(f);
    EXPECT_EQ(f.IsNull(), c.null) << c.what;
  }
  TmncVariantField date;
  date.SetAsDate(0);
  EXPECT_EQ(date.Value(), Variant::FromDateTime(0));
}

TEST(FieldTest, DateAndTimeParts) {
  TmncVariantField f;
  f.SetAsDateTime(45000.75);
  EXPECT_EQ(f.AsDate(), 45000.0);
  EXPECT_DOUBLE_EQ(f.AsTime(), 0.75);
  f.SetAsDate(45000.75);
  EXPECT_EQ(f.AsDateTime(), 45000.0);
  f.SetAsTime(45000.25);
  EXPECT_EQ(f.AsDateTime(), 0.25);
}

TEST(FieldTest, HexIsTheUtf16TextInUpperCase) {
  TmncVariantField f;
  f.SetAsString("A");
  EXPECT_EQ(f.AsHex(), "4100");
  f.SetAsString("\xE2\x82\xAC");  // €, U+20AC
  EXPECT_EQ(f.AsHex(), "AC20");
  f.SetAsHex("4100zz4200");
  EXPECT_EQ(f.AsString(), "A");  // decoding stops at the first pair that is not hex
  f.SetAsHex("61006200F");
  EXPECT_EQ(f.AsString(), "ab");  // a lone trailing digit is ignored
}

TEST(FieldTest, BinaryBlobItemsUseHexAsText) {
  TmncVariantParam p;
  p.SetDataType(dtBlob);
  p.SetAsText("4100");
  EXPECT_EQ(p.AsString(), "A");
  EXPECT_EQ(p.AsText(), "4100");
  p.SetBlobType(blobText);
  EXPECT_EQ(p.AsText(), "A");
}

TEST(FieldTest, GuidRoundTripsThroughBytesLittleEndian) {
  TmncVariantField f;
  TmnGuid g{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
  f.SetAsGuid(g);
  const TBytes bytes = f.AsBytes();
  ASSERT_EQ(bytes.size(), 16u);
  EXPECT_EQ(bytes[0], 4);
  EXPECT_EQ(bytes[4], 6);
  EXPECT_EQ(bytes[8], 9);
  EXPECT_EQ(f.AsGuid(), g);
}

TEST(FieldTest, VariantParamIsEmptyNotNullUntilCleared) {
  TmncVariantParam p;
  EXPECT_FALSE(p.IsNull());
  EXPECT_TRUE(p.Value().IsEmpty());
  EXPECT_EQ(p.AsInteger(), 0);
  p.Clear();
  EXPECT_TRUE(p.IsNull());
  p.SetAsInteger(3);
  p.SetIsNull(false);  // stores null whatever it is given
  EXPECT_TRUE(p.IsNull());
}

TEST(FieldTest, ColumnsHoldNoValue) {
  TmncColumns columns;
  TmncColumn* c = columns.Add("id", dtInteger);
  EXPECT_FALSE(c->IsNull());
  const char* message = "Field have no value, You must not use it, try use Fields!";
  for (auto use : std::initializer_list<void (*)(TmncColumn&)>{
           [](TmncColumn& col) { col.GetValue(); },
           [](TmncColumn& col) { col.SetValue(Variant(1)); },
           [](TmncColumn& col) { col.SetIsNull(true); },
           [](TmncColumn& col) { col.AsString(); },
       }) {
    try {
      use(*c);
      ADD_FAILURE() << "no exception";
    } catch (const EmncException& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
}

TEST(FieldTest, ColumnLookupIgnoresCaseAndTheLastNameWins) {
  TmncColumns columns;
  TmncColumn* first = columns.Add("ID", dtInteger);
  TmncColumn* second = columns.Add("id", dtString);
  EXPECT_EQ(columns.Count(), 2);
  EXPECT_EQ(first->Index(), 0);
  EXPECT_EQ(second->Index(), 1);
  EXPECT_EQ(columns.Find("Id"), second);
  columns.Remove(second);
  EXPECT_EQ(columns.Find("id"), first);
}

TEST(FieldTest, ColumnsAssignCopiesDescriptions) {
  TmncColumns source;
  TmncColumn* c = source.Add(3, "amount", dtCurrency);
  c->SetMetaType("numeric");
  c->SetSize(18);
  c->SetScale(4);
  c->SetFullName("t.amount");
  c->SetOptions({doRequired});

  TmncColumns copy;
  copy.Add("old", dtString);
  copy.Assign(source);
  ASSERT_EQ(copy.Count(), 1);
  const TmncColumn* d = copy.Items(0);
  EXPECT_EQ(d->Index(), 3);
  EXPECT_EQ(d->Name(), "amount");
  EXPECT_EQ(d->DataType(), dtCurrency);
  EXPECT_EQ(d->MetaType(), "numeric");
  EXPECT_EQ(d->Size(), 18);
  EXPECT_EQ(d->Scale(), 4);
  EXPECT_EQ(d->FullName(), "t.amount");
  EXPECT_TRUE(d->Options().Contains(doRequired));

  TmncColumns as_text;
  as_text.Clone(source, dtString);
  EXPECT_EQ(as_text.Items(0)->DataType(), dtString);
  EXPECT_EQ(as_text.Items(0)->Name(), "amount");
}

TEST(FieldTest, FieldsLookupsAndErrors) {
  EXPECT_THROW(TmncVariantFields(nullptr), EmncException);
  try {
    TmncVariantFields none(nullptr);
  } catch (const EmncException& e) {
    EXPECT_EQ(e.Message(), "vColumns must be not nil");
  }

  TmncColumns columns;
  columns.Add("id", dtInteger);
  columns.Add("Name", dtString);
  TmncVariantFields fields(&columns);
  fields.Add(0, Variant(7));
  fields.Add(1, Variant("x"));
  fields.Add(5, Variant(true));  // no column: a nameless field

  EXPECT_EQ(fields.Count(), 3);
  EXPECT_EQ(fields.Field("ID")->AsInteger(), 7);
  EXPECT_EQ(fields.Values("name"), Variant("x"));
  EXPECT_TRUE(fields.Values("missing").IsEmpty());
  EXPECT_EQ(fields.Field("missing"), nullptr);
  EXPECT_TRUE(fields.IsExist("NAME"));
  EXPECT_EQ(fields.Items(2)->Name(), "");

  fields.SetValues("name", Variant("y"));
  EXPECT_EQ(fields.Field("name")->AsString(), "y");
  try {
    fields.SetValues("missing", Variant(1));
    ADD_FAILURE() << "no exception";
  } catch (const EmncException& e) {
    EXPECT_EQ(e.Message(), "Field \"missing\" not found");
  }

  fields.Clean();
  EXPECT_EQ(fields.Count(), 3);
  EXPECT_TRUE(fields.Items(0)->IsNull());
}

TEST(FieldTest, ParamsRequireReturnsTheSameParameterIgnoringCase) {
  TmncVariantParams params;
  TmncParam* id = params.Add("id");
  EXPECT_EQ(params.Require("ID"), id);
  EXPECT_EQ(params.Count(), 1);
  TmncParam* other = params.Require("other");
  EXPECT_NE(other, id);
  EXPECT_EQ(params.ParamByName("OTHER"), other);
  try {
    params.ParamByName("nope");
    ADD_FAILURE() << "no exception";
  } catch (const EmncException& e) {
    EXPECT_EQ(e.Message(), "Param nope not found");
  }
}

TEST(FieldTest, BindsMayRepeatAParameter) {
  TmncVariantParams params;
  TmncParam* a = params.Add("a");
  TmncBinds binds;
  binds.Add(a);
  binds.Add(params.Add("b"));
  binds.Add(a);
  ASSERT_EQ(binds.Count(), 3);
  EXPECT_EQ(binds.Items(0)->Param(), a);
  EXPECT_EQ(binds.Items(2)->Param(), a);
}

}  // namespace
}  // namespace qm
