#include "protocol/vsk_filer.h"

#include "protocol/vsk_items.h"
#include "support/exception.h"
#include "support/log.h"
#include "support/number_text.h"
#include "support/text_utils.h"
#include "support/utf16.h"

namespace qm {

namespace {

bool IsOrdinalKind(TTypeKind kind) {
  return kind == TTypeKind::tkInteger || kind == TTypeKind::tkChar || kind == TTypeKind::tkWChar ||
         kind == TTypeKind::tkEnumeration || kind == TTypeKind::tkSet;
}

bool IsNeverWritten(TTypeKind kind) {
  return kind == TTypeKind::tkMethod || kind == TTypeKind::tkArray || kind == TTypeKind::tkRecord ||
         kind == TTypeKind::tkDynArray || kind == TTypeKind::tkVariant ||
         kind == TTypeKind::tkInterface;
}

std::string EnumName(const TPropInfo& prop, std::int64_t ordinal) {
  if (prop.EnumType != nullptr && ordinal >= 0 &&
      ordinal < static_cast<std::int64_t>(prop.EnumType->Names.size())) {
    return prop.EnumType->Names[static_cast<std::size_t>(ordinal)];
  }
  return std::to_string(ordinal);
}

std::string SetText(const TPropInfo& prop, std::int64_t bits) {
  std::string text;
  for (int i = 0; i < 64; ++i) {
    if ((bits >> i) & 1) {
      if (!text.empty()) {
        text += ',';
      }
      text += EnumName(prop, i);
    }
  }
  return text;
}

std::int64_t EnumValue(const TPropInfo& prop, const std::string& identifier) {
  int index = prop.EnumType == nullptr ? -1 : prop.EnumType->IndexOf(Trim(identifier));
  if (index < 0) {
    throw EConvertError("Invalid enumeration value: " + identifier);
  }
  return index;
}

std::string KeepNumberChars(std::string_view text) {
  std::string result;
  for (char c : text) {
    if (c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 'E' || c == 'e') {
      result.push_back(c);
    }
  }
  return result;
}

}  // namespace

int TEnumTypeInfo::IndexOf(const std::string& name) const {
  for (std::size_t i = 0; i < Names.size(); ++i) {
    if (SameText(Names[i], name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

const TPropInfo* FindPropInfo(const TPropList& list, const std::string& name) {
  for (const auto& prop : list) {
    if (SameText(prop.Name, name)) {
      return &prop;
    }
  }
  return nullptr;
}

// --- TprmFiler ---

const TprmEntities& TprmFiler::NoEntities() {
  static const TprmEntities empty;
  return empty;
}

void TprmFiler::Start() {
  if (FActive) {
    throw EprmException("File already opened");
  }
  FActive = true;
  FEntities = &NoEntities();
  InitEntities();
  DoStart();
}

void TprmFiler::Stop() {
  if (!FActive) {
    throw EprmException("File already closed");
  }
  DoStop();
  FActive = false;
}

void TprmFiler::Process(TprmCustomProfile& data) {
  Start();
  try {
    DoProcess(data);
  } catch (...) {
    Stop();
    throw;
  }
  Stop();
}

namespace {

// The entity tables of a reader and of a writer, single- and multi-line, built once: a filer
// starts for every message, and building them is a share of a small message's cost.
const TprmEntities& VSKEntities(bool MultiLine, bool Writer) {
  static const auto build = [](bool multi_line, bool writer) {
    TprmEntities entities;
    InitVSKEntities(entities, multi_line);
    if (writer) {
      // Braces and semicolons stay as they are inside quotes; only the reader knows their words.
      entities.DeleteName("&obkt&");
      entities.DeleteName("&cbkt&");
      entities.DeleteName("&scln&");
    }
    return entities;
  };
  static const TprmEntities tables[2][2] = {{build(false, false), build(false, true)},
                                            {build(true, false), build(true, true)}};
  return tables[MultiLine ? 1 : 0][Writer ? 1 : 0];
}

}  // namespace

void TprmFiler::InitEntities() {
  FEntities = &VSKEntities(FMultiLine, false);
}

// --- TVSKWriter ---

void TVSKWriter::InitEntities() {
  FEntities = &VSKEntities(FMultiLine, true);
}

void TVSKWriter::WriteLine(std::initializer_list<std::string_view> pieces) {
  FText.append(FOpenedTags.size() * 2, ' ');
  for (std::string_view piece : pieces) {
    FText.append(piece);
  }
  FText.push_back('\n');
}

void TVSKWriter::CloseTag() {
  if (!FOpenedTags.empty()) {
    FOpenedTags.pop_back();
  }
}

void TVSKWriter::WriteRoot(TprmCustomProfile& instance) {
  if (!Active()) {
    Start();
  }
  WriteObject(instance, true);
}

void TVSKWriter::WriteObject(TprmCustomProfile& instance, bool full) {
  if (full) {
    WriteObjectBegin(instance);
  }
  WriteProperties(instance);
  if (full) {
    WriteObjectEnd(instance);
  }
}

void TVSKWriter::WriteObjectBegin(TprmCustomProfile& instance) {
  std::string name = instance.ClassName();
  WriteLine({name, " {"});
  OpenTag(std::move(name));
}

void TVSKWriter::WriteObjectEnd(TprmCustomProfile& /*instance*/) {
  CloseTag();
  WriteLine("}");
}

bool TVSKWriter::IsDefaultValue(const TprmCustomProfile& instance, const TPropInfo& prop) const {
  return IsDefault(prop, prop.Get(instance));
}

bool TVSKWriter::IsDefault(const TPropInfo& prop, const TPropValue& value) {
  if (IsOrdinalKind(prop.Kind)) {
    return prop.Default.has_value() && value.Ord == *prop.Default;
  }
  switch (prop.Kind) {
    case TTypeKind::tkFloat:
      return value.Float == 0;
    case TTypeKind::tkString:
      return value.Str.empty();
    case TTypeKind::tkClass:
      return value.Obj == nullptr;
    case TTypeKind::tkInt64:
      return value.Ord == 0;
    case TTypeKind::tkMethod:
      return false;
    default:
      return true;
  }
}

void TVSKWriter::WriteProperties(TprmCustomProfile& instance) {
  for (const auto& prop : instance.Properties()) {
    if (!prop.Stored || !prop.Get || IsNeverWritten(prop.Kind)) {
      continue;
    }
    if (!prop.Set && prop.Kind != TTypeKind::tkClass) {
      continue;
    }
    const TPropValue value = prop.Get(instance);
    if (IsDefault(prop, value)) {
      continue;
    }
    WriteProperty(prop, value);
  }
  for (const auto& filer : TRttiRegister::Instance().Items()) {
    if (filer.Serves(instance)) {
      filer.Create()->Write(*this, instance);
    }
  }
}

void TVSKWriter::WriteProperty(const TPropInfo& prop, const TPropValue& value) {
  std::string text;
  switch (prop.Kind) {
    case TTypeKind::tkInteger:
    case TTypeKind::tkInt64:
      text = std::to_string(value.Ord);
      break;
    case TTypeKind::tkChar:
    case TTypeKind::tkWChar:
      text = "#" + std::to_string(value.Ord);
      break;
    case TTypeKind::tkEnumeration:
      text = EnumName(prop, value.Ord);
      break;
    case TTypeKind::tkSet:
      text = SetText(prop, value.Ord);
      break;
    case TTypeKind::tkFloat:
      text = FloatToStr(value.Float);
      break;
    case TTypeKind::tkString:
      WriteLine({prop.Name, " = '", EntityEncode(value.Str), "';"});
      return;
    case TTypeKind::tkClass:
      WriteLine({prop.Name, " =  { "});
      OpenTag(prop.Name);
      WriteProperties(*value.Obj);
      CloseTag();
      WriteLine("}");
      return;
    default:
      return;
  }
  WriteLine({prop.Name, " = ", text, ";"});
}

// --- TVSKParser ---

namespace {

// Sets `out` to the UTF-8 form of `text` without its leading and trailing blanks, reusing
// out's buffer: statements are nearly all ASCII and short.
void AssignTrimmedUtf8(std::u16string_view text, std::string& out) {
  while (!text.empty() && text.front() <= u' ') {
    text.remove_prefix(1);
  }
  while (!text.empty() && text.back() <= u' ') {
    text.remove_suffix(1);
  }
  out.resize(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0x80) {
      out = Utf16ToUtf8(text);
      return;
    }
    out[i] = static_cast<char>(text[i]);
  }
}

bool IsStop(char16_t c) {
  return c == u';' || c == u'{' || c == u'}';
}

}  // namespace

bool TVSKParser::Next() {
  const std::size_t n = FText.size();
  while (FPos < n && (FText[FPos] == u'\t' || FText[FPos] == u'\n' || FText[FPos] == u'\r' ||
                      FText[FPos] == u' ')) {
    ++FPos;
  }
  if (FPos >= n) {
    return false;
  }
  const std::size_t start = FPos;
  bool in_quotes = false;
  while (FPos < n) {
    char16_t c = FText[FPos];
    if (c == u'\'') {
      in_quotes = !in_quotes;
    } else if (!in_quotes && IsStop(c)) {
      break;
    }
    ++FPos;
  }
  if (FPos >= n) {
    return false;
  }
  FStopChar = FText[FPos];
  std::u16string_view statement = FText.substr(start, FPos - start);

  FName.clear();
  FValue.clear();
  if (std::size_t eq = statement.find(u'='); eq != std::u16string_view::npos) {
    FKind = ppkProperty;
    AssignTrimmedUtf8(statement.substr(0, eq), FName);
    AssignTrimmedUtf8(statement.substr(eq + 1), FValue);
  } else if (FStopChar == u'{') {
    FKind = ppkObject;
    if (std::size_t colon = statement.find(u':'); colon != std::u16string_view::npos) {
      AssignTrimmedUtf8(statement.substr(0, colon), FName);
      AssignTrimmedUtf8(statement.substr(colon + 1), FValue);
    } else {
      AssignTrimmedUtf8(statement, FName);
    }
  } else if (FStopChar == u'}') {
    FKind = ppkEOO;
  } else {
    FKind = ppkUnknown;
  }

  ++FPos;
  while (FPos < n && IsStop(FText[FPos])) {
    ++FPos;
  }
  return true;
}

void TVSKParser::SkipToEOO() {
  int depth = 0;
  while (Next()) {
    if (FKind == ppkEOO) {
      if (depth == 0) {
        return;
      }
      --depth;
    } else if (FStopChar == u'{') {
      ++depth;
    }
  }
}

// --- TVSKReader ---

void TVSKReader::ReadRoot(TprmCustomProfile& instance) {
  // The root's open line; its class name plays no part.
  if (!FParser.Next()) {
    return;
  }
  ReadObject(instance);
}

void TVSKReader::ReadObject(TprmCustomProfile& instance) {
  // Kept apart from the parser: applying a statement may read further statements (list
  // blocks).
  std::string name;
  std::string value;
  while (FParser.Next()) {
    if (FParser.Kind() == ppkEOO) {
      return;
    }
    FParser.TakeStatement(name, value);
    ApplyStatement(instance, name, value);
  }
}

void TVSKReader::ApplyStatement(TprmCustomProfile& instance, const std::string& name,
                                const std::string& value) {
  try {
    const TPropInfo* prop = FindPropInfo(instance.Properties(), name);
    if (prop == nullptr) {
      std::string block = name;
      if (!block.empty() && block.front() == '"') {
        block.erase(0, 1);
      }
      if (!block.empty() && block.back() == '"') {
        block.pop_back();
      }
      if (const TprmRttiFilerData* filer = TRttiRegister::Instance().Find(block, instance)) {
        filer->Create()->Read(*this, instance, value);
      }
      return;
    }
    if (!prop->Get) {
      return;
    }
    if (!prop->Set) {
      if (prop->Kind == TTypeKind::tkClass) {
        if (TprmCustomProfile* object = prop->Get(instance).Obj) {
          ReadObject(*object);
        }
      }
      return;
    }
    SetPropertyValue(instance, *prop, value);
  } catch (const Exception&) {
    WriteLog("invalid property [" + name + "]: " + value);
  }
}

void TVSKReader::SetPropertyValue(TprmCustomProfile& instance, const TPropInfo& prop,
                                  const std::string& text) {
  TPropValue value;
  switch (prop.Kind) {
    case TTypeKind::tkInteger:
      value.Ord = StrToIntDef(text, 0);
      break;
    case TTypeKind::tkChar:
    case TTypeKind::tkWChar:
      value.Ord = StrToIntDef(KeepNumberChars(text), 0);
      break;
    case TTypeKind::tkEnumeration:
      value.Ord = EnumValue(prop, text);
      break;
    case TTypeKind::tkSet: {
      std::int64_t bits = 0;
      TStrings parts;
      StrToStrings(text, parts, ",");
      for (const auto& part : parts) {
        if (!Trim(part).empty()) {
          bits |= std::int64_t{1} << EnumValue(prop, part);
        }
      }
      value.Ord = bits;
      break;
    }
    case TTypeKind::tkFloat:
      if (prop.IsCurrency) {
        std::int64_t scaled = 0;
        if (!TryStrToCurr(text, scaled)) {
          throw EConvertError("'" + text + "' is not a valid floating point value");
        }
        value.Float = static_cast<double>(scaled) / 10000.0;
      } else if (!TryStrToFloat(text, value.Float)) {
        throw EConvertError("'" + text + "' is not a valid floating point value");
      }
      break;
    case TTypeKind::tkString: {
      std::string_view quoted = text;
      if (!quoted.empty() && quoted.front() == '\'') {
        quoted.remove_prefix(1);
        if (!quoted.empty() && quoted.back() == '\'') {
          quoted.remove_suffix(1);
        }
      }
      value.Str = EntityDecode(quoted);
      break;
    }
    case TTypeKind::tkInt64:
      if (!TryStrToInt64(text, value.Ord)) {
        throw EConvertError("'" + text + "' is not a valid integer value");
      }
      break;
    case TTypeKind::tkClass:
      if (TprmCustomProfile* object = prop.Get(instance).Obj) {
        ReadObject(*object);
      } else if (FParser.StopChar() == u'{') {
        FParser.SkipToEOO();
      }
      return;
    default:
      return;
  }
  prop.Set(instance, value);
}

// --- list filers ---

TRttiRegister& TRttiRegister::Instance() {
  static TRttiRegister instance;
  return instance;
}

TRttiRegister::TRttiRegister() {
  Register(TprmRttiFilerData{
      "Objects",
      [](const TprmCustomProfile& o) { return dynamic_cast<const TVSKItems*>(&o) != nullptr; },
      [] { return std::make_unique<TVSKItemsObjectsFiler>(); }});
}

const TprmRttiFilerData* TRttiRegister::Find(const std::string& name,
                                             const TprmCustomProfile& instance) const {
  for (const auto& item : FItems) {
    if (SameText(item.PropertyName, name) && item.Serves(instance)) {
      return &item;
    }
  }
  return nullptr;
}

namespace {

TVSKItems& AsItems(TprmCustomProfile& instance) {
  auto* items = dynamic_cast<TVSKItems*>(&instance);
  if (items == nullptr) {
    throw EprmException("Not support this class");
  }
  return *items;
}

}  // namespace

void TVSKItemsObjectsFiler::Write(TVSKWriter& writer, TprmCustomProfile& instance) {
  TVSKItems& items = AsItems(instance);
  if (items.Count() == 0) {
    return;
  }
  writer.WriteLine("Objects = {");
  writer.OpenTag("Objects");
  for (int i = 0; i < items.Count(); ++i) {
    writer.WriteObject(*items.GetItem(i), true);
  }
  writer.CloseTag();
  writer.WriteLine("}");
}

void TVSKItemsObjectsFiler::Read(TVSKReader& reader, TprmCustomProfile& instance,
                                 const std::string& /*value*/) {
  TVSKItems& items = AsItems(instance);
  TVSKParser& parser = reader.Parser();
  while (parser.Next()) {
    if (parser.Kind() == ppkEOO) {
      return;
    }
    if (TVSKItem* item = items.CreateItem(parser.Name(), "")) {
      reader.ReadObject(*item);
    } else if (parser.StopChar() == u'{') {
      // No item for this class: pass over its block.
      parser.SkipToEOO();
    }
  }
}

}  // namespace qm
