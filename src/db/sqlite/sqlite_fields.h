#pragma once

// Values of the SQLite driver: row fields and parameters keep their values in Variants; a bind
// owns the bytes of a text or blob parameter while the statement may still read them (the
// library is told not to copy them).
//
// Not thread-safe: these belong to one command, used by one thread at a time.

#include <memory>
#include <string>

#include "db/fields.h"

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

}  // namespace qm
