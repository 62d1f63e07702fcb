#pragma once

// Parameter markers in SQL text. Before a command is prepared its SQL is scanned once: markers
// ("?name") outside string literals, quoted identifiers and block comments are replaced by the
// engine's marker text and recorded in statement order; from that record the command's Params
// (one per distinct name) and Binds (one per marker, in order) are rebuilt.

#include <string>

#include "support/enum_set.h"
#include "support/object_list.h"

namespace qm {

class TmncSQLCommand;

enum TmncParseOption {
  psoSkip,          // 1: no scanning at all
  psoAllowUnnamed,  // 2: a bare marker is a parameter named "_Param_<number>"
  psoNumbered,      // 4: the marker's number follows the replacement text ("$1")
  psoKeepNames,     // 8: the parameter name follows the replacement text
};
using TmncParseOptions = EnumSet<TmncParseOption>;

// One recorded marker. Position is the length of the processed text right after the marker's
// replacement, or -1 where it is not tracked.
struct TmncSQLName {
  int ID = 0;
  std::string Name;
  int Position = -1;
};

// The processed form of one command's SQL: the recorded markers (owned) and the processed text.
class TmncProcessedSQL : public TmnObjectList<TmncSQLName> {
 public:
  virtual std::string GetSQL() const = 0;
  std::string SQL() const { return GetSQL(); }
  // Scans the command's SQL with `options`, fills the text and the names and rebuilds the
  // command's Params and Binds.
  virtual void Parse(TmncSQLCommand& command, TmncParseOptions options) = 0;
  // Removes the names (and the text, in the derived classes).
  void Clear() override { TmnObjectList<TmncSQLName>::Clear(); }
  TmncSQLName* Add(int id, const std::string& name, int position);
};

// The default processed SQL: the marker is the command's ParamPrefix, its replacement the
// connection's GetParamChar, and with ProcessSQL off the text is taken unchanged. Errors are
// EmncException: "Empty SQL to parse!", "Done in comment detected: <pos>",
// "Done in string detected: <pos>", "Parameter name expected".
class TmncProcessedSQLText : public TmncProcessedSQL {
 public:
  std::string GetSQL() const override { return Text; }
  void Parse(TmncSQLCommand& command, TmncParseOptions options) override;
  void Clear() override;

  std::string Text;
};

// The processed SQL of the PostgreSQL command: the marker is always "?" and the text is always
// scanned. Errors are EprmException: "Empty SQL to parse!", "EOF in comment detected: <pos>",
// "EOF in string detected: <pos>", "Parameter name expected".
class TprmSQLProcessed : public TmncProcessedSQL {
 public:
  std::string GetSQL() const override { return FBuffer; }
  void Parse(TmncSQLCommand& command, TmncParseOptions options) override;
  void Clear() override;
  void AddSQL(const std::string& sql) { FBuffer += sql; }

 private:
  std::string FBuffer;
};

}  // namespace qm
