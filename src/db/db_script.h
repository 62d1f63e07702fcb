#pragma once

// Scripts of statements separated by a separator character, as the session's script command
// runs them.

#include <string>

namespace qm {

class TmncSQLTransaction;

// The reading side of an SQL script buffer. Statements are the stretches between separator
// characters (default "^"); a single quote toggles a quoted state in which the separator does
// not split. Not thread-safe.
class TprmSQLScriptBuffer {
 public:
  char Separator() const { return FSeparator; }
  void SetSeparator(char value) { FSeparator = value; }

  void Write(const std::string& text) { FText += text; }
  // Positions on the first statement.
  void First();
  // Moves past the current statement and its separator to the next one.
  void Next();
  // (Named Eof: EOF is a C library macro.)
  bool Eof() const { return FPos >= FText.size(); }
  // The current statement, or "" when it holds only blanks, carriage returns and line feeds.
  std::string SQLStatement() const;
  // 0 for an empty buffer, else the number of separators in the whole text plus 1 (quotes are
  // not considered).
  int StatementCount() const;

 private:
  void Measure();

  std::string FText;
  char FSeparator = '^';
  size_t FPos = 0;
  size_t FStatementLen = 0;
};

// Runs a "^"-separated script on a transaction (not owned; it must outlive the script object).
// Each statement is executed through one command of the transaction with ProcessSQL on. A
// failing statement ends the script with an Exception "Error [<message>]: <statement>";
// statements already executed stay executed.
class TprmDBScript {
 public:
  explicit TprmDBScript(TmncSQLTransaction* transaction) : FTransaction(transaction) {}
  virtual ~TprmDBScript() = default;

  TmncSQLTransaction* Transaction() const { return FTransaction; }
  // `name` is not used.
  void Execute(const std::string& script, const std::string& name = std::string()) {
    DoExecuteScript(FTransaction, script, name);
  }

 protected:
  virtual void DoExecuteScript(TmncSQLTransaction* transaction, const std::string& script,
                               const std::string& name);

 private:
  TmncSQLTransaction* FTransaction;
};

}  // namespace qm
