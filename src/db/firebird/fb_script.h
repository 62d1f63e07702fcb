#pragma once

// Scripts on a Firebird transaction.

#include <string>

#include "db/db_script.h"
#include "db/firebird/fb_transaction.h"

namespace qm {

// Runs a "^"-separated script with one direct execution per statement, in the transaction.
class TprmFBDBScript : public TprmDBScript {
 public:
  using TprmDBScript::TprmDBScript;

 protected:
  void DoExecuteScript(TmncSQLTransaction* transaction, const std::string& script,
                       const std::string& name) override;
};

}  // namespace qm
