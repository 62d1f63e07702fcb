#include "db/firebird/fb_script.h"

#include <memory>

#include "db/db_errors.h"
#include "db/firebird/fb_command.h"

namespace qm {

void TmncFBTransaction::RunScript(const std::string& script, const std::string& name) {
  TprmFBDBScript runner(this);
  runner.Execute(script, name);
}

void TprmFBDBScript::DoExecuteScript(TmncSQLTransaction* transaction, const std::string& script,
                                     const std::string& /*name*/) {
  if (transaction == nullptr)
    throw EmncStateError("Transaction not assigned");
  auto* fb = dynamic_cast<TmncFBTransaction*>(transaction);
  if (fb == nullptr)
    throw EmncStateError("Not a Firebird transaction");
  TprmSQLScriptBuffer buffer;
  std::unique_ptr<TmncSQLCommand> command = fb->CreateCommand();
  auto* runner = static_cast<TmncFBCommand*>(command.get());
  buffer.Write(script);
  buffer.First();
  while (!buffer.Eof()) {
    const std::string statement = buffer.SQLStatement();
    if (!statement.empty())
      runner->RunSQL(statement);
    buffer.Next();
  }
}

}  // namespace qm
