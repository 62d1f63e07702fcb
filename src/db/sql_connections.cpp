#include "db/sql_connections.h"

#include <atomic>
#include <fstream>

#include "db/dispatchers.h"

namespace qm {
namespace {

std::atomic<TmncReconnectProc> g_reconnect_handler{nullptr};

// Re-raises the exception being handled with `suffix` appended to its message. The system's own
// classes keep their class; anything else becomes an Exception.
[[noreturn]] void RethrowWithSuffix(const std::string& suffix) {
  try {
    throw;
  } catch (const EmncException& e) {
    throw EmncException(e.Message() + suffix);
  } catch (const EprmException& e) {
    throw EprmException(e.Message() + suffix);
  } catch (const EVariantError& e) {
    throw EVariantError(e.Message() + suffix);
  } catch (const EConvertError& e) {
    throw EConvertError(e.Message() + suffix);
  } catch (const EmnException& e) {
    throw EmnException(e.Message() + suffix);
  } catch (const Exception& e) {
    throw Exception(e.Message() + suffix);
  } catch (const std::exception& e) {
    throw Exception(std::string(e.what()) + suffix);
  }
}

bool EndsWithIgnoreCase(const std::string& line, const std::string& terminator) {
  return line.size() >= terminator.size() &&
         SameText(std::string_view(line).substr(line.size() - terminator.size()), terminator);
}

// The line-script loop shared by the three runners. `run` executes the collected statement.
class LineScript {
 public:
  LineScript(TmncSQLCommand& command, const std::string& terminator, bool trim_lines,
             std::function<void()> after_statement, std::string error_separator)
      : command_(command),
        terminator_(terminator),
        trim_lines_(trim_lines),
        after_statement_(std::move(after_statement)),
        error_separator_(std::move(error_separator)) {}

  void Line(std::string line) {
    if (trim_lines_) {
      line = Trim(line);
      if (line.empty())
        return;
    }
    if (EndsWithIgnoreCase(line, terminator_)) {
      const std::string before = Trim(line.substr(0, line.size() - terminator_.size()));
      if (!before.empty())
        command_.AddSQL(before);
      Run();
    } else {
      command_.AddSQL(line);
    }
  }

  // Runs what is left after the last line.
  void Finish() { Run(); }

 private:
  void Run() {
    // A statement made only of blank lines is not sent.
    if (Trim(command_.SQL()).empty()) {
      command_.SetSQL(std::string());
      return;
    }
    try {
      command_.Execute();
    } catch (...) {
      RethrowWithSuffix(error_separator_ + " on script number " + std::to_string(counter_));
    }
    counter_++;
    if (command_.Active())
      command_.Close();
    command_.SetSQL(std::string());
    if (after_statement_)
      after_statement_();
  }

  TmncSQLCommand& command_;
  const std::string& terminator_;
  bool trim_lines_;
  std::function<void()> after_statement_;
  std::string error_separator_;
  int counter_ = 1;
};

}  // namespace

// ---- TmncSQLConnection ----

void SetReconnectHandler(TmncReconnectProc handler) {
  g_reconnect_handler.store(handler);
}

TmncSQLConnection::TmncSQLConnection() : FDispatchers(std::make_unique<TDBDispatchers>(this)) {}

TmncSQLConnection::~TmncSQLConnection() {
  FDispatchers.reset();
}

void TmncSQLConnection::BeforeDestruction() {
  FDispatchers.reset();
  TmncConnection::BeforeDestruction();
}

std::unique_ptr<TmncSQLTransaction> TmncSQLConnection::CreateTransaction() {
  std::unique_ptr<TmncSQLTransaction> transaction = DoCreateTransaction();
  if (AutoStart())
    transaction->Start();
  return transaction;
}

std::int64_t TmncSQLConnection::NextID(const std::string& name, int step) {
  const std::string sql = GetNextIDSQL(name, step);
  if (sql.empty())
    return 0;
  std::unique_ptr<TmncSQLTransaction> transaction = DoCreateTransaction();
  std::unique_ptr<TmncSQLCommand> command = transaction->CreateCommand(sql);
  std::int64_t result = 0;
  if (command->Execute() && command->Fields() != nullptr && command->Fields()->Count() > 0)
    result = command->Fields()->Items(0)->AsInt64();
  return result;
}

void TmncSQLConnection::Execute(const std::string& sql) {
  if (Connected())
    DirectExecute(sql);
}

std::unique_ptr<TmncSQLConnection> TmncSQLConnection::Clone(const std::string& resource,
                                                            bool auto_connect) {
  try {
    std::unique_ptr<TmncSQLConnection> clone = CreateSameClass();
    if (!clone)
      return nullptr;
    clone->SetResource(resource);
    clone->SetHost(Host());
    clone->SetPort(Port());
    clone->SetUserName(UserName());
    clone->SetPassword(Password());
    clone->AssignClone(*this);
    if (auto_connect)
      clone->Connect();
    return clone;
  } catch (...) {
    return nullptr;
  }
}

void TmncSQLConnection::CloneExecute(const std::string& resource, const std::string& sql) {
  std::unique_ptr<TmncSQLConnection> clone = Clone(resource, false);
  if (!clone)
    throw EmncException("Can not clone connection of " + EngineName());
  clone->Connect();
  clone->Execute(sql);
}

void TmncSQLConnection::AssignClone(const TmncSQLConnection&) {}

std::string TmncSQLConnection::GetNextIDSQL(const std::string&, int) {
  return std::string();
}

void TmncSQLConnection::DirectExecute(const std::string&) {
  throw Exception("Execute is not suported in " + EngineName());
}

void TmncSQLConnection::Reconnect() {
  if (TestConnected())
    return;
  FIsReconnecting = true;
  struct ClearWhenRestored {
    TmncSQLConnection& connection;
    ~ClearWhenRestored() {
      try {
        if (connection.TestConnected())
          connection.FIsReconnecting = false;
      } catch (...) {
      }
    }
  } guard{*this};
  if (TmncReconnectProc handler = g_reconnect_handler.load())
    handler(*this);
}

// ---- TmncSQLTransaction ----

TmncSQLConnection* TmncSQLTransaction::Connection() const {
  return dynamic_cast<TmncSQLConnection*>(TmncTransaction::Connection());
}

std::unique_ptr<TmncSQLCommand> TmncSQLTransaction::CreateCommand(const std::string& sql) {
  std::unique_ptr<TmncSQLCommand> command = DoCreateCommand();
  if (!sql.empty())
    command->SetSQL(sql);
  return command;
}

void TmncSQLTransaction::Execute(const std::string& sql) {
  std::unique_ptr<TmncSQLCommand> command = CreateCommand(sql);
  command->Execute();
}

namespace {

// Hands the lines that `feed` gives to a line script over a fresh command of `transaction`,
// committing (retaining) after every statement when `auto_commit` is set.
template <typename Feed>
void RunTransactionScript(TmncSQLTransaction& transaction, bool auto_commit,
                          const std::string& terminator, const char* error_separator, Feed&& feed) {
  std::unique_ptr<TmncSQLCommand> command = transaction.CreateCommand();
  command->SetProcessSQL(false);
  LineScript script(
      *command, terminator, true,
      [&transaction, auto_commit] {
        if (auto_commit)
          transaction.CommitRetaining();
      },
      error_separator);
  feed(script);
  script.Finish();
}

}  // namespace

void TmncSQLTransaction::ExecuteScript(const TStrings& lines, bool auto_commit,
                                       const std::string& terminator) {
  RunTransactionScript(*this, auto_commit, terminator, "\r", [&](LineScript& script) {
    for (const std::string& line : lines)
      script.Line(line);
  });
}

void TmncSQLTransaction::ExecuteFile(const std::string& file_name, bool auto_commit,
                                     const std::string& terminator) {
  std::ifstream file(file_name, std::ios::binary);
  if (!file)
    throw EmncException("Cannot open file \"" + file_name + "\"");
  RunTransactionScript(*this, auto_commit, terminator, "\r\n", [&](LineScript& script) {
    std::string line;
    bool first = true;
    while (std::getline(file, line)) {
      if (first && line.rfind("\xEF\xBB\xBF", 0) == 0)
        line.erase(0, 3);  // a UTF-8 byte-order mark
      first = false;
      script.Line(line);
    }
  });
}

// ---- TmncSQLCommand ----

TmncSQLCommand::TmncSQLCommand(TmncSQLTransaction* transaction) : TmncCommand(transaction) {}

TmncSQLCommand::~TmncSQLCommand() = default;

TmncSQLTransaction* TmncSQLCommand::Transaction() const {
  return dynamic_cast<TmncSQLTransaction*>(TmncCommand::Transaction());
}

void TmncSQLCommand::Prepare(const std::string& sql) {
  SetSQL(sql);
  Prepare();
}

TmncProcessedSQL& TmncSQLCommand::ProcessedSQL() {
  if (!FProcessedSQL)
    FProcessedSQL = CreateProcessedSQL();
  return *FProcessedSQL;
}

std::unique_ptr<TmncProcessedSQL> TmncSQLCommand::CreateProcessedSQL() {
  return std::make_unique<TmncProcessedSQLText>();
}

void TmncSQLCommand::DoParse() {
  const TmncParseOptions options = GetParseOptions();
  if (!options.Contains(psoSkip))
    ProcessedSQL().Parse(*this, options);
}

void TmncSQLCommand::DoUnparse() {
  if (FProcessedSQL)
    FProcessedSQL->Clear();
  TmncCommand::DoUnparse();
}

void TmncSQLCommand::ExecuteScript(const TStrings& lines, const std::string& terminator) {
  LineScript script(*this, terminator, false, nullptr, "\r");
  for (const std::string& line : lines)
    script.Line(line);
  script.Finish();
}

}  // namespace qm
