#include "db/fake_engine_fixture.h"

#include "support/text_utils.h"

namespace qm::fake {

int FakeEngine::Count(const std::string& event) const {
  int n = 0;
  for (const std::string& e : events) {
    if (e == event)
      ++n;
  }
  return n;
}

std::vector<std::string> FakeEngine::Only(std::initializer_list<std::string> words) const {
  std::vector<std::string> out;
  for (const std::string& e : events) {
    for (const std::string& w : words) {
      if (e == w || e.rfind(w + " ", 0) == 0) {
        out.push_back(e);
        break;
      }
    }
  }
  return out;
}

// ---- FakeConnection ----

FakeConnection::FakeConnection(FakeEngine& engine, TmncCapabilities caps)
    : engine(engine), caps_(caps) {}

void FakeConnection::DoConnect() {
  engine.events.push_back("connect");
  connected_ = !refuse_connect;
}

void FakeConnection::DoDisconnect() {
  engine.events.push_back("disconnect");
  connected_ = false;
}

std::string FakeConnection::GetNextIDSQL(const std::string& name, int step) {
  if (!has_sequences)
    return std::string();
  return "next " + name + " " + std::to_string(step);
}

void FakeConnection::DirectExecute(const std::string& sql) {
  engine.events.push_back("direct " + sql);
}

std::unique_ptr<TmncSQLTransaction> FakeConnection::DoCreateTransaction() {
  return std::make_unique<FakeTransaction>(this, engine);
}

std::unique_ptr<TmncSQLConnection> FakeConnection::CreateSameClass() const {
  auto clone = std::make_unique<FakeConnection>(engine, caps_);
  clone->param_char = param_char;
  return clone;
}

// ---- FakeTransaction ----

void FakeTransaction::DoStop(TmncTransactionAction how, bool retaining) {
  std::string event = how == sdaCommit ? "commit" : "rollback";
  if (retaining)
    event += " retaining";
  engine_.events.push_back(event);
}

std::unique_ptr<TmncSQLCommand> FakeTransaction::DoCreateCommand() {
  return std::make_unique<FakeCommand>(this, engine_);
}

// ---- FakeCommand ----

std::unique_ptr<TmncProcessedSQL> FakeCommand::CreateProcessedSQL() {
  if (use_prm_processed)
    return std::make_unique<TprmSQLProcessed>();
  return TmncSQLCommand::CreateProcessedSQL();
}

void FakeCommand::DoPrepare() {
  engine_.events.push_back("prepare " + Trim(ProcessedSQL().SQL()));
}

void FakeCommand::DoExecute() {
  const std::string sql = Trim(ProcessedSQL().SQL());
  engine_.events.push_back("execute " + sql);
  engine_.last_values.clear();
  for (TmncBind* bind : Binds())
    engine_.last_values.push_back(bind->Param()->IsNull() ? "NULL" : bind->Param()->AsString());
  if (!engine_.fail_on.empty() && sql.find(engine_.fail_on) != std::string::npos)
    throw EmncException("fake failure");

  auto it = engine_.results.find(sql);
  result_ = it == engine_.results.end() ? nullptr : &it->second;
  row_ = 0;
  open_ = true;
  if (result_ == nullptr) {
    HitDone();
    return;
  }
  Columns().Clear();
  for (const auto& [name, type] : result_->columns)
    Columns().Add(name, type);
  SetFields(CreateFields(&Columns()));
  for (TmncColumn* column : Columns()) {
    TmncField* field = Fields()->Add(column);
    field->SetDataType(column->DataType());
  }
  HitDone(result_->rows.empty());
}

void FakeCommand::LoadRow() {
  const std::vector<Variant>& row = result_->rows[row_];
  for (int i = 0; i < Fields()->Count(); ++i)
    Fields()->Items(i)->SetValue(row[static_cast<size_t>(i)]);
}

void FakeCommand::DoNext() {
  // The first DoNext after execution loads row 0; each later one moves on.
  if (result_ == nullptr || row_ >= result_->rows.size()) {
    HitDone();
    return;
  }
  LoadRow();
  ++row_;
}

void FakeCommand::DoClose() {
  if (open_)
    engine_.events.push_back("close");
  open_ = false;
  result_ = nullptr;
}

// ---- FakeSession ----

FakeSession::FakeSession(TmncCapabilities caps)
    : connection(std::make_unique<FakeConnection>(engine, caps)) {
  connection->Connect();
  transaction = connection->CreateTransaction();
}

std::unique_ptr<FakeCommand> FakeSession::Command(const std::string& sql) {
  auto command =
      std::make_unique<FakeCommand>(static_cast<FakeTransaction*>(transaction.get()), engine);
  if (!sql.empty())
    command->SetSQL(sql);
  return command;
}

}  // namespace qm::fake
