#include "db/postgres/pg_connection.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "db/db_errors.h"
#include "db/postgres/pg_quoting.h"
#include "db/postgres/pg_transaction.h"
#include "support/format.h"
#include "support/text_utils.h"

namespace qm {

namespace {

// TCP keepalives of every connection: a server that vanishes without a word (host down, cable
// out) is noticed after about a minute of silence instead of never.
constexpr const char* kKeepalivesIdle = "30";
constexpr const char* kKeepalivesInterval = "10";
constexpr const char* kKeepalivesCount = "3";

// Where libpq would otherwise look on its own for credentials of the process (~/.pgpass, the
// client certificate and key under ~/.postgresql): a path that cannot exist, so that a missing
// password or certificate stays missing. /proc/self holds no such file and none can be made.
constexpr const char* kNoFile = "/proc/self/no-such-file";

// How often a waiting connect looks whether it was interrupted.
constexpr std::chrono::milliseconds kInterruptCheck{100};

}  // namespace

// ---- TmncPGConnection ----

TmncPGConnection::TmncPGConnection() {
  PGLib().Load();
}

TmncPGConnection::~TmncPGConnection() {
  BeforeDestruction();
}

std::string TmncPGConnection::ConnectionText(const std::string& database) const {
  const std::string host = FirstNonEmpty({Host(), "127.0.0.1"});
  const std::string port = FirstNonEmpty({Port(), "5432"});
  const std::string db = database.empty() ? Resource() : database;
  const char* sslmode = FUseSSL ? "prefer" : "disable";
  const char* sslcompression = FUseSSL ? "1" : "0";
  // User and password always, with the files that would lend the process's own credentials
  // shut off (see InternalConnect).
  std::string text = "user=" + QuoteConnectionValue(UserName()) +
                     " password=" + QuoteConnectionValue(Password()) + " passfile=" + kNoFile +
                     " sslcert=" + kNoFile + " sslkey=" + kNoFile + " gssencmode=disable ";
  text += "host=" + QuoteConnectionValue(host) + " port=" + QuoteConnectionValue(port) +
          " dbname=" + QuoteConnectionValue(db) + " sslmode=" + sslmode +
          " sslcompression=" + sslcompression +
          " application_name=" + QuoteConnectionValue(FAppName);
  return text;
}

TPGConnOwner TmncPGConnection::InternalConnect(const std::string& database) {
  TmncPGLib& lib = PGLib();
  if (lib.PQsetdbLogin == nullptr)
    throw EprmException("PQsetdbLogin not assigned");
  FInterrupted = false;
  // libpq would take the operating-system account of the server for an empty user name: a
  // client names its own role or gets no connection.
  if (UserName().empty())
    throw EmncConnectFailed("Postgre connection failed\ra user name is required");
  TPGConnOwner handle;
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
                                "passfile",
                                "sslcert",
                                "sslkey",
                                "gssencmode",
                                nullptr};
    // An empty password is passed as none; with the PG* variables gone (cleared at start) and
    // no password file, libpq then has no password of the process to offer. GSS encryption
    // would use the process's Kerberos tickets.
    const char* const values[] = {
        host.c_str(),       port.c_str(), db.c_str(),      UserName().c_str(),
        Password().c_str(), "1",          kKeepalivesIdle, kKeepalivesInterval,
        kKeepalivesCount,   kNoFile,      kNoFile,         kNoFile,
        "disable",          nullptr};
    handle.reset(lib.PQconnectStartParams(keys, values, 0));
  } else {
    const std::string text =
        ConnectionText(database) + " keepalives=1 keepalives_idle=" + kKeepalivesIdle +
        " keepalives_interval=" + kKeepalivesInterval + " keepalives_count=" + kKeepalivesCount;
    handle.reset(lib.PQconnectStart(text.c_str()));
  }
  if (!handle)
    throw EmncConnectFailed("Postgre connection failed\rout of memory");
  if (lib.PQstatus(handle.get()) == CONNECTION_BAD)
    throw EmncConnectFailed("Postgre connection failed\r" +
                            PGText(lib.PQerrorMessage(handle.get())));
  CompleteConnect(handle.get());
  return handle;
}

void TmncPGConnection::CompleteConnect(PPGconn handle) {
  TmncPGLib& lib = PGLib();
  const int timeout = ConnectTimeout();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  // As the library asks: first wait until the socket can be written.
  PostgresPollingStatusType status = PGRES_POLLING_WRITING;
  while (status != PGRES_POLLING_OK) {
    if (status == PGRES_POLLING_FAILED)
      throw EmncConnectFailed("Postgre connection failed\r" + PGText(lib.PQerrorMessage(handle)));
    if (FInterrupted)
      throw EmncConnectFailed("Postgre connection failed\rinterrupted");
    if (status != PGRES_POLLING_READING && status != PGRES_POLLING_WRITING) {
      status = lib.PQconnectPoll(handle);
      continue;
    }
    auto slice = kInterruptCheck;
    if (timeout > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        throw EmncConnectFailed(
            "Postgre connection failed\rno answer from " + FirstNonEmpty({Host(), "127.0.0.1"}) +
            ":" + FirstNonEmpty({Port(), "5432"}) + " within " + std::to_string(timeout) + " s");
      slice = std::min(slice, left);
    }
    pollfd fd{lib.PQsocket(handle),
              static_cast<short>(status == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(slice.count()));
    if (ready < 0 && errno != EINTR)
      throw EmncConnectFailed("Postgre connection failed\r" + std::string(std::strerror(errno)));
    if (ready > 0)
      status = lib.PQconnectPoll(handle);
  }
}

TPGConnOwner TmncPGConnection::ExchangeHandle(TPGConnOwner handle) {
  // The cancel key replaced is freed when this returns, after the lock is released.
  TPGCancelOwner cancel(handle ? PGLib().PQgetCancel(handle.get()) : nullptr);
  TLockGuard lock(FInterruptLock);
  FCancel.swap(cancel);
  FHandle.swap(handle);
  return handle;
}

void TmncPGConnection::RenewCancelKey() {
  TPGCancelOwner cancel(FHandle ? PGLib().PQgetCancel(FHandle.get()) : nullptr);
  TLockGuard lock(FInterruptLock);
  FCancel.swap(cancel);
}

void TmncPGConnection::Interrupt() {
  TmncPGLib& lib = PGLib();
  TLockGuard lock(FInterruptLock);
  FInterrupted = true;
  // Only a statement under way: a cancel request costs the server a connection of its own.
  if (FHandle && FCancel && lib.PQtransactionStatus(FHandle.get()) == PQTRANS_ACTIVE) {
    std::array<char, 256> error{};
    lib.PQcancel(FCancel.get(), error.data(), static_cast<int>(error.size()));
  }
}

void TmncPGConnection::DoConnect() {
  if (FNotices)
    FNotices->Clear();
  TPGConnOwner handle = InternalConnect(std::string());
  PGLib().PQsetNoticeProcessor(handle.get(), &TmncPGConnection::NoticeProcessor, this);
  ExchangeHandle(std::move(handle));
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
  // The handle given back is finished here, after the interrupt lock is released.
  ExchangeHandle(TPGConnOwner());
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
  return EscapeLiteralOn(Handle(), value);
}

void TmncPGConnection::DirectExecute(const std::string& sql) {
  PPGresult result = PGLib().PQexec(Handle(), sql.c_str());
  try {
    CheckResult(result);
  } catch (...) {
    ClearStatement(result);
    throw;
  }
  ClearStatement(result);
}

bool TmncPGConnection::TestConnected() {
  return FHandle && PGLib().PQstatus(Handle()) == CONNECTION_OK;
}

bool TmncPGConnection::TestAlive() {
  if (!TestConnected())
    return false;
  TmncPGLib& lib = PGLib();
  if (lib.PQsendQuery(Handle(), "") == 0)
    return false;
  const int timeout = ConnectTimeout() > 0 ? ConnectTimeout() : 15;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  bool answered = true;
  while (true) {
    while (lib.PQisBusy(Handle()) != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return false;
      pollfd fd{lib.PQsocket(Handle()), POLLIN, 0};
      const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
      if ((ready < 0 && errno != EINTR) || (ready > 0 && lib.PQconsumeInput(Handle()) == 0))
        return false;
    }
    const TPGResultOwner result(lib.PQgetResult(Handle()));
    if (!result)
      break;
    const int status = lib.PQresultStatus(result.get());
    if (status == PGRES_BAD_RESPONSE_ || status == PGRES_FATAL_ERROR_)
      answered = false;
  }
  return answered && TestConnected();
}

void TmncPGConnection::RecoverConnection() {
  if (Handle()) {
    PGLib().PQreset(FHandle.get());
    // The new backend has a cancel key of its own.
    RenewCancelKey();
  }
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

void TprmPGConnection::SetVariable(const std::string& name, const std::string& value) {
  if (!IsPlainIdentifier(name))
    throw EprmException("Invalid variable name: " + name);
  Execute(Format("set globals.%s = '%s';", {name, EscapeLiteral(value)}));
}

void TprmPGConnection::LoadSettings(const TmncStringList& params) {
  auto flag = [&](std::string_view name) {
    const std::string value = Trim(params.Values(name));
    return SameText(value, "true") || value == "1";
  };
  SetUseSSL(flag("UseSSL"));
  SetSimpleConnection(flag("SimpleConnection"));
}

}  // namespace qm
