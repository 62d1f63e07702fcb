#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/published_properties.h"
#include "protocol/vsk_entities.h"

namespace qm {

class TprmCustomProfile;

// One pass of writing or reading VSK text. A filer is inactive after creation, active between
// Start and Stop, and used once; it is not shared between threads.
class TprmFiler {
 public:
  TprmFiler() = default;
  TprmFiler(const TprmFiler&) = delete;
  TprmFiler& operator=(const TprmFiler&) = delete;
  virtual ~TprmFiler() = default;

  // Raise EprmException "File already opened" / "File already closed" when misused.
  void Start();
  void Stop();
  bool Active() const { return FActive; }

  // Start, DoProcess, Stop (Stop also runs when an error passes).
  void Process(TprmCustomProfile& data);

  std::string EntityEncode(std::string_view value) const {
    return Entities().RenderText(value, erwEncode);
  }
  std::string EntityDecode(std::string_view value) const {
    return Entities().RenderText(value, erwDecode);
  }
  const TprmEntities& Entities() const { return *FEntities; }

 protected:
  // Points FEntities at the filer's escape table.
  virtual void InitEntities();
  virtual void DoStart() {}
  virtual void DoStop() {}
  virtual void DoProcess(TprmCustomProfile& data) = 0;

  // The tables are built once and shared: a filer starts for every message.
  const TprmEntities* FEntities = &NoEntities();
  bool FMultiLine = false;

 private:
  static const TprmEntities& NoEntities();
  bool FActive = false;
};

// Writes an object, its published properties and its list blocks as VSK text: two blanks of
// indentation per open level, a single line feed after every line.
class TVSKWriter : public TprmFiler {
 public:
  // The text written so far, as UTF-8.
  const std::string& Text() const { return FText; }
  // Hands the text over, leaving the writer's empty.
  std::string TakeText() { return std::move(FText); }

  void WriteRoot(TprmCustomProfile& instance);
  void WriteObject(TprmCustomProfile& instance, bool full);
  void WriteProperties(TprmCustomProfile& instance);
  bool IsDefaultValue(const TprmCustomProfile& instance, const TPropInfo& prop) const;

  // One line at the current indentation, made of the given pieces.
  void WriteLine(std::string_view text) { WriteLine({text}); }
  void WriteLine(std::initializer_list<std::string_view> pieces);
  void OpenTag(std::string name) { FOpenedTags.push_back(std::move(name)); }
  void CloseTag();

 protected:
  void InitEntities() override;
  void DoProcess(TprmCustomProfile& data) override { WriteRoot(data); }

  virtual void WriteObjectBegin(TprmCustomProfile& instance);
  virtual void WriteObjectEnd(TprmCustomProfile& instance);
  // `value` is what prop.Get gave (read once per property).
  virtual void WriteProperty(const TPropInfo& prop, const TPropValue& value);

 private:
  static bool IsDefault(const TPropInfo& prop, const TPropValue& value);

  std::string FText;
  std::vector<std::string> FOpenedTags;  // depth is the indentation level
};

enum TParserPosKind { ppkObject = 0, ppkProperty = 1, ppkEOO = 2, ppkUnknown = 3 };

// Reads one statement at a time from UTF-16 text; keeps no token list.
class TVSKParser {
 public:
  explicit TVSKParser(std::u16string_view text) : FText(text) {}

  // False at the end of the input (a statement cut short by the end is dropped).
  bool Next();
  // Reads statements until the close of the current object, counting nested opens.
  void SkipToEOO();

  TParserPosKind Kind() const { return FKind; }
  const std::string& Name() const { return FName; }
  const std::string& Value() const { return FValue; }
  // Swaps the last statement's name and value with the given strings: the caller keeps them
  // while further statements are read, and their buffers are reused.
  void TakeStatement(std::string& name, std::string& value) {
    FName.swap(name);
    FValue.swap(value);
  }
  // The character that ended the last statement: ';', '{' or '}'.
  char16_t StopChar() const { return FStopChar; }

 private:
  std::u16string_view FText;
  std::size_t FPos = 0;
  TParserPosKind FKind = ppkUnknown;
  std::string FName;
  std::string FValue;
  char16_t FStopChar = 0;
};

// Reads VSK text into an object. Statements naming no property and no list block are ignored;
// values that cannot be converted are logged as "invalid property [%s]: %s" and skipped.
class TVSKReader : public TprmFiler {
 public:
  // `text` must outlive the reader.
  explicit TVSKReader(std::u16string_view text) : FParser(text) {}

  void ReadRoot(TprmCustomProfile& instance);
  // Reads statements into `instance` up to the close of the current object.
  void ReadObject(TprmCustomProfile& instance);

  TVSKParser& Parser() { return FParser; }

 protected:
  void DoProcess(TprmCustomProfile& data) override { ReadRoot(data); }

 private:
  void ApplyStatement(TprmCustomProfile& instance, const std::string& name,
                      const std::string& value);
  void SetPropertyValue(TprmCustomProfile& instance, const TPropInfo& prop,
                        const std::string& value);

  TVSKParser FParser;
};

// A list filer writes and reads the block of a list held by an object.
class TprmRttiFiler {
 public:
  virtual ~TprmRttiFiler() = default;
  // Raise EprmException "Not support this class" for an object they do not serve.
  virtual void Write(TVSKWriter& writer, TprmCustomProfile& instance) = 0;
  virtual void Read(TVSKReader& reader, TprmCustomProfile& instance, const std::string& value) = 0;
};

struct TprmRttiFilerData {
  std::string PropertyName;                                // the block name
  std::function<bool(const TprmCustomProfile&)> Serves;    // the served class
  std::function<std::unique_ptr<TprmRttiFiler>()> Create;  // a filer for one use
};

// The process-wide ordered list of list filers, filled with the built-in ones on first use.
// Registration happens at start-up only, before any concurrent loading or saving.
class TRttiRegister {
 public:
  static TRttiRegister& Instance();
  void Register(TprmRttiFilerData data) { FItems.push_back(std::move(data)); }
  const std::vector<TprmRttiFilerData>& Items() const { return FItems; }
  // The first filer whose block name equals `name` ignoring case and that serves `instance`.
  const TprmRttiFilerData* Find(const std::string& name, const TprmCustomProfile& instance) const;

 private:
  TRttiRegister();
  std::vector<TprmRttiFilerData> FItems;
};

// The "Objects" block of a TVSKItems list.
class TVSKItemsObjectsFiler : public TprmRttiFiler {
 public:
  void Write(TVSKWriter& writer, TprmCustomProfile& instance) override;
  void Read(TVSKReader& reader, TprmCustomProfile& instance, const std::string& value) override;
};

}  // namespace qm
