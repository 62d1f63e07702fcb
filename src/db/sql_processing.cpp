#include "db/sql_processing.h"

#include "db/sql_connections.h"
#include "support/text_utils.h"

namespace qm {
namespace {

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// What differs between the two processed-SQL classes.
struct ScanRules {
  char marker;
  std::string param_char;
  // The marker number is written even when the command replaces parameters itself.
  bool number_despite_replace;
  // Named markers record the output length as their position (else -1).
  bool track_positions;
  const char* comment_error;
  const char* string_error;
};

// Scans `sql` and appends the processed text to `out` and the markers to `names`.
//
// A blank after a marker does not start a name ("? x" is an unnamed marker). The character that
// ends a name, a bare marker's next character and the character after a quoted name
// (?"my name") are scanned like any other, so a quote or a marker right there is honoured.
template <typename E>
void Scan(const std::string& sql, const ScanRules& rules, TmncParseOptions options,
          bool replace_params, TmncProcessedSQL& names, std::string& out) {
  const bool numbered = options.Contains(psoNumbered);
  const bool keep_names = options.Contains(psoKeepNames);
  const std::string s = Trim(sql) + " ";
  const size_t length = s.size();

  enum class State { kNormal, kComment, kString, kName } state = State::kNormal;
  char quote = '\'';
  int number = 1;
  std::string name;
  bool quoted_name = false;

  auto finish_name = [&] {
    if (numbered && (rules.number_despite_replace || !replace_params))
      out += std::to_string(number);
    names.Add(number, name, rules.track_positions ? static_cast<int>(out.size()) : -1);
    name.clear();
    state = State::kNormal;
    if (numbered)
      number++;
  };

  size_t i = 0;
  while (i < length) {
    const char c = s[i];
    const char n = i + 1 < length ? s[i + 1] : '\0';
    switch (state) {
      case State::kNormal:
        if (c == '\'' || c == '"') {
          quote = c;
          state = State::kString;
        } else if (c == rules.marker) {
          out += rules.param_char;
          state = State::kName;
          quoted_name = false;
          name.clear();
        } else if (c == '/' && n == '*') {
          out += '/';
          ++i;  // the "*" is copied below, inside the comment
          state = State::kComment;
        }
        break;

      case State::kComment:
        if (n == '\0')
          throw E(rules.comment_error + std::to_string(i + 1));
        if (c == '*' && n == '/')
          state = State::kNormal;
        break;

      case State::kString:
        if (n == '\0')
          throw E(rules.string_error + std::to_string(i + 1));
        if (c == quote) {
          if (n == quote) {
            out += c;  // a doubled quote stays inside the string
            ++i;
          } else {
            state = State::kNormal;
          }
        }
        break;

      case State::kName:
        if (quoted_name) {
          if (c == '"')
            finish_name();  // the closing quote is not copied
          else
            name += c;
          ++i;
          continue;
        }
        if (c == '"' && name.empty()) {
          quoted_name = true;
          ++i;
          continue;
        }
        if (IsNameChar(c)) {
          name += c;
          if (keep_names)
            out += c;
          if (!IsNameChar(n))
            finish_name();
          ++i;
          continue;
        }
        // A marker without a name; `c` is scanned again as ordinary text.
        if (!options.Contains(psoAllowUnnamed))
          throw E("Parameter name expected");
        if (numbered && (rules.number_despite_replace || !replace_params))
          out += std::to_string(number);
        names.Add(number, "_Param_" + std::to_string(number), -1);
        number++;
        state = State::kNormal;
        continue;
    }
    if (state != State::kName)
      out += s[i];  // the marker itself is not copied
    ++i;
  }
  if (state == State::kName)
    throw E("Parameter name expected");  // a quoted name that never closes
}

// One parameter per distinct name, one bind per marker in order.
void RebuildParams(TmncSQLCommand& command, const TmncProcessedSQL& names) {
  command.Params().Clear();
  command.Binds().Clear();
  for (const TmncSQLName* name : names)
    command.Binds().Add(command.Params().Require(name->Name));
}

std::string ParamCharOf(const TmncSQLCommand& command) {
  const TmncSQLTransaction* transaction = command.Transaction();
  const TmncSQLConnection* connection = transaction ? transaction->Connection() : nullptr;
  return connection ? connection->GetParamChar() : std::string("?");
}

}  // namespace

TmncSQLName* TmncProcessedSQL::Add(int id, const std::string& name, int position) {
  auto item = std::make_unique<TmncSQLName>();
  item->ID = id;
  item->Name = name;
  item->Position = position;
  return TmnObjectList<TmncSQLName>::Add(std::move(item));
}

void TmncProcessedSQLText::Clear() {
  TmncProcessedSQL::Clear();
  Text.clear();
}

void TmncProcessedSQLText::Parse(TmncSQLCommand& command, TmncParseOptions options) {
  const std::string& sql = command.SQL();
  if (sql.empty())
    throw EmncException("Empty SQL to parse!");
  if (!command.ProcessSQL()) {
    Text = sql;
    return;
  }
  Clear();
  const ScanRules rules{.marker = command.ParamPrefix(),
                        .param_char = ParamCharOf(command),
                        .number_despite_replace = false,
                        .track_positions = true,
                        .comment_error = "Done in comment detected: ",
                        .string_error = "Done in string detected: "};
  std::string out;
  Scan<EmncException>(sql, rules, options, command.Options().Contains(cmoReplaceParams), *this,
                      out);
  Text = std::move(out);
  RebuildParams(command, *this);
}

void TprmSQLProcessed::Clear() {
  TmncProcessedSQL::Clear();
  FBuffer.clear();
}

void TprmSQLProcessed::Parse(TmncSQLCommand& command, TmncParseOptions options) {
  const std::string& sql = command.SQL();
  if (sql.empty())
    throw EprmException("Empty SQL to parse!");
  Clear();
  const ScanRules rules{.marker = '?',
                        .param_char = ParamCharOf(command),
                        .number_despite_replace = true,
                        .track_positions = false,
                        .comment_error = "EOF in comment detected: ",
                        .string_error = "EOF in string detected: "};
  std::string out;
  Scan<EprmException>(sql, rules, options, command.Options().Contains(cmoReplaceParams), *this,
                      out);
  AddSQL(out);
  RebuildParams(command, *this);
}

}  // namespace qm
