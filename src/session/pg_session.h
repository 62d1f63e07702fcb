#pragma once

// The PostgreSQL connection of a session: keeps the notices of the last commit, which
// "CloseTransaction" hands back to the client.

#include <string>

#include "db/postgres/pg_connection.h"

namespace qm {

// Used by one thread at a time (under its session's lock).
class TqmdPGConnection : public TprmPGConnection {
 public:
  TqmdPGConnection() = default;
  ~TqmdPGConnection() override;

  // The notices collected by the last commit of any of its transactions ("" when it had none);
  // a rollback leaves it as it was.
  const std::string& LastNotices() const { return FLastNotices; }

 protected:
  void DoNotices(TmncPGNoticeItems& notices, bool committed) override;

 private:
  std::string FLastNotices;
};

}  // namespace qm
