#pragma once

// Where a command writes its rows for a reply: values and the markers between them. The reply
// side implements it over its result-block writer; a command's WriteRows (db/sql_connections.h)
// fills it.
//
// One sink serves one result on one thread.

#include <cstdint>
#include <string_view>

namespace qm {

class TmncRowSink {
 public:
  virtual ~TmncRowSink() = default;

  // A value as UTF-8 text; false (nothing written) when the text cannot travel as a value.
  virtual bool Value(std::string_view utf8) = 0;
  // A byte value; false (nothing written) when its text form cannot travel as a value.
  virtual bool Bytes(std::string_view bytes) = 0;
  virtual void Null() = 0;
  // Between two values of a row.
  virtual void Separator() = 0;
  // After the last value of a row.
  virtual void Terminator() = 0;
  // Raises the sink's refusal of the value of `column` in row `row` (counting from 1) that
  // Value or Bytes would not take.
  [[noreturn]] virtual void Refuse(std::string_view column, std::uint64_t row) = 0;
};

}  // namespace qm
