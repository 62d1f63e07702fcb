#include "db/postgres/pg_values.h"

#include "support/number_text.h"
#include "support/text_utils.h"

namespace qm {

namespace {

[[noreturn]] void RaiseSetField() {
  throw Exception("msgErrorSetField");
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// "yyyy-..." or "h:" / "hh:" at the start: the shapes the ISO parser reads.
bool LooksLikeDateTime(std::string_view text) {
  if (text.size() >= 5 && IsDigit(text[0]) && IsDigit(text[1]) && IsDigit(text[2]) &&
      IsDigit(text[3]) && text[4] == '-')
    return true;
  if (text.size() >= 2 && IsDigit(text[0]) && text[1] == ':')
    return true;
  return text.size() >= 3 && IsDigit(text[0]) && IsDigit(text[1]) && text[2] == ':';
}

}  // namespace

// ---- Columns ----

TmnDataType PGTypeToDataType(int oid) {
  switch (oid) {
    case 16:
      return dtBoolean;
    case 20:
    case 21:
    case 23:
    case 26:
      return dtInteger;
    case 700:
    case 701:
    case 790:
    case 1700:
      return dtCurrency;
    case 1082:
      return dtDate;
    case 1083:
    case 1114:
      return dtDateTime;
    default:
      return dtUnknown;
  }
}

void TmncPGColumn::SetPGType(int value) {
  FPGType = value;
  SetDataType(PGTypeToDataType(value));
}

std::unique_ptr<TmncColumn> TmncPGColumn::Clone() const {
  auto column = std::make_unique<TmncPGColumn>();
  column->AssignDescription(*this);
  column->FPGType = FPGType;
  column->FFieldSize = FFieldSize;
  return column;
}

TmncPGColumn* TmncPGColumns::Add(const std::string& name, int pg_type, int size) {
  TmncPGColumn* column = TmncColumns::Add<TmncPGColumn>(Count(), name, dtUnknown);
  column->SetPGType(pg_type);
  column->SetFieldSize(size);
  return column;
}

// ---- Fields ----

Variant TmncPostgreField::GetValue() const {
  if (FIsNull)
    return Variant::MakeNull();
  return Variant(std::string(Text()));
}

std::string TmncPostgreField::GetAsText() const {
  return std::string(Text());
}

std::string TmncPostgreField::GetAsString() const {
  return std::string(Text());
}

std::int32_t TmncPostgreField::GetAsInteger() const {
  return StrToIntDef(Text(), 0);
}

std::int64_t TmncPostgreField::GetAsInt64() const {
  return StrToInt64Def(Text(), 0);
}

double TmncPostgreField::GetAsDouble() const {
  return StrToFloatDef(Text(), 0);
}

bool TmncPostgreField::GetAsBoolean() const {
  const std::string_view text = Text();
  if (text.empty())
    return false;
  const char c = text[0];
  return c == '1' || c == 'T' || c == 'Y' || c == 't' || c == 'y';
}

Currency TmncPostgreField::GetAsCurrency() const {
  return Currency{StrToCurrDef(Text(), 0)};
}

TDateTime TmncPostgreField::GetAsDateTime() const {
  const std::string_view text = Text();
  if (text.empty())
    return 0;
  if (!LooksLikeDateTime(text))
    throw Exception("Not valid DateTime");
  try {
    return ParseISODateTime(text, '-');
  } catch (const EConvertError&) {
    throw Exception("Not valid DateTime");
  }
}

void TmncPostgreField::SetIsNull(bool) {
  FData = nullptr;
  FDataLen = 0;
  FIsNull = true;
}

void TmncPostgreField::SetValue(const Variant&) {
  RaiseSetField();
}
void TmncPostgreField::SetAsText(const std::string&) {
  RaiseSetField();
}
void TmncPostgreField::SetAsString(const std::string&) {
  RaiseSetField();
}
void TmncPostgreField::SetAsInteger(std::int32_t) {
  RaiseSetField();
}
void TmncPostgreField::SetAsInt64(std::int64_t) {
  RaiseSetField();
}
void TmncPostgreField::SetAsDouble(double) {
  RaiseSetField();
}
void TmncPostgreField::SetAsBoolean(bool) {
  RaiseSetField();
}
void TmncPostgreField::SetAsCurrency(Currency) {
  RaiseSetField();
}
void TmncPostgreField::SetAsDate(TDateTime) {
  RaiseSetField();
}
void TmncPostgreField::SetAsDateTime(TDateTime) {
  RaiseSetField();
}
void TmncPostgreField::SetAsTime(TDateTime) {
  RaiseSetField();
}
void TmncPostgreField::SetAsBytes(const TBytes&) {
  RaiseSetField();
}

bool TmncPostgreFields::IsNull() const {
  for (const TmncField* field : *this) {
    if (!field->IsNull())
      return false;
  }
  return true;
}

// ---- Parameters ----

void TmncPostgreParam::SetAsString(const std::string& value) {
  if (value.empty())
    SetIsNull(true);
  else
    TmncVariantParam::SetAsString(value);
}

void TmncPostgreParam::SetAsDate(TDateTime value) {
  if (value == 0)
    SetIsNull(true);
  else
    TmncVariantParam::SetAsDate(value);
}

void TmncPostgreParam::SetAsDateTime(TDateTime value) {
  if (value == 0)
    SetIsNull(true);
  else
    TmncVariantParam::SetAsDateTime(value);
}

std::string PGParamText(const Variant& value) {
  switch (value.Kind()) {
    case VariantKind::kSingle:
    case VariantKind::kDouble:
      return FloatToStr(value.ToDouble(), 15);
    case VariantKind::kCurrency:
      return CurrToStr(value.ToCurrency().scaled);
    case VariantKind::kDateTime:
      return FormatDateTime("yyyy-mm-dd hh:nn:ss", value.ToDateTime());
    default:
      return value.ToString();
  }
}

}  // namespace qm
