#pragma once

// PostgreSQL result columns, row fields and parameters. A row field is a view of the bytes in
// the command's current library result: nothing is copied, and reads convert the text on
// demand. None of these classes locks; they belong to one command.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "db/fields.h"

namespace qm {

class TmncCustomPGCommand;

// A result column with the server's type OID.
class TmncPGColumn : public TmncColumn {
 public:
  int PGType() const { return FPGType; }
  // Also sets DataType from the OID (unknown OIDs give dtUnknown).
  void SetPGType(int value);
  // The library's PQfsize: -1 for variable length.
  int FieldSize() const { return FFieldSize; }
  void SetFieldSize(int value) { FFieldSize = value; }
  std::unique_ptr<TmncColumn> Clone() const override;

 private:
  int FPGType = 0;
  int FFieldSize = 0;
};

// The data type of a server type OID.
TmnDataType PGTypeToDataType(int oid);

class TmncPGColumns : public TmncColumns {
 public:
  using TmncColumns::Add;
  // Appends a column with Index = Count, then PGType and FieldSize.
  TmncPGColumn* Add(const std::string& name, int pg_type, int size);
};

// One value of the current row: a view of the bytes in the library's result. Reads convert the
// text on demand; every write raises Exception "msgErrorSetField" (only IsNull can be set).
class TmncPostgreField : public TmncField {
 public:
  using TmncField::TmncField;

  // Points the field at a value of the current result (nil data for null).
  void SetData(const char* data, int length, bool is_null) {
    FData = data;
    FDataLen = length;
    FIsNull = is_null;
  }
  std::string_view Text() const {
    return FData == nullptr ? std::string_view() : std::string_view(FData, FDataLen);
  }

  Variant GetValue() const override;
  void SetValue(const Variant& value) override;
  std::string GetAsText() const override;
  void SetAsText(const std::string& value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& value) override;
  std::int32_t GetAsInteger() const override;
  void SetAsInteger(std::int32_t value) override;
  std::int64_t GetAsInt64() const override;
  void SetAsInt64(std::int64_t value) override;
  double GetAsDouble() const override;
  void SetAsDouble(double value) override;
  // True when the text starts with 1, T, Y, t or y.
  bool GetAsBoolean() const override;
  void SetAsBoolean(bool value) override;
  Currency GetAsCurrency() const override;
  void SetAsCurrency(Currency value) override;
  void SetAsDate(TDateTime value) override;
  // The text as an ISO date and time, the fraction of a second dropped; raises Exception
  // "Not valid DateTime" for a malformed text. Null or empty reads 0.
  TDateTime GetAsDateTime() const override;
  void SetAsDateTime(TDateTime value) override;
  void SetAsTime(TDateTime value) override;
  void SetAsBytes(const TBytes& value) override;
  bool GetIsNull() const override { return FIsNull; }
  void SetIsNull(bool value) override;
  TmncFieldMemory Memory() const override { return {FDataLen, FData}; }

 private:
  const char* FData = nullptr;  // not owned: inside the command's current result
  int FDataLen = 0;
  bool FIsNull = false;
};

class TmncPostgreFields : public TmncFields {
 public:
  using TmncFields::CreateField;
  TmncPostgreFields(TmncColumns* columns, TmncCustomPGCommand* command)
      : TmncFields(columns), FCommand(command) {}
  std::unique_ptr<TmncField> CreateField(TmncColumn* column) override {
    return std::make_unique<TmncPostgreField>(column);
  }
  // True when every field of the row is null.
  bool IsNull() const;
  TmncCustomPGCommand* Command() const { return FCommand; }

 private:
  TmncCustomPGCommand* FCommand;  // the command that owns these fields
};

// A parameter kept in a Variant; an empty string written through AsString, or a date or
// date-time of exactly 0, makes it null.
class TmncPostgreParam : public TmncVariantParam {
 public:
  void SetAsString(const std::string& value) override;
  void SetAsDate(TDateTime value) override;
  void SetAsDateTime(TDateTime value) override;
};

class TmncPostgreParams : public TmncParams {
 public:
  std::unique_ptr<TmncParam> CreateParam() override { return std::make_unique<TmncPostgreParam>(); }
};

// The text a parameter value is sent as: doubles with up to 15 significant digits, currency with
// up to four decimals, date-times "yyyy-mm-dd hh:nn:ss" (milliseconds dropped), anything else in
// its Variant text.
std::string PGParamText(const Variant& value);

}  // namespace qm
