#pragma once

// Values of the SQLite driver: row fields and parameters keep their values in Variants; a bind
// owns the bytes of a text or blob parameter while the statement may still read them (the
// library is told not to copy them). Also the conversion of a statement's columns and
// parameters between the library's storage classes and Variants.
//
// Date-times: a column declared DATE, TIMESTAMP or DATETIME holds them; with `correct_date` they
// are stored as Julian day numbers (the library's date functions read them), else as the
// TDateTime number itself.
//
// Not thread-safe: these belong to one command, used by one thread at a time.

#include <sqlite3.h>

#include <memory>
#include <string>

#include "db/fields.h"
#include "db/sqlite/sqlite_api.h"
#include "support/variant.h"

namespace qm {

class TmncSQLiteField : public TmncVariantField {
 public:
  using TmncVariantField::TmncVariantField;
};

class TmncSQLiteFields : public TmncFields {
 public:
  using TmncFields::CreateField;
  using TmncFields::TmncFields;
  std::unique_ptr<TmncField> CreateField(TmncColumn* column) override {
    return std::make_unique<TmncSQLiteField>(column);
  }
};

class TmncSQLiteParam : public TmncVariantParam {};

class TmncSQLiteParams : public TmncParams {
 public:
  std::unique_ptr<TmncParam> CreateParam() override { return std::make_unique<TmncSQLiteParam>(); }
};

// One parameter marker. FBuffer holds the bytes handed to the library for the last execution:
// they stay valid until the next execution frees them or the bind is destroyed (the statement
// is finalized before its binds go away).
class TmncSQLiteBind : public TmncBind {
 public:
  // The buffer filled with `bytes` plus a terminating zero byte.
  const std::string& SetBuffer(std::string bytes);
  void FreeBuffer();
  const std::string& Buffer() const { return FBuffer; }
  // The size handed to the library (without the terminating zero).
  int BufferSize() const { return FBufferSize; }

 private:
  std::string FBuffer;
  int FBufferSize = 0;
};

class TmncSQLiteBinds : public TmncBinds {
 public:
  std::unique_ptr<TmncBind> CreateBind(TmncParam* param) override;
  TmncSQLiteBind* Bind(int index) const { return static_cast<TmncSQLiteBind*>(Items(index)); }
};

// A text of the library; "" for none.
std::string SQLiteText(const char* text);
// A column name as the library reports it, one pair of surrounding quotes removed.
std::string SQLiteColumnName(std::string name);
// The column's data type from the storage class of its value and its declared type.
TmnDataType SQLiteColumnDataType(int storage, const std::string& declared);
// The storage class that a non-null value of a column declared `declared` takes, for a result
// without a row to look at.
int SQLiteDeclaredStorage(const std::string& declared);

// The value of column `index` of the row `statement` stands on, as the column wants it.
Variant SQLiteColumnValue(TmncSQLiteLib& lib, sqlite3_stmt* statement, int index,
                          const TmncColumn* column, bool correct_date);
// Binds `value` to parameter `index` (from 1); text and bytes are kept in `bind` for the
// statement to read. The library's result.
int SQLiteBindValue(TmncSQLiteLib& lib, sqlite3_stmt* statement, int index, const Variant& value,
                    TmncSQLiteBind& bind, bool correct_date);

}  // namespace qm
