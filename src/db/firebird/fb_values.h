#pragma once

// Values crossing the Firebird client library: descriptor areas (XSQLDA) with the buffers of
// their descriptors, the conversion of a described value to and from the engine-neutral
// Variant, and whole blobs read and written through one memory buffer.
//
// Conversions:
// - Text passes as UTF-8; CHAR and VARCHAR of the character set OCTETS and binary blobs are byte
//   arrays (the text form of OCTETS is hexadecimal, two upper-case digits per byte; that of a
//   binary blob its content read as UTF-8).
// - SMALLINT, INTEGER, BIGINT and INT128 (all 16 bytes) with a scale: a currency when the scale
//   is -1 to -4 and the value fits, else the exact decimal text; scale 0: an integer (INT128
//   beyond 64 bits: its decimal text). INT128 columns are described as dtUnknown (text).
// - DATE, TIME and TIMESTAMP keep milliseconds (the library stores 1/10000 s), truncated.
// - A parameter is sent in the type of the value it holds, and the server converts it to the
//   declared type: text goes whole, so that a value too long for its column fails on the server
//   instead of being stored cut.
//
// Not thread-safe: a descriptor area belongs to one command, used by one thread at a time.

#include <ibase.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/fields.h"
#include "db/firebird/fb_blobs.h"
#include "support/variant.h"

namespace qm {

inline constexpr short kSQLInt128 = 32752;  // not in every ibase.h

// A descriptor area of `count` descriptors, each with a data buffer and a null indicator owned
// by the area.
class TFBSQLDA {
 public:
  explicit TFBSQLDA(int count = 0) { Resize(count); }
  TFBSQLDA(const TFBSQLDA&) = delete;
  TFBSQLDA& operator=(const TFBSQLDA&) = delete;

  // A zeroed area of `count` descriptors (version 1); buffers are dropped.
  void Resize(int count);
  XSQLDA* Area() { return reinterpret_cast<XSQLDA*>(FMemory.get()); }
  int Count() const { return FCount; }
  int Described() const;  // sqld
  XSQLVAR& Var(int index) { return Area()->sqlvar[index]; }
  // Points every described descriptor at a zero-filled buffer of its type's size and a null
  // indicator. An unknown type raises "Unknown SQL Data type (%d)".
  void AllocateBuffers();
  // The buffers of descriptor `index`, for a value written with FBWriteValue.
  std::vector<char>& Data(int index) { return FData[static_cast<std::size_t>(index)]; }
  short& Indicator(int index) { return FIndicators[static_cast<std::size_t>(index)]; }

 private:
  std::unique_ptr<std::max_align_t[]> FMemory;
  int FCount = 0;
  std::vector<std::vector<char>> FData;
  std::unique_ptr<short[]> FIndicators;  // fixed addresses, one per descriptor
};

// The type code without the nullable bit.
inline short FBSqlDef(const XSQLVAR& var) {
  return static_cast<short>(var.sqltype & ~1);
}
// The neutral data type of a column of this descriptor.
TmnDataType FBDataType(const XSQLVAR& var);
// The descriptor's alias name (UTF-8).
std::string FBAliasName(const XSQLVAR& var);

// The value a fetched descriptor holds; blobs are read whole.
Variant FBReadValue(const TFBHandles& handles, const XSQLVAR& var);
// Makes `var` (a copy of the descriptor the library described) carry `value`, with its data in
// `data` and its null indicator in `indicator`. Blob parameters get a new blob.
void FBWriteValue(const TFBHandles& handles, const Variant& value, XSQLVAR& var,
                  std::vector<char>& data, short& indicator);

// Scaled integers: the exact decimal text of v * 10^scale.
std::string FBScaledText(bool negative, std::string digits, int scale);

// Dates of the library (days since 1858-11-17; time in 1/10000 s) and TDateTime.
TDateTime FBDecodeDate(ISC_DATE date);
TDateTime FBDecodeTime(ISC_TIME time);
ISC_DATE FBEncodeDate(TDateTime value);
// The text of a date-time value of a column of `type`: "yyyy-mm-dd" for dtDate, "hh:nn:ss" for
// dtTime, "yyyy-mm-dd hh:nn:ss" otherwise; ".zzz" follows the seconds when there are
// milliseconds.
std::string FBDateTimeText(TmnDataType type, TDateTime value);
ISC_TIME FBEncodeTime(TDateTime value);

// A field of a Firebird row. Its text: DATE, TIME and TIMESTAMP each in their own form (see
// FBDateTimeText); CHAR and VARCHAR of OCTETS as hexadecimal, two upper-case digits per byte; a
// binary blob as its content read as UTF-8.
class TmncFBField : public TmncVariantField {
 public:
  using TmncVariantField::TmncVariantField;
  std::string GetAsString() const override;
  bool HasByteText() const override { return true; }
};

class TmncFBFields : public TmncFields {
 public:
  using TmncFields::CreateField;
  using TmncFields::TmncFields;
  std::unique_ptr<TmncField> CreateField(TmncColumn* column) override {
    return std::make_unique<TmncFBField>(column);
  }
};

class TmncFBParam : public TmncVariantParam {};

class TmncFBParams : public TmncParams {
 public:
  std::unique_ptr<TmncParam> CreateParam() override { return std::make_unique<TmncFBParam>(); }
};

}  // namespace qm
