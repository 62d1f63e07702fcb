#include "protocol/stream_data.h"

#include <cmath>
#include <limits>

#include "support/exception.h"
#include "support/number_text.h"
#include "support/text_utils.h"
#include "support/utf16.h"

namespace qm {

namespace {

const TEnumTypeInfo kDataHeaderTypeInfo{{"dhtString", "dhtInteger", "dhtCardinal", "dhtBoolean",
                                         "dhtCurrency", "dhtDouble", "dhtDateTime", "dhtBytes"}};

std::string EncodeBase64(std::string_view bytes) {
  TprmBuffer buffer;
  buffer.WriteBytes(bytes);
  return buffer.AsBase64();
}

std::string DecodeBase64(std::string_view text) {
  TprmBuffer buffer;
  buffer.SetAsBase64(text);
  return std::string(buffer.View());
}

std::string KeepFloatChars(std::string_view text) {
  std::string result;
  for (char c : text) {
    if (c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 'E' || c == 'e') {
      result.push_back(c);
    }
  }
  return result;
}

TBytes ParseBytes(const std::string& text) {
  TBytes bytes;
  if (text.empty() || text == "{}" || text == "[]") {
    return bytes;
  }
  std::string_view list = text;
  if (list.front() == '{' || list.front() == '[') {
    list = list.size() >= 2 ? list.substr(1, list.size() - 2) : std::string_view();
  }
  TStrings pieces;
  StrToStrings(list, pieces, ",");
  for (const auto& piece : pieces) {
    std::int64_t whole = 0;
    double number = 0;
    if (TryStrToInt64(piece, whole)) {
      bytes.push_back(static_cast<std::uint8_t>(whole));
    } else if (TryStrToFloat(piece, number) && std::isfinite(number) &&
               std::fabs(number) < 9.2e18) {
      bytes.push_back(static_cast<std::uint8_t>(static_cast<std::int64_t>(std::trunc(number))));
    } else {
      bytes.push_back(0);
    }
  }
  return bytes;
}

std::string BytesText(const TBytes& bytes) {
  if (bytes.empty()) {
    return {};
  }
  std::string text = "{";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) {
      text += ',';
    }
    text += std::to_string(bytes[i]);
  }
  text += '}';
  return text;
}

// A member of a JSON header object as text: strings as they are, other scalars in their JSON
// form, missing or null as "".
std::string JsonText(const nlohmann::ordered_json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    return {};
  }
  if (it->is_string()) {
    return it->get<std::string>();
  }
  return it->dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::int64_t JsonInteger(const nlohmann::ordered_json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) {
    return 0;
  }
  if (it->is_number_integer()) {
    return it->get<std::int64_t>();
  }
  if (it->is_number_float()) {
    double value = it->get<double>();
    return std::isfinite(value) && std::fabs(value) < 9.2e18 ? static_cast<std::int64_t>(value) : 0;
  }
  return 0;
}

// Walks JSON text without building it, counting values and nesting, and stops as soon as either
// goes over its bound. Parsing the text into a document costs many times its size in small
// objects, so that is done only for text that passes.
class TJsonShape : public nlohmann::json::json_sax_t {
 public:
  TJsonShape(std::int64_t max_values, int max_depth)
      : FMaxValues(max_values), FMaxDepth(max_depth) {}
  bool TooBig() const { return FTooBig; }

  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override { return Open(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override {
    return false;
  }

 private:
  bool Value() {
    if (++FValues > FMaxValues) {
      FTooBig = true;
    }
    return !FTooBig;
  }
  bool Open() {
    if (++FDepth > FMaxDepth) {
      FTooBig = true;
      return false;
    }
    return Value();
  }
  bool Close() {
    --FDepth;
    return true;
  }

  std::int64_t FMaxValues;
  int FMaxDepth;
  std::int64_t FValues = 0;
  int FDepth = 0;
  bool FTooBig = false;
};

// A message has a handful of headers: up to this many, comparing them costs less than keying an
// index of them.
constexpr int kScannedHeaders = 16;

// Values one header may bring in the JSON form: its object, five members, and some slack.
constexpr std::int64_t kJsonValuesPerHeader = 8;
// Well-formed messages nest three deep (message, "Items", header).
constexpr int kMaxJsonDepth = 32;

}  // namespace

// --- TStreamDataHeader ---

const TPropList& TStreamDataHeader::Properties() const {
  using H = TStreamDataHeader;
  static const TPropList list = {
      StringProperty<H>("Guid", &H::Guid, &H::SetGuid),
      StringProperty<H>("Name", &H::Name, &H::SetName),
      StringProperty<H>("Data", &H::Data, &H::SetData),
      OrdinalProperty<H, std::int32_t>("DataSize", TTypeKind::tkInteger, &H::DataSize,
                                       &H::SetDataSize),
      OrdinalProperty<H, TDataHeaderType>("DataType", TTypeKind::tkEnumeration, &H::DataType,
                                          &H::SetDataType, &kDataHeaderTypeInfo),
  };
  return list;
}

void TStreamDataHeader::KeyChanged() {
  // The list's index must forget a header that changes its section or name.
  if (auto* headers = dynamic_cast<TStreamDataHeaders*>(Items())) {
    headers->InvalidateIndex();
  }
}

void TStreamDataHeader::SetGuid(const std::string& value) {
  FGuid = value;
  KeyChanged();
}

void TStreamDataHeader::SetName(const std::string& value) {
  FName = value;
  KeyChanged();
}

void TStreamDataHeader::Assign(const TprmCustomProfile& source) {
  if (const auto* header = dynamic_cast<const TStreamDataHeader*>(&source)) {
    if (!SameText(FGuid, header->FGuid) || !SameText(FName, header->FName)) {
      KeyChanged();
    }
    FGuid = header->FGuid;
    FName = header->FName;
    FData = header->FData;
    FDataSize = header->FDataSize;
    FDataType = header->FDataType;
  }
}

void TStreamDataHeader::SetText(std::string_view text) {
  FData = text.empty() ? std::string() : EncodeBase64(Utf8ToUtf16Le(text));
}

std::string TStreamDataHeader::AsString() const {
  if (FData.empty()) {
    return {};
  }
  return Utf16LeToUtf8(DecodeBase64(FData));
}

std::int32_t TStreamDataHeader::AsInteger() const {
  return StrToIntDef(AsString(), 0);
}

std::uint32_t TStreamDataHeader::AsCardinal() const {
  return static_cast<std::uint32_t>(StrToInt64Def(AsString(), 0));
}

bool TStreamDataHeader::AsBoolean() const {
  std::string text = AsString();
  if (text.empty()) {
    return false;
  }
  switch (text[0]) {
    case '1':
    case 'T':
    case 'Y':
    case 't':
    case 'y':
      return true;
    default:
      return false;
  }
}

Currency TStreamDataHeader::AsCurrency() const {
  return Currency{StrToCurrDef(AsString(), 0)};
}

double TStreamDataHeader::AsDouble() const {
  return StrToFloatDef(KeepFloatChars(AsString()), 0.0);
}

Variant TStreamDataHeader::Value() const {
  switch (FDataType) {
    case dhtInteger:
      return Variant(AsInteger());
    case dhtCardinal:
      // Held as a 64-bit integer: the unsigned value must not turn negative.
      return Variant(static_cast<std::int64_t>(AsCardinal()));
    case dhtBoolean:
      return Variant(AsBoolean());
    case dhtCurrency:
      return Variant(AsCurrency());
    case dhtDouble:
      return Variant(AsDouble());
    case dhtDateTime:
      return Variant::FromDateTime(AsDateTime());
    case dhtBytes:
      return Variant(ParseBytes(AsString()));
    default: {
      std::string text = AsString();
      if (text == "NULL;") {
        return Variant::MakeNull();
      }
      return Variant(std::move(text));
    }
  }
}

// --- TStreamDataHeaders ---

TStreamDataHeader* TStreamDataHeaders::Item(int index) const {
  return static_cast<TStreamDataHeader*>(GetItem(index));
}

std::string TStreamDataHeaders::IndexKey(std::string_view guid, std::string_view name) {
  // The same folding as SameText: ASCII letters only.
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  std::string key;
  key.reserve(guid.size() + name.size() + 1);
  for (char c : guid) {
    key.push_back(lower(c));
  }
  key.push_back('\0');
  for (char c : name) {
    key.push_back(lower(c));
  }
  return key;
}

void TStreamDataHeaders::Added(int index, TVSKItem* item) {
  TVSKItems::Added(index, item);
  // An append keeps the index right by itself: the new header is found only when no earlier
  // one has its section and name.
  FAppended = index == Count() - 1;
  if (Count() <= kScannedHeaders) {
    // Found by a scan (FindHeader); the index is made when the list outgrows that.
    FIndexValid = false;
  } else if (FAppended && FIndexValid) {
    if (auto* header = dynamic_cast<TStreamDataHeader*>(item)) {
      FIndex.try_emplace(IndexKey(header->Guid(), header->Name()), header);
    } else {
      FAppended = false;
    }
  }
}

void TStreamDataHeaders::Update() {
  if (!FAppended) {
    FIndexValid = false;
  }
  FAppended = false;
  TVSKItems::Update();
}

bool TStreamDataHeaders::RoomForHeader() {
  if (FMaxHeaders >= 0 && Count() >= FMaxHeaders) {
    FHeadersCut = true;
    return false;
  }
  return true;
}

TStreamDataHeader* TStreamDataHeaders::FindHeader(std::string_view guid,
                                                  std::string_view name) const {
  if (Count() <= kScannedHeaders) {
    for (int i = 0; i < Count(); ++i) {
      TStreamDataHeader* header = Item(i);
      if (SameText(header->Name(), name) && SameText(header->Guid(), guid))
        return header;
    }
    return nullptr;
  }
  if (!FIndexValid) {
    FIndex.clear();
    for (int i = 0; i < Count(); ++i) {
      TStreamDataHeader* header = Item(i);
      FIndex.try_emplace(IndexKey(header->Guid(), header->Name()), header);
    }
    FIndexValid = true;
  }
  auto it = FIndex.find(IndexKey(guid, name));
  return it == FIndex.end() ? nullptr : it->second;
}

TStreamDataHeader* TStreamDataHeaders::ForceHeader(const std::string& guid,
                                                   const std::string& name) {
  if (TStreamDataHeader* header = FindHeader(guid, name)) {
    return header;
  }
  auto header = std::make_unique<TStreamDataHeader>();
  header->SetGuid(guid);
  header->SetName(name);
  return Add(std::move(header));
}

TStreamDataHeader* TStreamDataHeaders::Store(const std::string& guid, const std::string& name,
                                             std::string_view text, TDataHeaderType type) {
  TStreamDataHeader* header = ForceHeader(guid, name);
  header->SetText(text);
  header->SetDataType(type);
  return header;
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const std::string& guid,
                                                      const std::string& name,
                                                      const std::string& value) {
  return Store(guid, name, value, dhtString);
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const std::string& guid,
                                                      const std::string& name, const char* value) {
  return Store(guid, name, value == nullptr ? "" : value, dhtString);
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const std::string& guid,
                                                      const std::string& name, std::int32_t value) {
  return Store(guid, name, std::to_string(value), dhtInteger);
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const std::string& guid,
                                                      const std::string& name,
                                                      std::uint32_t value) {
  return Store(guid, name, std::to_string(value), dhtCardinal);
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const std::string& guid,
                                                      const std::string& name, bool value) {
  return Store(guid, name, value ? "True" : "False", dhtBoolean);
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const std::string& guid,
                                                      const std::string& name, Currency value) {
  return Store(guid, name, CurrToStr(value.scaled), dhtCurrency);
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const std::string& guid,
                                                      const std::string& name, double value) {
  return Store(guid, name, FloatToStr(value), dhtDouble);
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const std::string& guid,
                                                      const std::string& name,
                                                      DateTimeValue value) {
  return Store(guid, name, FloatToStr(value.value), dhtDateTime);
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const std::string& guid,
                                                      const std::string& name,
                                                      const Variant& value) {
  switch (value.Kind()) {
    case VariantKind::kNull:
      return Store(guid, name, "NULL;", dhtString);
    case VariantKind::kDouble:
      return Store(guid, name, FloatToStr(value.ToDouble()), dhtDouble);
    case VariantKind::kSingle:
      return Store(guid, name, value.ToString(), dhtDouble);
    case VariantKind::kDateTime:
      return Store(guid, name, FloatToStr(value.ToDateTime()), dhtDateTime);
    case VariantKind::kCurrency:
      return Store(guid, name, CurrToStr(value.ToCurrency().scaled), dhtCurrency);
    case VariantKind::kBoolean:
      return Store(guid, name, value.ToBoolean() ? "True" : "False", dhtBoolean);
    case VariantKind::kBytes:
      return Store(guid, name, BytesText(value.ToBytes()), dhtBytes);
    case VariantKind::kInt16:
    case VariantKind::kInt32:
    case VariantKind::kInt64:
      return Store(guid, name, value.ToString(), dhtInteger);
    default:
      return Store(guid, name, value.ToString(), dhtString);
  }
}

TStreamDataHeader* TStreamDataHeaders::RegisterHeader(const TStreamDataHeader& header) {
  // Read first: `header` may be the very header that gets overwritten.
  std::string text = header.AsString();
  return Store(header.Guid(), header.Name(), text, dhtString);
}

TStreamDataHeader* TStreamDataHeaders::SysError(const std::string& message) {
  TStreamDataHeader* header = RegisterHeader("System", "Error", message);
  DoError(message);
  return header;
}

TStreamDataHeader* TStreamDataHeaders::SysError(std::string_view format,
                                                std::initializer_list<FormatArg> args) {
  return SysError(Format(format, args));
}

TStreamDataHeader* TStreamDataHeaders::SysWarning(const std::string& name,
                                                  const std::string& text) {
  return RegisterHeader("Warning", name, text);
}

nlohmann::ordered_json TStreamDataHeaders::MakeJSON() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  nlohmann::ordered_json items = nlohmann::ordered_json::array();
  for (int i = 0; i < Count(); ++i) {
    const TStreamDataHeader* header = Item(i);
    nlohmann::ordered_json item = nlohmann::ordered_json::object();
    item["Guid"] = header->Guid();
    item["Name"] = header->Name();
    item["Data"] = header->AsString();
    item["DataSize"] = header->DataSize();
    item["DataType"] = static_cast<int>(header->DataType());
    items.push_back(std::move(item));
  }
  json["Items"] = std::move(items);
  DoSaveJSON(json);
  return json;
}

void TStreamDataHeaders::LoadJSON(const char* bytes, std::size_t count) {
  if (FMaxHeaders >= 0) {
    TJsonShape shape(kJsonValuesPerHeader * (FMaxHeaders + 2), kMaxJsonDepth);
    nlohmann::json::sax_parse(bytes, bytes + count, &shape, nlohmann::json::input_format_t::json,
                              /*strict=*/true);
    if (shape.TooBig()) {
      FHeadersCut = true;
      return;
    }
  }
  nlohmann::ordered_json json =
      nlohmann::ordered_json::parse(bytes, bytes + count, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) {
    return;
  }
  if (!json.is_object()) {
    throw EInvalidCast();
  }
  auto items = json.find("Items");
  if (items != json.end() && items->is_array()) {
    for (const auto& element : *items) {
      if (!element.is_object()) {
        throw EInvalidCast();
      }
      if (!RoomForHeader()) {
        break;
      }
      auto header = std::make_unique<TStreamDataHeader>();
      header->SetGuid(JsonText(element, "Guid"));
      header->SetName(JsonText(element, "Name"));
      header->SetText(JsonText(element, "Data"));
      std::int64_t size = JsonInteger(element, "DataSize");
      header->SetDataSize(size < std::numeric_limits<std::int32_t>::min() ||
                                  size > std::numeric_limits<std::int32_t>::max()
                              ? 0
                              : static_cast<std::int32_t>(size));
      std::int64_t type = JsonInteger(element, "DataType");
      // An ordinal outside the enumeration would not survive the VSK form; keep it a string.
      header->SetDataType(type >= dhtString && type <= dhtBytes ? static_cast<TDataHeaderType>(type)
                                                                : dhtString);
      Add(std::move(header));
    }
  }
  DoLoadJSON(json);
}

std::string TStreamDataHeaders::AsString(std::string_view guid, std::string_view name) const {
  const TStreamDataHeader* header = FindHeader(guid, name);
  return header == nullptr ? std::string() : header->AsString();
}

std::int32_t TStreamDataHeaders::AsInteger(std::string_view guid, std::string_view name) const {
  const TStreamDataHeader* header = FindHeader(guid, name);
  return header == nullptr ? 0 : header->AsInteger();
}

std::uint32_t TStreamDataHeaders::AsCardinal(std::string_view guid, std::string_view name) const {
  const TStreamDataHeader* header = FindHeader(guid, name);
  return header == nullptr ? 0 : header->AsCardinal();
}

bool TStreamDataHeaders::AsBoolean(std::string_view guid, std::string_view name) const {
  const TStreamDataHeader* header = FindHeader(guid, name);
  return header != nullptr && header->AsBoolean();
}

Currency TStreamDataHeaders::AsCurrency(std::string_view guid, std::string_view name) const {
  const TStreamDataHeader* header = FindHeader(guid, name);
  return header == nullptr ? Currency{} : header->AsCurrency();
}

double TStreamDataHeaders::AsDouble(std::string_view guid, std::string_view name) const {
  const TStreamDataHeader* header = FindHeader(guid, name);
  return header == nullptr ? 0.0 : header->AsDouble();
}

TDateTime TStreamDataHeaders::AsDateTime(std::string_view guid, std::string_view name) const {
  return AsDouble(guid, name);
}

// --- TStreamData ---

TStreamData::TStreamData() {
  // Every message starts with these two; their encoded text is made once.
  static const std::string version = EncodeBase64(Utf8ToUtf16Le("1.0.0.1"));
  static const std::string compressed = EncodeBase64(Utf8ToUtf16Le("False"));
  for (const auto& [name, data] : {std::pair<const char*, const std::string&>{"Version", version},
                                   {"Compressed", compressed}}) {
    TStreamDataHeader* header = ForceHeader("System", name);
    header->SetData(data);
    header->SetDataType(dhtString);
  }
}

const TPropList& TStreamData::Properties() const {
  using D = TStreamData;
  static const TPropList list = {
      StringProperty<D>("Name", &D::Name, &D::SetName),
      StringProperty<D>("Data", &D::Data, &D::SetData),
  };
  return list;
}

void TStreamData::Clear() {
  TStreamDataHeaders::Clear();
  SetHeadersCut(false);
  FNameChecked = false;
  FNameRefused = false;
  FName.clear();
  FData.clear();
  FBuffer.Clear();
}

void TStreamData::RegisterHeaders(const TStreamDataHeaders* list) {
  if (list == nullptr) {
    return;
  }
  for (int i = 0; i < list->Count(); ++i) {
    const TStreamDataHeader* source = list->Item(i);
    ForceHeader(source->Guid(), source->Name())->Assign(*source);
  }
}

void TStreamData::EnumHeaders(std::string_view guid, TStreamDataHeaders& list) const {
  list.Clear();
  for (int i = 0; i < Count(); ++i) {
    const TStreamDataHeader* header = Item(i);
    if (SameText(header->Guid(), guid)) {
      auto copy = std::make_unique<TStreamDataHeader>();
      copy->Assign(*header);
      list.Add(std::move(copy));
    }
  }
}

std::unique_ptr<TStreamDataHeaders> TStreamData::EnumHeaders(std::string_view guid) const {
  auto list = std::make_unique<TStreamDataHeaders>();
  EnumHeaders(guid, *list);
  return list;
}

bool TStreamData::IsOK() const {
  return SameText(FName, "OK");
}

std::unique_ptr<TVSKItem> TStreamData::DoCreateItem(const std::string& /*class_name*/,
                                                    const std::string& /*name*/) {
  if (!FNameChecked) {
    FNameChecked = true;
    FNameRefused = FNameFilter && !FNameFilter(FName);
  }
  if (FNameRefused || !RoomForHeader()) {
    return nullptr;
  }
  return std::make_unique<TStreamDataHeader>();
}

void TStreamData::DoError(const std::string& /*message*/) {
  FName = "Error";
}

void TStreamData::DoSaveJSON(nlohmann::ordered_json& json) const {
  if (FBuffer.Count() > 0) {
    json["Buffer"] = FBuffer.AsBase64();
  }
}

void TStreamData::DoLoadJSON(const nlohmann::ordered_json& json) {
  auto it = json.find("Buffer");
  if (it != json.end() && it->is_string()) {
    FBuffer.SetAsBase64(it->get<std::string>());
  } else {
    FBuffer.Clear();
  }
}

}  // namespace qm
