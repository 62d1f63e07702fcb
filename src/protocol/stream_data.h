#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "protocol/vsk_items.h"
#include "support/buffer.h"
#include "support/format.h"
#include "support/variant.h"

namespace qm {

enum TDataProtocol : std::uint8_t { dpVSK = 0, dpJSON = 1 };

enum TDataHeaderType : std::uint8_t {
  dhtString = 0,
  dhtInteger = 1,
  dhtCardinal = 2,
  dhtBoolean = 3,
  dhtCurrency = 4,
  dhtDouble = 5,
  dhtDateTime = 6,
  dhtBytes = 7,
};

// Names of the protocols on the client's header line, by TDataProtocol.
inline constexpr const char* kDataProtocolNames[] = {"VSK", "JSON"};

// One named value of a message. `Data` holds the standard Base64 of the value's UTF-16LE text;
// the As* views decode it and never raise (text that does not convert reads as 0 / false).
class TStreamDataHeader : public TVSKItem {
 public:
  std::string ClassName() const override { return "TStreamDataHeader"; }
  const TPropList& Properties() const override;

  const std::string& Guid() const { return FGuid; }
  void SetGuid(const std::string& value);
  const std::string& Name() const { return FName; }
  void SetName(const std::string& value);
  // The stored Base64 form.
  const std::string& Data() const { return FData; }
  void SetData(const std::string& value) { FData = value; }
  std::int32_t DataSize() const { return FDataSize; }
  void SetDataSize(std::int32_t value) { FDataSize = value; }
  TDataHeaderType DataType() const { return FDataType; }
  void SetDataType(TDataHeaderType value) { FDataType = value; }

  // Copies Guid, Name, Data (stored form), DataSize and DataType from another header; any other
  // source is ignored.
  void Assign(const TprmCustomProfile& source);

  // Stores `text` as the value (Base64 of its UTF-16LE bytes) without touching DataType.
  void SetText(std::string_view text);

  std::string AsString() const;
  std::int32_t AsInteger() const;
  std::uint32_t AsCardinal() const;
  bool AsBoolean() const;
  Currency AsCurrency() const;
  double AsDouble() const;
  TDateTime AsDateTime() const { return AsDouble(); }
  // A value of the kind DataType names; see the .cpp for the exact rules.
  Variant Value() const;

 private:
  void KeyChanged();

  std::string FGuid;
  std::string FName;
  std::string FData;
  std::int32_t FDataSize = 0;
  TDataHeaderType FDataType = dhtString;
};

// An ordered, owning list of headers. Duplicates are possible; lookups find the first match,
// comparing section (Guid) and name ignoring case. Lookups go through an index beside the
// list (the first header of each section and name), so a message with many headers is not
// scanned once per lookup; the list order is never changed by it. Not thread-safe.
class TStreamDataHeaders : public TVSKItems {
 public:
  TStreamDataHeaders() : TVSKItems(true) {}

  // No more than this many headers are made while loading (VSK or JSON); the rest are passed
  // over and HeadersCut() tells so. Negative: no bound.
  void SetMaxHeaders(std::int64_t value) { FMaxHeaders = value; }
  std::int64_t MaxHeaders() const { return FMaxHeaders; }
  bool HeadersCut() const { return FHeadersCut; }
  std::string ClassName() const override { return "TStreamDataHeaders"; }

  // Raises std::out_of_range outside 0..Count-1.
  TStreamDataHeader* Item(int index) const;

  TStreamDataHeader* FindHeader(std::string_view guid, std::string_view name) const;
  // FindHeader, or a new header appended with that Guid and Name.
  TStreamDataHeader* ForceHeader(const std::string& guid, const std::string& name);
  TStreamDataHeader* Headers(const std::string& guid, const std::string& name) {
    return ForceHeader(guid, name);
  }

  // Each overwrites a header of that section and name in place or appends a new one.
  TStreamDataHeader* RegisterHeader(const std::string& guid, const std::string& name,
                                    const std::string& value);
  TStreamDataHeader* RegisterHeader(const std::string& guid, const std::string& name,
                                    const char* value);
  TStreamDataHeader* RegisterHeader(const std::string& guid, const std::string& name,
                                    std::int32_t value);
  TStreamDataHeader* RegisterHeader(const std::string& guid, const std::string& name,
                                    std::uint32_t value);
  TStreamDataHeader* RegisterHeader(const std::string& guid, const std::string& name, bool value);
  TStreamDataHeader* RegisterHeader(const std::string& guid, const std::string& name,
                                    Currency value);
  TStreamDataHeader* RegisterHeader(const std::string& guid, const std::string& name, double value);
  TStreamDataHeader* RegisterHeader(const std::string& guid, const std::string& name,
                                    DateTimeValue value);
  TStreamDataHeader* RegisterHeader(const std::string& guid, const std::string& name,
                                    const Variant& value);
  // The other header's text under its own Guid and Name, as a string.
  TStreamDataHeader* RegisterHeader(const TStreamDataHeader& header);

  // ("System", "Error") = message, then DoError.
  TStreamDataHeader* SysError(const std::string& message);
  // The same with the message formatted first (support/format.h rules).
  TStreamDataHeader* SysError(std::string_view format, std::initializer_list<FormatArg> args);
  // ("Warning", name) = text.
  TStreamDataHeader* SysWarning(const std::string& name, const std::string& text);

  // The JSON form: {"Items": [{"Guid","Name","Data" (decoded text),"DataSize","DataType"}...]}
  // then whatever DoSaveJSON adds.
  nlohmann::ordered_json MakeJSON() const;
  // Parses UTF-8 JSON text and appends the headers found. Text that does not parse loads
  // nothing; a JSON value that is not an object raises EInvalidCast.
  void LoadJSON(const char* bytes, std::size_t count);

  // Typed views; a missing header reads as "", 0, false or 0.0.
  std::string AsString(std::string_view guid, std::string_view name) const;
  std::int32_t AsInteger(std::string_view guid, std::string_view name) const;
  std::uint32_t AsCardinal(std::string_view guid, std::string_view name) const;
  bool AsBoolean(std::string_view guid, std::string_view name) const;
  Currency AsCurrency(std::string_view guid, std::string_view name) const;
  double AsDouble(std::string_view guid, std::string_view name) const;
  TDateTime AsDateTime(std::string_view guid, std::string_view name) const;

 protected:
  virtual void DoError(const std::string& /*message*/) {}
  virtual void DoSaveJSON(nlohmann::ordered_json& /*json*/) const {}
  virtual void DoLoadJSON(const nlohmann::ordered_json& /*json*/) {}

  void Added(int index, TVSKItem* item) override;
  void Update() override;
  // True while one more header may be made by a load; notes the cut otherwise.
  bool RoomForHeader();
  void SetHeadersCut(bool value) { FHeadersCut = value; }

 private:
  friend class TStreamDataHeader;
  static std::string IndexKey(std::string_view guid, std::string_view name);
  void InvalidateIndex() { FIndexValid = false; }

  // Lower-cased "guid\0name" -> first header with that section and name. Rebuilt on the
  // next lookup after any change other than an append.
  mutable std::unordered_map<std::string, TStreamDataHeader*> FIndex;
  mutable bool FIndexValid = true;
  bool FAppended = false;
  std::int64_t FMaxHeaders = -1;
  bool FHeadersCut = false;

  TStreamDataHeader* Store(const std::string& guid, const std::string& name, std::string_view text,
                           TDataHeaderType type);
};

// The platform's invalid-cast error.
class EInvalidCast : public Exception {
 public:
  EInvalidCast() : Exception("Invalid class typecast") {}
};

// A whole message: headers, a name ("OK" or "Error" on replies), a free text field carried in
// the binary form only, and a raw byte block. Created holding the two default headers
// ("System", "Version") = "1.0.0.1" and ("System", "Compressed") = "False". Not thread-safe.
class TStreamData : public TStreamDataHeaders {
 public:
  TStreamData();
  std::string ClassName() const override { return "TStreamData"; }
  const TPropList& Properties() const override;

  const std::string& Name() const { return FName; }
  void SetName(const std::string& value) { FName = value; }
  const std::string& Data() const { return FData; }
  void SetData(const std::string& value) { FData = value; }
  TprmBuffer& Buffer() { return FBuffer; }
  const TprmBuffer& Buffer() const { return FBuffer; }

  // Headers, Name, Data and Buffer; the default headers are not put back.
  void Clear() override;

  // ForceHeader + Assign for each header of `list`; null does nothing.
  void RegisterHeaders(const TStreamDataHeaders* list);
  // Clears `list`, then appends copies of the headers of section `guid` (ignoring case).
  void EnumHeaders(std::string_view guid, TStreamDataHeaders& list) const;
  std::unique_ptr<TStreamDataHeaders> EnumHeaders(std::string_view guid) const;

  bool IsOK() const;
  std::string SysErrorText() const { return AsString("System", "Error"); }

  // While loading VSK text: when the first header is met, the message name read so far goes to
  // `accept`; a refused name makes no headers at all (the name comes first in well-formed
  // text). Null accepts every name.
  void SetNameFilter(std::function<bool(const std::string&)> accept) {
    FNameFilter = std::move(accept);
  }
  bool NameRefused() const { return FNameRefused; }

 protected:
  std::unique_ptr<TVSKItem> DoCreateItem(const std::string& class_name,
                                         const std::string& name) override;
  void DoError(const std::string& message) override;
  void DoSaveJSON(nlohmann::ordered_json& json) const override;
  void DoLoadJSON(const nlohmann::ordered_json& json) override;

 private:
  std::string FName;
  std::string FData;
  TprmBuffer FBuffer;
  std::function<bool(const std::string&)> FNameFilter;
  bool FNameChecked = false;
  bool FNameRefused = false;
};

}  // namespace qm
