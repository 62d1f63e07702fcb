#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "support/text_utils.h"

namespace qm {

// A list of "name=value" lines (connection and transaction parameters). The owner may install a
// check that runs before every change and raises to refuse it ("Connection is connected");
// every accepted change sets `Changed`. Not thread-safe.
class TmncStringList {
 public:
  using CheckProc = std::function<void()>;

  TmncStringList() = default;
  explicit TmncStringList(CheckProc before_change) : FBeforeChange(std::move(before_change)) {}

  const TStrings& Lines() const { return FLines; }
  int Count() const { return static_cast<int>(FLines.size()); }
  bool Empty() const { return FLines.empty(); }

  // Replaces all lines.
  void Assign(const TStrings& lines);
  // Replaces all lines with those of a text split at CR LF, CR or LF.
  void SetText(std::string_view text);
  // The lines, each followed by LF.
  std::string Text() const;
  void Add(const std::string& line);
  void Clear();

  // The value of the first line whose name (text before the first "=") equals `name` ignoring
  // case, or "".
  std::string Values(std::string_view name) const;
  // Replaces the value of that line or appends "name=value"; an empty value removes the line.
  void SetValues(std::string_view name, const std::string& value);
  int IndexOfName(std::string_view name) const;

  bool Changed() const { return FChanged; }
  void SetChanged(bool value) { FChanged = value; }

 private:
  void BeforeChange();

  CheckProc FBeforeChange;
  TStrings FLines;
  bool FChanged = false;
};

}  // namespace qm
