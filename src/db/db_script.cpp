#include "db/db_script.h"

#include <algorithm>

#include "db/sql_connections.h"
#include "support/log.h"

namespace qm {

void TprmSQLScriptBuffer::First() {
  FPos = 0;
  Measure();
}

void TprmSQLScriptBuffer::Next() {
  FPos = std::min(FText.size(), FPos + FStatementLen + 1);
  Measure();
}

void TprmSQLScriptBuffer::Measure() {
  bool quoted = false;
  size_t end = FPos;
  while (end < FText.size()) {
    const char c = FText[end];
    if (c == '\'')
      quoted = !quoted;
    else if (c == FSeparator && !quoted)
      break;
    ++end;
  }
  FStatementLen = end - FPos;
}

std::string TprmSQLScriptBuffer::SQLStatement() const {
  if (Eof())
    return std::string();
  const std::string statement = FText.substr(FPos, FStatementLen);
  const bool blank = std::all_of(statement.begin(), statement.end(),
                                 [](char c) { return c == ' ' || c == '\r' || c == '\n'; });
  return blank ? std::string() : statement;
}

int TprmSQLScriptBuffer::StatementCount() const {
  if (FText.empty())
    return 0;
  return static_cast<int>(std::count(FText.begin(), FText.end(), FSeparator)) + 1;
}

void TprmDBScript::DoExecuteScript(TmncSQLTransaction* transaction, const std::string& script,
                                   const std::string& /*name*/) {
  if (transaction == nullptr)
    throw EmncException("Transaction not assigned");
  TprmSQLScriptBuffer buffer;
  std::unique_ptr<TmncSQLCommand> command = transaction->CreateCommand();
  TLogTick tick([&] { return Format("Script Count [%d]", {buffer.StatementCount()}); });

  buffer.Write(script);
  buffer.First();
  while (!buffer.Eof()) {
    const std::string statement = buffer.SQLStatement();
    if (!statement.empty()) {
      try {
        command->Close();
        command->SetSQL(statement);
        command->Execute();
      } catch (const std::exception& e) {
        throw Exception("Error [" + std::string(e.what()) + "]: " + statement);
      }
    }
    buffer.Next();
  }
}

}  // namespace qm
