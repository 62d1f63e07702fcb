#pragma once

// Value holders that carry data between callers and a database engine: the typed field base
// (`TmnCustomField`), result columns (`TmncColumn`), the values of the current row (`TmncField`),
// statement parameters (`TmncParam`) and the binds from parameter markers to parameters
// (`TmncBind`). Engines derive their own field and parameter classes that keep values in engine
// form and override the conversions.
//
// None of these classes locks; a field list belongs to one command, used by one thread at a time.

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "support/enum_set.h"
#include "support/object_list.h"
#include "support/variant.h"

namespace qm {

enum TmnDataType {
  dtUnknown,
  dtString,
  dtBoolean,
  dtInteger,
  dtCurrency,
  dtFloat,
  dtDate,
  dtTime,
  dtDateTime,
  dtMemo,
  dtBlob,
  dtBig,
  dtColor,
  dtUUID,
};
enum TmnBlobType { blobBinary, blobText };
enum TmnSubType { dstBinary, dstText, dstJSON, dstXML, dstImage };
enum TmnDataOption { doRequired, doNullable };
using TmnDataOptions = EnumSet<TmnDataOption>;

// A view of the raw bytes an engine holds for a value (not owned).
struct TmncFieldMemory {
  int Size = 0;
  const void* Data = nullptr;
};

// A GUID in its field form; its byte form is little-endian field by field.
struct TmnGuid {
  std::uint32_t D1 = 0;
  std::uint16_t D2 = 0;
  std::uint16_t D3 = 0;
  std::uint8_t D4[8] = {};
  friend bool operator==(const TmnGuid&, const TmnGuid&) = default;
};

// The generic typed value holder.
//
// Engine side: the virtual Get*/Set* operations convert between the stored value and each type.
// The defaults go through `GetValue`/`SetValue` and the conversions of `Variant`; an engine
// overrides `GetValue`, `SetValue`, `GetIsNull` and whichever getters it can serve directly.
// A getter that cannot convert raises EVariantError.
//
// Caller side: the typed reads (`AsString`, `AsInteger`, ...) give the zero value ("", 0, false,
// 0.0, no bytes) when the value is null or cannot be converted (EVariantError is swallowed; any
// other error passes). Writes are the virtual setters themselves (`SetAsString`, ...) plus the
// non-virtual special forms below. To read through a field pointer that may be null, use
// `SafeField(pointer)`: a missing field reads as null and raises "Field is nil" on writes.
class TmnCustomField {
 public:
  TmnCustomField() = default;
  TmnCustomField(const TmnCustomField&) = delete;
  TmnCustomField& operator=(const TmnCustomField&) = delete;
  virtual ~TmnCustomField() = default;

  // ---- Virtual conversions (engine side) ----
  virtual Variant GetValue() const = 0;
  virtual void SetValue(const Variant& value) = 0;
  virtual std::string GetAsText() const;  // default: the AsString reading
  virtual void SetAsText(const std::string& value);
  virtual std::string GetAsString() const;  // null gives ""
  virtual void SetAsString(const std::string& value);
  virtual std::int32_t GetAsInteger() const;
  virtual void SetAsInteger(std::int32_t value);
  virtual std::int64_t GetAsInt64() const;
  virtual void SetAsInt64(std::int64_t value);
  virtual double GetAsDouble() const;
  virtual void SetAsDouble(double value);
  virtual bool GetAsBoolean() const;      // default GetAsInteger() != 0
  virtual void SetAsBoolean(bool value);  // default SetAsInteger(0 or 1)
  virtual Currency GetAsCurrency() const;
  virtual void SetAsCurrency(Currency value);
  virtual TDateTime GetAsDate() const;  // integral part of GetAsDateTime
  virtual void SetAsDate(TDateTime value);
  virtual TDateTime GetAsDateTime() const;
  virtual void SetAsDateTime(TDateTime value);  // exactly 0 clears to null
  virtual TDateTime GetAsTime() const;          // fractional part of GetAsDateTime
  virtual void SetAsTime(TDateTime value);
  virtual TBytes GetAsBytes() const;
  virtual void SetAsBytes(const TBytes& value);  // an empty array clears to null
  virtual bool GetIsNull() const;                // default: empty or null value
  virtual void SetIsNull(bool value);            // default does nothing
  virtual TmncFieldMemory Memory() const { return {}; }
  // Raise Exception "Not implemented yet" unless an engine provides them.
  virtual void LoadFromStream(std::istream& stream);
  virtual void SaveToStream(std::ostream& stream) const;
  virtual void Clear() { SetIsNull(true); }
  virtual void Empty() { SetValue(Variant()); }

  // ---- Typed reads (caller side) ----
  std::string AsString() const;
  std::string AsNullString() const { return AsString(); }
  std::string AsText() const;
  std::int32_t AsInteger() const;
  std::int64_t AsInt64() const;
  std::int64_t AsID() const { return AsInt64(); }
  double AsDouble() const;
  bool AsBoolean() const;
  Currency AsCurrency() const;
  TDateTime AsDate() const;
  TDateTime AsTime() const;
  TDateTime AsDateTime() const;
  TBytes AsBytes() const;
  std::string AsTrimString() const;
  std::string AsAnsiString() const;  // ISO-8859-1 bytes
  std::u16string AsWideString() const;
  std::string AsUtf8String() const { return AsString(); }
  std::string AsHex() const;  // UTF-16LE bytes of the text, upper-case hex: "A" reads "4100"
  TmnGuid AsGuid() const;     // from 16 bytes of AsBytes; zero when there are not 16
  std::string AsUID() const { return AsNullString(); }
  std::int64_t AsForeign() const { return AsInt64(); }
  Variant Value() const { return GetValue(); }
  Variant AsVariant() const { return GetValue(); }
  bool IsNull() const { return GetIsNull(); }
  bool IsExists() const;
  bool IsEmpty() const { return !IsExists() || AsNullString().empty(); }

  // ---- Special writes ----
  void SetAsNullString(const std::string& value);  // "" clears to null
  void SetAsTrimString(const std::string& value);
  void SetAsAnsiString(const std::string& value);  // ISO-8859-1 bytes
  void SetAsWideString(const std::u16string& value);
  void SetAsUtf8String(const std::string& value) { SetAsString(value); }
  void SetAsHex(const std::string& value);  // decoding stops at the first pair that is not hex
  void SetAsGuid(const TmnGuid& value);
  void SetAsUID(const std::string& value);  // "" or "0" clears to null
  void SetAsForeign(std::int64_t value);    // 0 clears to null
  void SetAsID(std::int64_t value) { SetAsInt64(value); }
  void SetAsVariant(const Variant& value) { SetValue(value); }

  // Copies the value of another field.
  void Assign(const TmnCustomField& source) { SetValue(source.GetValue()); }
  void LoadFromFile(const std::string& file_name);
  void SaveToFile(const std::string& file_name) const;
};

// The field itself, or for a null pointer a shared stand-in that reads as null (every typed read
// gives the zero value, `IsExists` is false) and raises Exception "Field is nil" on every write.
TmnCustomField& SafeField(TmnCustomField* field);
const TmnCustomField& SafeField(const TmnCustomField* field);

// A named value holder with a data type.
class TmncItem : public TmnCustomField {
 public:
  virtual std::string GetName() const = 0;
  std::string Name() const { return GetName(); }

  TmnDataType DataType() const { return FDataType; }
  void SetDataType(TmnDataType value) { FDataType = value; }
  TmnBlobType BlobType() const { return FBlobType; }
  void SetBlobType(TmnBlobType value) { FBlobType = value; }
  bool IsNumber() const;

  // A binary blob reads and writes its text in the AsHex form.
  std::string GetAsText() const override;
  void SetAsText(const std::string& value) override;

 protected:
  TmnDataType FDataType = dtUnknown;
  TmnBlobType FBlobType = blobBinary;
};

// An owning list of items with a lower-cased name dictionary: a later item of the same name
// takes the name over, and `Find` ignores case.
template <typename T>
class TmncItems : public TmnNamedObjectList<T> {
 public:
  TmncItems() : TmnNamedObjectList<T>(256) {}
  // Every item becomes null; the items stay.
  void Clean() {
    for (T* item : *this)
      item->Clear();
  }
};

// The description of one result column. A column holds no value: value access raises
// EmncException "Field have no value, You must not use it, try use Fields!".
class TmncColumn : public TmncItem {
 public:
  TmncColumn() = default;

  Variant GetValue() const override;
  void SetValue(const Variant& value) override;
  bool GetIsNull() const override { return false; }
  void SetIsNull(bool value) override;
  std::string GetName() const override { return FName; }

  // A column of the same class with the same description.
  virtual std::unique_ptr<TmncColumn> Clone() const;
  // Copies the description (not index, name or data type).
  void AssignDescription(const TmncColumn& source);

  int Index() const { return FIndex; }
  void SetIndex(int value) { FIndex = value; }
  const std::string& FullName() const { return FFullName; }
  void SetFullName(const std::string& value) { FFullName = value; }
  void SetName(const std::string& value) { FName = value; }
  const std::string& MetaType() const { return FMetaType; }
  void SetMetaType(const std::string& value) { FMetaType = value; }
  std::int64_t Size() const { return FSize; }
  virtual void SetSize(std::int64_t value) { FSize = value; }
  std::int16_t Scale() const { return FScale; }
  void SetScale(std::int16_t value) { FScale = value; }
  int Decimals() const { return FDecimals; }
  void SetDecimals(int value) { FDecimals = value; }
  TmnDataOptions Options() const { return FOptions; }
  void SetOptions(TmnDataOptions value) { FOptions = value; }
  TmnSubType SubType() const { return FSubType; }
  void SetSubType(TmnSubType value) { FSubType = value; }
  int MaxSize() const { return FMaxSize; }
  void SetMaxSize(int value) { FMaxSize = value; }

 protected:
  int FDecimals = 0;
  std::string FFullName;
  std::string FName;
  int FIndex = 0;
  int FMaxSize = 0;
  TmnDataOptions FOptions;
  std::string FMetaType;
  std::int16_t FScale = 0;
  std::int64_t FSize = 0;
  TmnSubType FSubType = dstBinary;
};

class TmncColumns : public TmncItems<TmncColumn> {
 public:
  using TmncItems<TmncColumn>::Add;

  // A new column of class C with index, name (also the full name) and data type, appended.
  template <typename C = TmncColumn>
  C* Add(int index, const std::string& name, TmnDataType type) {
    auto column = std::make_unique<C>();
    C* result = column.get();
    result->SetIndex(index);
    result->SetName(name);
    result->SetFullName(name);
    result->SetDataType(type);
    Add(std::unique_ptr<TmncColumn>(std::move(column)));
    return result;
  }
  // The same with the index = the current count.
  TmncColumn* Add(const std::string& name, TmnDataType type) { return Add(Count(), name, type); }

  // Replaces the content with copies of the source columns (same classes, same descriptions).
  virtual void Assign(const TmncColumns& source);
  // Adds one plain column per source column, with the source name and `as_type`.
  void Clone(const TmncColumns& from, TmnDataType as_type);
  // The same, keeping each source data type.
  void Clone(const TmncColumns& from);
};

// A value of the current row, described by a column (not owned).
class TmncField : public TmncItem {
 public:
  explicit TmncField(TmncColumn* column = nullptr) : FColumn(column) {}
  std::string GetName() const override { return FColumn ? FColumn->Name() : std::string(); }
  TmncColumn* Column() const { return FColumn; }
  void SetColumn(TmncColumn* value) { FColumn = value; }
  // Whether AsString of a byte value is the engine's own text form of it. Without one, the
  // result block carries the raw bytes, each read as an ISO-8859-1 character.
  virtual bool HasByteText() const { return false; }

 protected:
  TmncColumn* FColumn;
};
using TmncCustomField = TmncField;

// A row value kept in a Variant. Null only when the value is null: a new field is empty, not
// null; `SetIsNull` stores null whatever it is given.
class TmncVariantField : public TmncField {
 public:
  using TmncField::TmncField;
  Variant GetValue() const override { return FValue; }
  void SetValue(const Variant& value) override { FValue = value; }
  bool GetIsNull() const override { return FValue.IsNull(); }
  void SetIsNull(bool) override { FValue = Variant::MakeNull(); }

 protected:
  Variant FValue;
};

// The values of the current row, one per column. The columns are linked, not owned.
class TmncFields : public TmncItems<TmncField> {
 public:
  using TmncItems<TmncField>::Add;

  // Raises EmncException "vColumns must be not nil" without columns.
  explicit TmncFields(TmncColumns* columns);

  // Engines return their field class.
  virtual std::unique_ptr<TmncField> CreateField(TmncColumn* column) = 0;
  std::unique_ptr<TmncField> CreateField(int index);

  TmncField* Add(TmncColumn* column);
  TmncField* Add(TmncColumn* column, const Variant& value);
  // The column at `index` of Columns (none when the index is past the end).
  TmncField* Add(int index, const Variant& value);

  TmncField* Field(std::string_view name) const { return Find(name); }
  bool IsExist(std::string_view name) const { return Find(name) != nullptr; }
  // Raises EmncException "Field \"<name>\" not found".
  TmncField* FieldByName(std::string_view name) const;
  // The named value, or an empty value when no field has that name.
  Variant Values(std::string_view name) const;
  // Raises the not-found error of FieldByName for an unknown name.
  void SetValues(std::string_view name, const Variant& value);

  TmncColumns* Columns() const { return FColumns; }
  std::int64_t RowID() const { return FRowID; }
  void SetRowID(std::int64_t value) { FRowID = value; }

 protected:
  TmncColumns* FColumns;
  std::int64_t FRowID = 0;
};

// Fields that keep their values in Variants.
class TmncVariantFields : public TmncFields {
 public:
  using TmncFields::CreateField;
  using TmncFields::TmncFields;
  std::unique_ptr<TmncField> CreateField(TmncColumn* column) override {
    return std::make_unique<TmncVariantField>(column);
  }
};

// A named statement parameter.
class TmncParam : public TmncItem {
 public:
  TmncParam() = default;
  std::string GetName() const override { return FName; }
  void SetName(const std::string& value) { FName = value; }

 protected:
  std::string FName;
};

// A parameter kept in a Variant; same null rules as TmncVariantField.
class TmncVariantParam : public TmncParam {
 public:
  Variant GetValue() const override { return FValue; }
  void SetValue(const Variant& value) override { FValue = value; }
  bool GetIsNull() const override { return FValue.IsNull(); }
  void SetIsNull(bool) override { FValue = Variant::MakeNull(); }

 protected:
  Variant FValue;
};

class TmncCustomParams : public TmncItems<TmncParam> {
 public:
  TmncParam* Param(std::string_view name) const { return Find(name); }
  // Raises EmncException "Param <name> not found".
  TmncParam* ParamByName(std::string_view name) const;
};

class TmncParams : public TmncCustomParams {
 public:
  using TmncCustomParams::Add;
  // Engines return their parameter class.
  virtual std::unique_ptr<TmncParam> CreateParam() = 0;
  TmncParam* Add(const std::string& name);
  // The parameter of that name (ignoring case), or a new one.
  TmncParam* Require(const std::string& name);
};

class TmncVariantParams : public TmncParams {
 public:
  std::unique_ptr<TmncParam> CreateParam() override { return std::make_unique<TmncVariantParam>(); }
};

// One parameter marker of a statement: the parameter it takes its value from (not owned).
class TmncBind {
 public:
  virtual ~TmncBind() = default;
  TmncParam* Param() const { return FParam; }
  void SetParam(TmncParam* value) { FParam = value; }

 protected:
  TmncParam* FParam = nullptr;
};

// The binds of a statement in marker order; a parameter may be bound several times. Owning.
class TmncBinds : public TmnObjectList<TmncBind> {
 public:
  using TmnObjectList<TmncBind>::Add;
  virtual std::unique_ptr<TmncBind> CreateBind(TmncParam* param);
  TmncBind* Add(TmncParam* param);
};

}  // namespace qm
