#include "db/postgres/pg_connection.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "db/postgres/pg_command.h"
#include "support/format.h"
#include "support/log.h"
#include "support/text_utils.h"

namespace qm {

namespace {

constexpr int kLargeObjectChunk = 2048;

// TCP keepalives of every connection: a server that vanishes without a word (host down, cable
// out) is noticed after about a minute of silence instead of never.
constexpr const char* kKeepalivesIdle = "30";
constexpr const char* kKeepalivesInterval = "10";
constexpr const char* kKeepalivesCount = "3";

// How often a waiting connect looks whether it was interrupted.
constexpr std::chrono::milliseconds kInterruptCheck{100};

constexpr std::array<const char*, 6> kNoticeWords = {"None",   "DEBUG",   "INFO",
                                                     "NOTICE", "WARNING", "EXCEPTION"};

bool StartsWithText(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

// `value` doubled-quote escaped on `handle` (the library knows the session's string rules);
// without a usable handle, quotes are doubled (standard-conforming strings).
std::string EscapeLiteralOn(PPGconn handle, std::string_view value) {
  TmncPGLib& lib = PGLib();
  if (handle != nullptr && lib.PQescapeStringConn != nullptr) {
    std::string out(value.size() * 2 + 1, '\0');
    int error = 0;
    const size_t n = lib.PQescapeStringConn(handle, out.data(), value.data(), value.size(), &error);
    if (error != 0)
      throw EprmException("Postgre command: " + PGText(lib.PQerrorMessage(handle)));
    out.resize(n);
    return out;
  }
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\0')
      throw EprmException("Postgre command: invalid zero byte in a string value");
    if (c == '\'')
      out += '\'';
    out += c;
  }
  return out;
}

// A name as written after "listen" and the like: unchanged when plain, else double-quoted.
std::string IdentifierText(std::string_view name) {
  if (IsPlainIdentifier(name))
    return std::string(name);
  return "\"" + EscapeIdentifier(name) + "\"";
}

// A table name for the conveniences: dotted plain parts stay as written.
std::string TableNameText(std::string_view name) {
  TStrings parts;
  StrToStrings(name, parts, ".");
  for (const std::string& part : parts) {
    if (!IsPlainIdentifier(part))
      return "\"" + EscapeIdentifier(name) + "\"";
  }
  return std::string(name);
}

EprmException LibraryError(PPGconn handle) {
  return EprmException("Postgre command: " + PGText(PGLib().PQerrorMessage(handle)));
}

// Large-object descriptors live only inside a transaction. Inside the connection's open
// transaction the calls simply join it; otherwise this scope begins a short one, committed by
// Commit() and rolled back when the scope is left without it.
class TPGLargeObjectScope {
 public:
  explicit TPGLargeObjectScope(TmncPGConnection& connection) : FConnection(connection) {
    connection.CheckConnected();
    if (PGLib().PQtransactionStatus(connection.Handle()) == PQTRANS_IDLE) {
      connection.DirectExecute("begin");
      FOwn = true;
    }
  }
  TPGLargeObjectScope(const TPGLargeObjectScope&) = delete;
  TPGLargeObjectScope& operator=(const TPGLargeObjectScope&) = delete;
  ~TPGLargeObjectScope() {
    if (!FOwn)
      return;
    try {
      PPGresult result = PGLib().PQexec(FConnection.Handle(), "rollback");
      FConnection.ClearStatement(result);
    } catch (...) {
      // Destruction never throws; the server ends the transaction with the session anyway.
    }
  }
  void Commit() {
    if (FOwn) {
      FOwn = false;
      FConnection.DirectExecute("commit");
    }
  }

 private:
  TmncPGConnection& FConnection;
  bool FOwn = false;
};

// Closes a large-object descriptor when left.
class TPGLargeObject {
 public:
  TPGLargeObject(PPGconn handle, Oid oid, int mode)
      : FHandle(handle), FFd(PGLib().lo_open(handle, oid, mode)) {}
  TPGLargeObject(const TPGLargeObject&) = delete;
  TPGLargeObject& operator=(const TPGLargeObject&) = delete;
  ~TPGLargeObject() {
    if (FFd >= 0)
      PGLib().lo_close(FHandle, FFd);
  }
  bool IsOpen() const { return FFd >= 0; }
  int Fd() const { return FFd; }

 private:
  PPGconn FHandle;
  int FFd;
};

// Reads `source` to its end into `target`, in chunks. Raises on a library failure.
std::int64_t CopyLargeObject(PPGconn source_handle, const TPGLargeObject& source,
                             PPGconn target_handle, const TPGLargeObject& target) {
  TmncPGLib& lib = PGLib();
  std::array<char, kLargeObjectChunk> buffer;
  std::int64_t total = 0;
  for (;;) {
    const int n = lib.lo_read(source_handle, source.Fd(), buffer.data(), buffer.size());
    if (n < 0)
      throw LibraryError(source_handle);
    if (n > 0 && lib.lo_write(target_handle, target.Fd(), buffer.data(), n) != n)
      throw LibraryError(target_handle);
    total += n;
    if (n < kLargeObjectChunk)
      return total;
  }
}

class TFileByteSink : public IByteSink {
 public:
  explicit TFileByteSink(std::ofstream& file) : FFile(file) {}
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    FFile.write(static_cast<const char*>(buffer), count);
    return FFile ? count : 0;
  }

 private:
  std::ofstream& FFile;
};

class TFileByteSource : public IByteSource {
 public:
  explicit TFileByteSource(std::ifstream& file) : FFile(file) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    FFile.read(static_cast<char*>(buffer), count);
    return FFile.gcount();
  }

 private:
  std::ifstream& FFile;
};

}  // namespace

// ---- Notices ----

const char* PGNoticeLevelWord(TmncPGNoticeLevel level) {
  return kNoticeWords[static_cast<size_t>(level)];
}

std::string TmncPGNotice::DisplayText() const {
  if (FLevel == mpnNone)
    return FMessage;
  return std::string(PGNoticeLevelWord(FLevel)) + ": " + FMessage;
}

TmncPGNotice* TmncPGNoticeItems::Add(const std::string& message, TmncPGNoticeLevel level) {
  return Add(std::make_unique<TmncPGNotice>(this, message, level));
}

bool TmncPGNoticeItems::HasLevel(TmncPGNoticeLevel level) const {
  for (const TmncPGNotice* notice : *this) {
    if (notice->Level() == level)
      return true;
  }
  return false;
}

std::string TmncPGNoticeItems::Message() const {
  std::string out;
  for (int i = 0; i < Count(); ++i) {
    if (i > 0)
      out += "\r ";
    out += Items(i)->DisplayText();
  }
  return out;
}

bool ParsePGNotice(std::string_view text, std::string& message, TmncPGNoticeLevel& level) {
  if (text.empty())
    return false;
  level = mpnNone;
  if (StartsWithText(text, "LOG")) {
    text.remove_prefix(std::min<size_t>(4, text.size()));
    level = mpnINFO;
  } else {
    for (int i = mpnDEBUG; i <= mpnERROR; ++i) {
      const std::string_view word = kNoticeWords[static_cast<size_t>(i)];
      if (StartsWithText(text, word)) {
        // The word and the ":" after it.
        text.remove_prefix(std::min(word.size() + 1, text.size()));
        level = static_cast<TmncPGNoticeLevel>(i);
        break;
      }
    }
  }
  message = Trim(text);
  return true;
}

// ---- Quoting ----

std::string QuoteConnectionValue(std::string_view value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\')
      out += '\\';
    out += c;
  }
  out += '\'';
  return out;
}

bool IsPlainIdentifier(std::string_view name) {
  if (name.empty())
    return false;
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (!letter(name[0]))
    return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '$')
      return false;
  }
  return true;
}

std::string EscapeIdentifier(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '"')
      out += '"';
    out += c;
  }
  return out;
}

// ---- TmncPGConnection ----

TmncPGConnection::TmncPGConnection() {
  PGLib().Load();
}

TmncPGConnection::~TmncPGConnection() {
  BeforeDestruction();
  if (FCancel != nullptr) {
    PGLib().PQfreeCancel(FCancel);
    FCancel = nullptr;
  }
}

TmncPGNoticeItems& TmncPGConnection::Notices() {
  if (!FNotices)
    FNotices = std::make_unique<TmncPGNoticeItems>();
  return *FNotices;
}

std::string TmncPGConnection::ConnectionText(const std::string& database) const {
  const std::string host = FirstNonEmpty({Host(), "127.0.0.1"});
  const std::string port = FirstNonEmpty({Port(), "5432"});
  const std::string db = database.empty() ? Resource() : database;
  const char* sslmode = FUseSSL ? "prefer" : "disable";
  const char* sslcompression = FUseSSL ? "1" : "0";
  std::string text;
  if (!UserName().empty() || !Password().empty())
    text = "user=" + QuoteConnectionValue(UserName()) +
           " password=" + QuoteConnectionValue(Password()) + " ";
  text += "host=" + QuoteConnectionValue(host) + " port=" + QuoteConnectionValue(port) +
          " dbname=" + QuoteConnectionValue(db) + " sslmode=" + sslmode +
          " sslcompression=" + sslcompression +
          " application_name=" + QuoteConnectionValue(FAppName);
  return text;
}

void TmncPGConnection::InternalConnect(PPGconn& handle, const std::string& database) {
  TmncPGLib& lib = PGLib();
  if (lib.PQsetdbLogin == nullptr)
    throw EprmException("PQsetdbLogin not assigned");
  handle = nullptr;
  FInterrupted = false;
  try {
    if (FSimpleConnection) {
      const std::string host = FirstNonEmpty({Host(), "127.0.0.1"});
      const std::string port = FirstNonEmpty({Port(), "5432"});
      // Taken as a plain name (expand_dbname 0), even when it holds "=" or a URI.
      const std::string db = database.empty() ? Resource() : database;
      const char* const keys[] = {"host",
                                  "port",
                                  "dbname",
                                  "user",
                                  "password",
                                  "keepalives",
                                  "keepalives_idle",
                                  "keepalives_interval",
                                  "keepalives_count",
                                  nullptr};
      const char* const values[] = {
          host.c_str(),       port.c_str(), db.c_str(),      UserName().c_str(),
          Password().c_str(), "1",          kKeepalivesIdle, kKeepalivesInterval,
          kKeepalivesCount,   nullptr};
      handle = lib.PQconnectStartParams(keys, values, 0);
    } else {
      const std::string text =
          ConnectionText(database) + " keepalives=1 keepalives_idle=" + kKeepalivesIdle +
          " keepalives_interval=" + kKeepalivesInterval + " keepalives_count=" + kKeepalivesCount;
      handle = lib.PQconnectStart(text.c_str());
    }
    if (handle == nullptr)
      throw EprmException("Postgre connection failed\rout of memory");
    if (lib.PQstatus(handle) == CONNECTION_BAD)
      throw EprmException("Postgre connection failed\r" + PGText(lib.PQerrorMessage(handle)));
    CompleteConnect(handle);
  } catch (...) {
    if (handle != nullptr)
      lib.PQfinish(handle);
    handle = nullptr;
    throw;
  }
}

void TmncPGConnection::CompleteConnect(PPGconn handle) {
  TmncPGLib& lib = PGLib();
  const int timeout = ConnectTimeout();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  // As the library asks: first wait until the socket can be written.
  PostgresPollingStatusType status = PGRES_POLLING_WRITING;
  while (status != PGRES_POLLING_OK) {
    if (status == PGRES_POLLING_FAILED)
      throw EprmException("Postgre connection failed\r" + PGText(lib.PQerrorMessage(handle)));
    if (FInterrupted)
      throw EprmException("Postgre connection failed\rinterrupted");
    if (status != PGRES_POLLING_READING && status != PGRES_POLLING_WRITING) {
      status = lib.PQconnectPoll(handle);
      continue;
    }
    auto slice = kInterruptCheck;
    if (timeout > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        throw EprmException(
            "Postgre connection failed\rno answer from " + FirstNonEmpty({Host(), "127.0.0.1"}) +
            ":" + FirstNonEmpty({Port(), "5432"}) + " within " + std::to_string(timeout) + " s");
      slice = std::min(slice, left);
    }
    pollfd fd{lib.PQsocket(handle),
              static_cast<short>(status == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(slice.count()));
    if (ready < 0 && errno != EINTR)
      throw EprmException("Postgre connection failed\r" + std::string(std::strerror(errno)));
    if (ready > 0)
      status = lib.PQconnectPoll(handle);
  }
}

void TmncPGConnection::SetHandle(PPGconn handle) {
  TmncPGLib& lib = PGLib();
  PGcancel* cancel = handle != nullptr ? lib.PQgetCancel(handle) : nullptr;
  std::lock_guard<std::mutex> lock(FInterruptLock);
  if (FCancel != nullptr)
    lib.PQfreeCancel(FCancel);
  FCancel = cancel;
  FHandle = handle;
}

void TmncPGConnection::Interrupt() {
  TmncPGLib& lib = PGLib();
  std::lock_guard<std::mutex> lock(FInterruptLock);
  FInterrupted = true;
  // Only a statement under way: a cancel request costs the server a connection of its own.
  if (FHandle != nullptr && FCancel != nullptr &&
      lib.PQtransactionStatus(FHandle) == PQTRANS_ACTIVE) {
    std::array<char, 256> error{};
    lib.PQcancel(FCancel, error.data(), static_cast<int>(error.size()));
  }
}

void TmncPGConnection::NoticeProcessor(void* argument, const char* message) {
  auto* connection = static_cast<TmncPGConnection*>(argument);
  std::string text;
  TmncPGNoticeLevel level = mpnNone;
  if (ParsePGNotice(PGText(message), text, level))
    connection->Notices().Add(text, level);
}

void TmncPGConnection::DoConnect() {
  if (FNotices)
    FNotices->Clear();
  PPGconn handle = nullptr;
  InternalConnect(handle, std::string());
  PGLib().PQsetNoticeProcessor(handle, &TmncPGConnection::NoticeProcessor, this);
  SetHandle(handle);
}

void TmncPGConnection::DoConnected() {
  if (!FClientEncoding.empty())
    Execute("set client_encoding to '" + EscapeLiteral(FClientEncoding) + "';");
  if (!FByteaOutput.empty())
    Execute("set bytea_output = '" + EscapeLiteral(FByteaOutput) + "';");
  if (!FDateStyle.empty())
    Execute("set datestyle to '" + EscapeLiteral(FDateStyle) + "';");
  if (FLockTimeout != 0)
    Execute(Format("set lock_timeout to '%d';", {FLockTimeout}));
}

void TmncPGConnection::DoDisconnect() {
  PPGconn handle = FHandle;
  SetHandle(nullptr);
  try {
    if (handle != nullptr)
      PGLib().PQfinish(handle);
  } catch (...) {
    // The handle is gone either way.
  }
}

std::unique_ptr<TmncSQLTransaction> TmncPGConnection::DoCreateTransaction() {
  return std::make_unique<TmncPGTransaction>(this);
}

std::unique_ptr<TmncSQLConnection> TmncPGConnection::CreateSameClass() const {
  return std::make_unique<TmncPGConnection>();
}

void TmncPGConnection::AssignClone(const TmncSQLConnection& source) {
  TmncSQLConnection::AssignClone(source);
  if (auto* pg = dynamic_cast<const TmncPGConnection*>(&source)) {
    FUseSSL = pg->FUseSSL;
    FSimpleConnection = pg->FSimpleConnection;
  }
}

std::string TmncPGConnection::GetNextIDSQL(const std::string& name, int step) {
  const std::string seq = EscapeLiteral(name);
  if (step == 0)
    return Format("select currval('%s')", {seq});
  if (step == 1)
    return Format("select nextval('%s')", {seq});
  return Format("select setval('%s', nextval('%s')+%d-1)", {seq, seq, step});
}

std::string TmncPGConnection::EscapeLiteral(std::string_view value) const {
  return EscapeLiteralOn(FHandle, value);
}

void TmncPGConnection::CheckResult(PGresult* result) {
  TmncPGLib& lib = PGLib();
  const auto status = static_cast<TExecStatusType>(lib.PQresultStatus(result));
  if (status != PGRES_BAD_RESPONSE_ && status != PGRES_NONFATAL_ERROR_ &&
      status != PGRES_FATAL_ERROR_)
    return;
  // Without a result the reason is on the connection.
  const std::string message = result != nullptr ? PGText(lib.PQresultErrorMessage(result))
                                                : PGText(lib.PQerrorMessage(FHandle));
  Reconnect();
  throw EprmException("Postgre command: " + message);
}

void TmncPGConnection::ClearStatement(PPGresult& result) {
  if (result == nullptr)
    return;
  PPGresult taken = result;
  result = nullptr;
  DoClearStatement(taken);
}

void TmncPGConnection::DoClearStatement(PPGresult& result) {
  PGLib().PQclear(result);
  result = nullptr;
}

void TmncPGConnection::DoNotices(TmncPGNoticeItems&, bool) {}

void TmncPGConnection::FlushNotices(bool committed) {
  if (!FNotices)
    return;
  struct ClearAfter {
    TmncPGNoticeItems& items;
    ~ClearAfter() { items.Clear(); }
  } clear{*FNotices};
  DoNotices(*FNotices, committed);
}

void TmncPGConnection::DirectExecute(const std::string& sql) {
  PPGresult result = PGLib().PQexec(FHandle, sql.c_str());
  try {
    CheckResult(result);
  } catch (...) {
    ClearStatement(result);
    throw;
  }
  ClearStatement(result);
}

bool TmncPGConnection::IsDatabaseExists(const std::string& name) {
  TmncPGLib& lib = PGLib();
  PPGconn handle = nullptr;
  InternalConnect(handle, "postgres");
  struct Finish {
    PPGconn handle;
    ~Finish() { PGLib().PQfinish(handle); }
  } finish{handle};
  PPGresult result = nullptr;
  try {
    const std::string sql = "select 1 from pg_database where datname='" +
                            EscapeLiteralOn(handle, LowerCase(name)) + "'";
    result = lib.PQexec(handle, sql.c_str());
    const bool exists = result != nullptr && lib.PQntuples(result) == 1;
    CheckResult(result);
    ClearStatement(result);
    return exists;
  } catch (...) {
    ClearStatement(result);
    throw;
  }
}

void TmncPGConnection::CreateDatabase(const std::string& name, bool) {
  CloneExecute("postgres", "Create Database \"" + EscapeIdentifier(name) + "\";");
}

void TmncPGConnection::DropDatabase(const std::string& name, bool) {
  CloneExecute("postgres", "drop database if exists \"" + EscapeIdentifier(name) + "\";");
}

void TmncPGConnection::RenameDatabase(const std::string& name, const std::string& to_name) {
  CloneExecute("postgres", "alter database \"" + EscapeIdentifier(name) + "\" rename to \"" +
                               EscapeIdentifier(to_name) + "\"");
}

void TmncPGConnection::TerminateConnections(const std::string& resource) {
  CloneExecute("postgres",
               "select pg_terminate_backend(pid) from pg_stat_activity where datname = '" +
                   EscapeLiteral(resource) + "'");
}

std::string TmncPGConnection::UniqueDBName(const std::string& base) {
  std::string candidate = base;
  for (int n = 1; IsDatabaseExists(candidate); ++n)
    candidate = Format("%s%d", {base, n});
  return candidate;
}

TStrings TmncPGConnection::EnumDatabases() {
  try {
    TStrings names;
    std::unique_ptr<TmncSQLTransaction> transaction = DoCreateTransaction();
    std::unique_ptr<TmncSQLCommand> command =
        transaction->CreateCommand("select datname from pg_database where datistemplate = false");
    if (command->Execute()) {
      do {
        names.push_back(SafeField(command->Field("datname")).AsString());
      } while (command->Next());
    }
    return names;
  } catch (...) {
    return {};
  }
}

bool TmncPGConnection::TestConnected() {
  return FHandle != nullptr && PGLib().PQstatus(FHandle) == CONNECTION_OK;
}

bool TmncPGConnection::TestAlive() {
  if (!TestConnected())
    return false;
  TmncPGLib& lib = PGLib();
  if (lib.PQsendQuery(FHandle, "") == 0)
    return false;
  const int timeout = ConnectTimeout() > 0 ? ConnectTimeout() : 15;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  bool answered = true;
  while (true) {
    while (lib.PQisBusy(FHandle) != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return false;
      pollfd fd{lib.PQsocket(FHandle), POLLIN, 0};
      const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
      if ((ready < 0 && errno != EINTR) || (ready > 0 && lib.PQconsumeInput(FHandle) == 0))
        return false;
    }
    PPGresult result = lib.PQgetResult(FHandle);
    if (result == nullptr)
      break;
    const int status = lib.PQresultStatus(result);
    if (status == PGRES_BAD_RESPONSE_ || status == PGRES_FATAL_ERROR_)
      answered = false;
    lib.PQclear(result);
  }
  return answered && TestConnected();
}

void TmncPGConnection::RecoverConnection() {
  if (FHandle != nullptr) {
    PGLib().PQreset(FHandle);
    // The new backend has a cancel key of its own.
    SetHandle(FHandle);
  }
}

std::vector<TmncNotification> TmncPGConnection::ReceiveNotifications() {
  std::vector<TmncNotification> out;
  if (!Connected())
    return out;
  TmncPGLib& lib = PGLib();
  lib.PQconsumeInput(FHandle);
  for (;;) {
    std::unique_ptr<PGnotify, void (*)(PGnotify*)> entry(lib.PQnotifies(FHandle),
                                                         [](PGnotify* n) { PGLib().PQfreemem(n); });
    if (!entry)
      break;
    out.push_back({PGText(entry->relname), PGText(entry->extra), entry->be_pid});
  }
  return out;
}

void TmncPGConnection::StartListen(const std::string& channel) {
  if (Connected())
    Execute("listen " + IdentifierText(channel) + ";");
}

void TmncPGConnection::StopListen(const std::string& channel) {
  if (Connected())
    Execute("unlisten " + IdentifierText(channel) + ";");
}

Oid TmncPGConnection::loCopy(TmncPGConnection& source, Oid oid) {
  TmncPGLib& lib = PGLib();
  TPGLargeObjectScope source_scope(source);
  std::unique_ptr<TPGLargeObjectScope> target_scope;
  if (&source != this)
    target_scope = std::make_unique<TPGLargeObjectScope>(*this);
  // Open the source first: a missing source creates nothing.
  std::unique_ptr<TPGLargeObject> from;
  if (oid != InvalidOid)
    from = std::make_unique<TPGLargeObject>(source.Handle(), oid, INV_READ_MODE);
  if (!from || !from->IsOpen())
    return 0;
  const Oid created = lib.lo_creat(FHandle, INV_READ_WRITE_MODE);
  if (created == InvalidOid)
    return 0;
  {
    TPGLargeObject to(FHandle, created, INV_READ_WRITE_MODE);
    if (!to.IsOpen())
      throw LibraryError(FHandle);
    CopyLargeObject(source.Handle(), *from, FHandle, to);
  }
  from.reset();
  if (target_scope)
    target_scope->Commit();
  source_scope.Commit();
  return created;
}

bool TmncPGConnection::TryAdvisoryLock(int id) {
  std::unique_ptr<TmncSQLTransaction> transaction = DoCreateTransaction();
  std::unique_ptr<TmncSQLCommand> command =
      transaction->CreateCommand(Format("select pg_try_advisory_lock(%d)", {id}));
  return command->Execute() && command->FieldItem(0)->AsBoolean();
}

bool TmncPGConnection::AdvisoryUnlock(int id) {
  std::unique_ptr<TmncSQLTransaction> transaction = DoCreateTransaction();
  std::unique_ptr<TmncSQLCommand> command =
      transaction->CreateCommand(Format("select pg_advisory_unlock(%d)", {id}));
  return command->Execute() && command->FieldItem(0)->AsBoolean();
}

void TmncPGConnection::TRExecute(const std::function<void(TmncPGTransaction&)>& proc, bool start) {
  std::unique_ptr<TmncSQLTransaction> created = DoCreateTransaction();
  auto& transaction = static_cast<TmncPGTransaction&>(*created);
  if (start)
    transaction.TRExecute([&] { proc(transaction); });
  else
    proc(transaction);
}

// ---- TFreeStatementPool ----

TFreeStatementPool::TFreeStatementPool(PPGresult statement) : TPoolObject("PGStatment") {
  Settings()["Statement"] = std::to_string(reinterpret_cast<std::uintptr_t>(statement));
}

void TFreeStatementPool::DoWork() {
  const std::string& text = Settings()["Statement"];
  std::uintptr_t address = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), address);
  if (error != std::errc() || end != text.data() + text.size() || address == 0)
    return;
  PGLib().PQclear(reinterpret_cast<PPGresult>(address));
}

// ---- TprmPGConnection ----

TprmPGConnection::TprmPGConnection() {
  SetClientEncoding("UNICODE");
  SetByteaOutput("escape");
  SetDateStyle("iso, mdy");
}

TprmPGConnection::~TprmPGConnection() {
  BeforeDestruction();
}

std::unique_ptr<TmncSQLTransaction> TprmPGConnection::DoCreateTransaction() {
  return std::make_unique<TprmPGTransaction>(this);
}

std::unique_ptr<TmncSQLConnection> TprmPGConnection::CreateSameClass() const {
  return std::make_unique<TprmPGConnection>();
}

void TprmPGConnection::DoClearStatement(PPGresult& result) {
  PPGresult taken = result;
  result = nullptr;
  if (taken == nullptr)
    return;
  // Freeing a large result takes long enough to delay the reply, so the pool thread does it;
  // a small one is freed here, cheaper than waking another thread.
  TmncPGLib& lib = PGLib();
  const std::int64_t values =
      static_cast<std::int64_t>(lib.PQntuples(taken)) * std::max(1, lib.PQnfields(taken));
  if (values < kPoolFreeValues)
    lib.PQclear(taken);
  else
    PostPoolObject<TFreeStatementPool>(taken);
}

void TprmPGConnection::SetVariable(const std::string& name, const std::string& value) {
  if (!IsPlainIdentifier(name))
    throw EprmException("Invalid variable name: " + name);
  Execute(Format("set globals.%s = '%s';", {name, EscapeLiteral(value)}));
}

Oid TprmPGConnection::loCopy(Oid oid) {
  return TmncPGConnection::loCopy(*this, oid);
}

std::int64_t TprmPGConnection::loExport(Oid oid, IByteSink& stream) {
  if (oid == InvalidOid)
    return 0;
  TPGLargeObjectScope scope(*this);
  std::int64_t total = 0;
  {
    TPGLargeObject object(Handle(), oid, INV_READ_MODE);
    if (!object.IsOpen())
      return -1;
    TmncPGLib& lib = PGLib();
    std::array<char, kLargeObjectChunk> buffer;
    for (;;) {
      const int n = lib.lo_read(Handle(), object.Fd(), buffer.data(), buffer.size());
      if (n < 0)
        throw LibraryError(Handle());
      if (n > 0 && stream.Write(buffer.data(), n) != n)
        throw EprmException("Large object export: the stream refused the data");
      total += n;
      if (n < kLargeObjectChunk)
        break;
    }
  }
  scope.Commit();
  return total;
}

std::int64_t TprmPGConnection::loExportFile(Oid oid, const std::string& file_name) {
  std::ofstream file(file_name, std::ios::binary | std::ios::trunc);
  if (!file)
    throw EprmException("Cannot create file \"" + file_name + "\"");
  TFileByteSink sink(file);
  return loExport(oid, sink);
}

Oid TprmPGConnection::loImport(IByteSource& stream, Oid oid) {
  TmncPGLib& lib = PGLib();
  TPGLargeObjectScope scope(*this);
  if (oid != InvalidOid) {
    Execute("select lo_create(" + std::to_string(oid) + ")");
  } else {
    oid = lib.lo_creat(Handle(), INV_READ_WRITE_MODE);
    if (oid == InvalidOid)
      throw LibraryError(Handle());
  }
  {
    TPGLargeObject object(Handle(), oid, INV_WRITE_MODE);
    if (!object.IsOpen())
      throw LibraryError(Handle());
    std::array<char, kLargeObjectChunk> buffer;
    for (;;) {
      const std::int64_t n = stream.Read(buffer.data(), kLargeObjectChunk);
      if (n <= 0)
        break;
      if (lib.lo_write(Handle(), object.Fd(), buffer.data(), static_cast<size_t>(n)) != n)
        throw LibraryError(Handle());
      if (n < kLargeObjectChunk)
        break;
    }
  }
  scope.Commit();
  return oid;
}

Oid TprmPGConnection::loImportFile(const std::string& file_name, Oid oid) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file_name, error))
    return 0;
  std::ifstream file(file_name, std::ios::binary);
  if (!file)
    return 0;
  TFileByteSource source(file);
  return loImport(source, oid);
}

int TprmPGConnection::loUnlink(Oid oid) {
  CheckConnected();
  return PGLib().lo_unlink(Handle(), oid);
}

void TprmPGConnection::LoadSettings(const TmncStringList& params) {
  auto flag = [&](std::string_view name) {
    const std::string value = Trim(params.Values(name));
    return SameText(value, "true") || value == "1";
  };
  SetUseSSL(flag("UseSSL"));
  SetSimpleConnection(flag("SimpleConnection"));
}

// ---- TmncPGTransaction ----

TmncPGTransaction::TmncPGTransaction(TmncPGConnection* connection)
    : TmncSQLTransaction(connection) {}

TmncPGTransaction::~TmncPGTransaction() {
  BeforeDestruction();
}

TmncPGConnection* TmncPGTransaction::Connection() const {
  return dynamic_cast<TmncPGConnection*>(TmncTransaction::Connection());
}

PPGconn TmncPGTransaction::DBHandle() const {
  TmncPGConnection* connection = Connection();
  return connection == nullptr ? nullptr : connection->Handle();
}

void TmncPGTransaction::SetExclusive(bool value) {
  if (value == FExclusive)
    return;
  FExclusive = value;
  if (Active())
    throw EprmException("You can not set Exclusive when session active");
}

void TmncPGTransaction::DoStart() {
  Execute("begin isolation level read committed;");
}

void TmncPGTransaction::DoStop(TmncTransactionAction how, bool retaining) {
  // After an error the server has aborted the transaction and answers COMMIT with a rollback,
  // without an error of its own: that must not reach the caller as a successful commit.
  PPGconn handle = DBHandle();
  const bool aborted = how == sdaCommit && handle != nullptr &&
                       PGLib().PQtransactionStatus(handle) == PQTRANS_INERROR;
  Execute(how == sdaCommit ? "COMMIT" : "ROLLBACK");
  if (TmncPGConnection* connection = Connection())
    connection->FlushNotices(how == sdaCommit && !aborted);
  if (aborted)
    throw EprmException(
        "Postgre command: COMMIT rolled back the transaction, which an earlier error had "
        "aborted");
  // A retaining stop keeps the transaction open: without a new engine transaction the
  // statements after it would run in autocommit and the final stop would end nothing.
  if (retaining)
    DoStart();
}

std::unique_ptr<TmncSQLCommand> TmncPGTransaction::DoCreateCommand() {
  return std::make_unique<TmncPGCommand>(this);
}

void TmncPGTransaction::TRExecute(const std::function<void()>& proc) {
  TLogTick tick([] { return std::string("TRExecute"); });
  try {
    Start();
    proc();
    if (Active())
      Commit();
  } catch (...) {
    try {
      if (Active())
        Rollback();
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
}

std::string TmncPGTransaction::ShowValue(const std::string& name) {
  std::unique_ptr<TmncSQLCommand> command = CreateCommand("show " + name);
  if (!command->Execute())
    return std::string();
  return command->FieldItem(0)->AsString();
}

std::string TmncPGTransaction::ServerEncoding() {
  return ShowValue("Server_Encoding");
}

std::string TmncPGTransaction::ClientEncoding() {
  return ShowValue("Client_Encoding");
}

std::int64_t TmncPGTransaction::CountTable(const std::string& name) {
  std::unique_ptr<TmncSQLCommand> command =
      CreateCommand("select count(*) from " + TableNameText(name));
  if (!command->Execute())
    return 0;
  return command->FieldItem(0)->AsInt64();
}

TprmPGTransaction::~TprmPGTransaction() {
  BeforeDestruction();
}

std::unique_ptr<TmncSQLCommand> TprmPGTransaction::DoCreateCommand() {
  return std::make_unique<TprmPGCommand>(this);
}

}  // namespace qm
