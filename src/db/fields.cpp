#include "db/fields.h"

#include <cmath>
#include <fstream>

#include "support/text_utils.h"
#include "support/utf16.h"

namespace qm {
namespace {

// Runs a typed read: the zero value when the field is null or the value does not convert.
template <typename T, typename Getter>
T ReadOrZero(const TmnCustomField& field, Getter getter) {
  if (field.IsNull())
    return T{};
  try {
    return getter();
  } catch (const EVariantError&) {
    return T{};
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

// Stands in for a missing field: reads as null, refuses every write.
class TmnNilField final : public TmnCustomField {
 public:
  Variant GetValue() const override { return Variant(); }
  void SetValue(const Variant&) override { Fail(); }
  bool GetIsNull() const override { return true; }
  void SetIsNull(bool) override { Fail(); }
  void SetAsText(const std::string&) override { Fail(); }
  void SetAsString(const std::string&) override { Fail(); }
  void SetAsInteger(std::int32_t) override { Fail(); }
  void SetAsInt64(std::int64_t) override { Fail(); }
  void SetAsDouble(double) override { Fail(); }
  void SetAsBoolean(bool) override { Fail(); }
  void SetAsCurrency(Currency) override { Fail(); }
  void SetAsDate(TDateTime) override { Fail(); }
  void SetAsDateTime(TDateTime) override { Fail(); }
  void SetAsTime(TDateTime) override { Fail(); }
  void SetAsBytes(const TBytes&) override { Fail(); }
  void LoadFromStream(std::istream&) override { Fail(); }
  void Clear() override { Fail(); }
  void Empty() override { Fail(); }

 private:
  [[noreturn]] static void Fail() { throw Exception("Field is nil"); }
};

TmnNilField& NilField() {
  static TmnNilField nil;
  return nil;
}

}  // namespace

TmnCustomField& SafeField(TmnCustomField* field) {
  return field ? *field : NilField();
}

const TmnCustomField& SafeField(const TmnCustomField* field) {
  return field ? *field : NilField();
}

// ---- TmnCustomField: default conversions through the Variant ----

std::string TmnCustomField::GetAsText() const {
  return AsString();
}
void TmnCustomField::SetAsText(const std::string& value) {
  SetAsString(value);
}
std::string TmnCustomField::GetAsString() const {
  return GetValue().ToString();
}
void TmnCustomField::SetAsString(const std::string& value) {
  SetValue(Variant(value));
}
std::int32_t TmnCustomField::GetAsInteger() const {
  return GetValue().ToInt32();
}
void TmnCustomField::SetAsInteger(std::int32_t value) {
  SetValue(Variant(value));
}
std::int64_t TmnCustomField::GetAsInt64() const {
  return GetValue().ToInt64();
}
void TmnCustomField::SetAsInt64(std::int64_t value) {
  SetValue(Variant(value));
}
double TmnCustomField::GetAsDouble() const {
  return GetValue().ToDouble();
}
void TmnCustomField::SetAsDouble(double value) {
  SetValue(Variant(value));
}
bool TmnCustomField::GetAsBoolean() const {
  return GetAsInteger() != 0;
}
void TmnCustomField::SetAsBoolean(bool value) {
  SetAsInteger(value ? 1 : 0);
}
Currency TmnCustomField::GetAsCurrency() const {
  return GetValue().ToCurrency();
}
void TmnCustomField::SetAsCurrency(Currency value) {
  SetValue(Variant(value));
}
TDateTime TmnCustomField::GetAsDate() const {
  return std::trunc(GetAsDateTime());
}
void TmnCustomField::SetAsDate(TDateTime value) {
  SetValue(Variant::FromDateTime(std::trunc(value)));
}
TDateTime TmnCustomField::GetAsDateTime() const {
  return GetValue().ToDateTime();
}
void TmnCustomField::SetAsDateTime(TDateTime value) {
  if (value == 0)
    Clear();
  else
    SetValue(Variant::FromDateTime(value));
}
TDateTime TmnCustomField::GetAsTime() const {
  const TDateTime value = GetAsDateTime();
  return value - std::trunc(value);
}
void TmnCustomField::SetAsTime(TDateTime value) {
  SetValue(Variant::FromDateTime(value - std::trunc(value)));
}
TBytes TmnCustomField::GetAsBytes() const {
  return GetValue().ToBytes();
}
void TmnCustomField::SetAsBytes(const TBytes& value) {
  if (value.empty())
    Clear();
  else
    SetValue(Variant(value));
}
bool TmnCustomField::GetIsNull() const {
  const Variant v = GetValue();
  return v.IsEmpty() || v.IsNull();
}
void TmnCustomField::SetIsNull(bool) {}

void TmnCustomField::LoadFromStream(std::istream&) {
  throw Exception("Not implemented yet");
}
void TmnCustomField::SaveToStream(std::ostream&) const {
  throw Exception("Not implemented yet");
}

// ---- Typed reads ----

std::string TmnCustomField::AsString() const {
  return ReadOrZero<std::string>(*this, [this] { return GetAsString(); });
}
std::string TmnCustomField::AsText() const {
  return ReadOrZero<std::string>(*this, [this] { return GetAsText(); });
}
std::int32_t TmnCustomField::AsInteger() const {
  return ReadOrZero<std::int32_t>(*this, [this] { return GetAsInteger(); });
}
std::int64_t TmnCustomField::AsInt64() const {
  return ReadOrZero<std::int64_t>(*this, [this] { return GetAsInt64(); });
}
double TmnCustomField::AsDouble() const {
  return ReadOrZero<double>(*this, [this] { return GetAsDouble(); });
}
bool TmnCustomField::AsBoolean() const {
  return ReadOrZero<bool>(*this, [this] { return GetAsBoolean(); });
}
Currency TmnCustomField::AsCurrency() const {
  return ReadOrZero<Currency>(*this, [this] { return GetAsCurrency(); });
}
TDateTime TmnCustomField::AsDate() const {
  return ReadOrZero<TDateTime>(*this, [this] { return GetAsDate(); });
}
TDateTime TmnCustomField::AsTime() const {
  return ReadOrZero<TDateTime>(*this, [this] { return GetAsTime(); });
}
TDateTime TmnCustomField::AsDateTime() const {
  return ReadOrZero<TDateTime>(*this, [this] { return GetAsDateTime(); });
}
TBytes TmnCustomField::AsBytes() const {
  return ReadOrZero<TBytes>(*this, [this] { return GetAsBytes(); });
}
std::string TmnCustomField::AsTrimString() const {
  return Trim(AsNullString());
}
std::string TmnCustomField::AsAnsiString() const {
  return Utf8ToLatin1(AsString());
}
std::u16string TmnCustomField::AsWideString() const {
  return Utf8ToUtf16(AsString());
}

std::string TmnCustomField::AsHex() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::string bytes = Utf8ToUtf16Le(AsNullString());
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

TmnGuid TmnCustomField::AsGuid() const {
  const TBytes b = AsBytes();
  TmnGuid g;
  if (b.size() != 16)
    return g;
  g.D1 = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  g.D2 = static_cast<std::uint16_t>(b[4] | b[5] << 8);
  g.D3 = static_cast<std::uint16_t>(b[6] | b[7] << 8);
  for (int i = 0; i < 8; ++i)
    g.D4[i] = b[8 + i];
  return g;
}

bool TmnCustomField::IsExists() const {
  return this != &NilField();
}

// ---- Special writes ----

void TmnCustomField::SetAsNullString(const std::string& value) {
  if (value.empty())
    Clear();
  else
    SetAsString(value);
}
void TmnCustomField::SetAsTrimString(const std::string& value) {
  SetAsString(Trim(value));
}
void TmnCustomField::SetAsAnsiString(const std::string& value) {
  SetAsString(Latin1ToUtf8(value));
}
void TmnCustomField::SetAsWideString(const std::u16string& value) {
  SetAsString(Utf16ToUtf8(value));
}

void TmnCustomField::SetAsHex(const std::string& value) {
  std::string bytes;
  for (size_t i = 0; i + 1 < value.size(); i += 2) {
    const int hi = HexDigit(value[i]);
    const int lo = HexDigit(value[i + 1]);
    if (hi < 0 || lo < 0)
      break;
    bytes += static_cast<char>(hi << 4 | lo);
  }
  SetAsString(Utf16LeToUtf8(bytes));
}

void TmnCustomField::SetAsGuid(const TmnGuid& g) {
  TBytes b(16);
  for (int i = 0; i < 4; ++i)
    b[i] = static_cast<std::uint8_t>(g.D1 >> (8 * i));
  b[4] = static_cast<std::uint8_t>(g.D2);
  b[5] = static_cast<std::uint8_t>(g.D2 >> 8);
  b[6] = static_cast<std::uint8_t>(g.D3);
  b[7] = static_cast<std::uint8_t>(g.D3 >> 8);
  for (int i = 0; i < 8; ++i)
    b[8 + i] = g.D4[i];
  SetAsBytes(b);
}

void TmnCustomField::SetAsUID(const std::string& value) {
  if (value.empty() || value == "0")
    Clear();
  else
    SetAsString(value);
}

void TmnCustomField::SetAsForeign(std::int64_t value) {
  if (value == 0)
    Clear();
  else
    SetAsInt64(value);
}

void TmnCustomField::LoadFromFile(const std::string& file_name) {
  std::ifstream stream(file_name, std::ios::binary);
  if (!stream)
    throw Exception("Cannot open file \"" + file_name + "\"");
  LoadFromStream(stream);
}

void TmnCustomField::SaveToFile(const std::string& file_name) const {
  std::ofstream stream(file_name, std::ios::binary | std::ios::trunc);
  if (!stream)
    throw Exception("Cannot create file \"" + file_name + "\"");
  SaveToStream(stream);
}

// ---- TmncItem ----

bool TmncItem::IsNumber() const {
  return FDataType == dtInteger || FDataType == dtCurrency || FDataType == dtFloat;
}

std::string TmncItem::GetAsText() const {
  if (FDataType == dtBlob && FBlobType == blobBinary)
    return AsHex();
  return TmnCustomField::GetAsText();
}

void TmncItem::SetAsText(const std::string& value) {
  if (FDataType == dtBlob && FBlobType == blobBinary)
    SetAsHex(value);
  else
    TmnCustomField::SetAsText(value);
}

// ---- TmncColumn ----

namespace {
[[noreturn]] void ColumnHasNoValue() {
  throw EmncException("Field have no value, You must not use it, try use Fields!");
}
}  // namespace

Variant TmncColumn::GetValue() const {
  ColumnHasNoValue();
}
void TmncColumn::SetValue(const Variant&) {
  ColumnHasNoValue();
}
void TmncColumn::SetIsNull(bool) {
  ColumnHasNoValue();
}

std::unique_ptr<TmncColumn> TmncColumn::Clone() const {
  auto column = std::make_unique<TmncColumn>();
  column->FIndex = FIndex;
  column->FName = FName;
  column->FDataType = FDataType;
  column->FBlobType = FBlobType;
  column->AssignDescription(*this);
  return column;
}

void TmncColumn::AssignDescription(const TmncColumn& source) {
  FFullName = source.FFullName;
  FMetaType = source.FMetaType;
  SetSize(source.FSize);
  FScale = source.FScale;
  FDecimals = source.FDecimals;
  FOptions = source.FOptions;
  FSubType = source.FSubType;
  FMaxSize = source.FMaxSize;
}

void TmncColumns::Assign(const TmncColumns& source) {
  if (&source == this)
    return;
  Clear();
  for (TmncColumn* column : source)
    Add(column->Clone());
}

void TmncColumns::Clone(const TmncColumns& from, TmnDataType as_type) {
  for (TmncColumn* column : from)
    Add(column->Name(), as_type);
}

void TmncColumns::Clone(const TmncColumns& from) {
  for (TmncColumn* column : from)
    Add(column->Name(), column->DataType());
}

// ---- TmncFields ----

TmncFields::TmncFields(TmncColumns* columns) : FColumns(columns) {
  if (columns == nullptr)
    throw EmncException("vColumns must be not nil");
}

std::unique_ptr<TmncField> TmncFields::CreateField(int index) {
  return CreateField(FColumns->Items(index));
}

TmncField* TmncFields::Add(TmncColumn* column) {
  auto field = CreateField(column);
  field->SetColumn(column);
  return Add(std::move(field));
}

TmncField* TmncFields::Add(TmncColumn* column, const Variant& value) {
  TmncField* field = Add(column);
  field->SetValue(value);
  return field;
}

TmncField* TmncFields::Add(int index, const Variant& value) {
  TmncColumn* column = index >= 0 && index < FColumns->Count() ? FColumns->Items(index) : nullptr;
  return Add(column, value);
}

TmncField* TmncFields::FieldByName(std::string_view name) const {
  TmncField* field = Find(name);
  if (field == nullptr)
    throw EmncException("Field \"" + std::string(name) + "\" not found");
  return field;
}

Variant TmncFields::Values(std::string_view name) const {
  TmncField* field = Find(name);
  return field ? field->GetValue() : Variant();
}

void TmncFields::SetValues(std::string_view name, const Variant& value) {
  FieldByName(name)->SetValue(value);
}

// ---- Parameters and binds ----

TmncParam* TmncCustomParams::ParamByName(std::string_view name) const {
  TmncParam* param = Find(name);
  if (param == nullptr)
    throw EmncException("Param " + std::string(name) + " not found");
  return param;
}

TmncParam* TmncParams::Add(const std::string& name) {
  auto param = CreateParam();
  param->SetName(name);
  return Add(std::move(param));
}

TmncParam* TmncParams::Require(const std::string& name) {
  TmncParam* param = Find(name);
  return param ? param : Add(name);
}

std::unique_ptr<TmncBind> TmncBinds::CreateBind(TmncParam* param) {
  auto bind = std::make_unique<TmncBind>();
  bind->SetParam(param);
  return bind;
}

TmncBind* TmncBinds::Add(TmncParam* param) {
  auto bind = CreateBind(param);
  bind->SetParam(param);
  return Add(std::move(bind));
}

}  // namespace qm
