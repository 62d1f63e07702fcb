// qmsrv_bench: what a round trip through qmsrv costs next to libpq on a direct connection.
//
// Two measurements, each run through qmsrv (the client library: "ExecuteSQL" on an open
// PostgreSQL session, reply received and result block decoded into rows) and straight through
// libpq against the same PostgreSQL server:
//   (a) a small query, repeated; median and mean per call;
//   (b) a large result (1,000,000 rows by default), fetched whole and every value read.
// Both sides run alternately, call by call, so drift of the machine hits both alike. The ratio
// printed is qmsrv time / libpq time.
//
// The PostgreSQL connection values come from QM_TEST_PG_HOST, QM_TEST_PG_PORT, QM_TEST_PG_USER,
// QM_TEST_PG_PASSWORD and QM_TEST_PG_DATABASE (as scripts/test-servers.sh writes them); qmsrv
// reaches the same server through its own "PGHost" and the session's "Port".

#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/db_client.h"
#include "client/result_set.h"

namespace qm::bench {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: qmsrv_bench --qmsrv-port N [--qmsrv-host H] [--calls N] [--rows N] [--fetches N]\n"
    "  PostgreSQL: QM_TEST_PG_HOST, QM_TEST_PG_PORT, QM_TEST_PG_USER, QM_TEST_PG_PASSWORD,\n"
    "  QM_TEST_PG_DATABASE\n";

struct Options {
  std::string QmsrvHost = "127.0.0.1";
  std::string QmsrvPort;
  std::string PGHost;
  std::string PGPort;
  std::string PGUser;
  std::string PGPassword;
  std::string PGDatabase;
  int Calls = 2000;    // small-query calls per side
  int Rows = 1000000;  // rows of the large result
  int Fetches = 5;     // large fetches per side
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Env(const char* Name, const char* Default = "") {
  const char* value = std::getenv(Name);
  return value != nullptr ? value : Default;
}

int PositiveInt(const std::string& Name, const std::string& Text) {
  char* end = nullptr;
  const long value = std::strtol(Text.c_str(), &end, 10);
  if (Text.empty() || *end != '\0' || value < 1 || value > 100000000) {
    throw UsageError(Name + " needs a positive number, not \"" + Text + "\"");
  }
  return static_cast<int>(value);
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  o.QmsrvPort = Env("QM_BENCH_QMSRV_PORT");
  o.PGHost = Env("QM_TEST_PG_HOST", "127.0.0.1");
  o.PGPort = Env("QM_TEST_PG_PORT", "5432");
  o.PGUser = Env("QM_TEST_PG_USER");
  o.PGPassword = Env("QM_TEST_PG_PASSWORD");
  o.PGDatabase = Env("QM_TEST_PG_DATABASE");
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "-h" || name == "--help") {
      throw UsageError("");
    }
    if (i + 1 >= argc) {
      throw UsageError(name + " needs a value");
    }
    const std::string value = argv[++i];
    if (name == "--qmsrv-host") {
      o.QmsrvHost = value;
    } else if (name == "--qmsrv-port") {
      o.QmsrvPort = value;
    } else if (name == "--calls") {
      o.Calls = PositiveInt(name, value);
    } else if (name == "--rows") {
      o.Rows = PositiveInt(name, value);
    } else if (name == "--fetches") {
      o.Fetches = PositiveInt(name, value);
    } else {
      throw UsageError("unknown option " + name);
    }
  }
  if (o.QmsrvPort.empty()) {
    throw UsageError("--qmsrv-port (or QM_BENCH_QMSRV_PORT) is missing");
  }
  if (o.PGUser.empty() || o.PGDatabase.empty()) {
    throw UsageError("QM_TEST_PG_USER and QM_TEST_PG_DATABASE must be set");
  }
  return o;
}

// --- libpq handles ---

struct PGconnDeleter {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct PGresultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PGconnPtr = std::unique_ptr<PGconn, PGconnDeleter>;
using PGresultPtr = std::unique_ptr<PGresult, PGresultDeleter>;

PGconnPtr ConnectDirect(const Options& o) {
  const char* keys[] = {"host", "port", "user", "password", "dbname", "application_name", nullptr};
  const char* values[] = {
      o.PGHost.c_str(),     o.PGPort.c_str(),    o.PGUser.c_str(), o.PGPassword.c_str(),
      o.PGDatabase.c_str(), "qmsrv_bench libpq", nullptr};
  PGconnPtr conn(PQconnectdbParams(keys, values, 0));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("libpq connect failed: ") +
                             (conn ? PQerrorMessage(conn.get()) : "out of memory"));
  }
  return conn;
}

PGresultPtr CheckTuples(PGconn* Conn, PGresult* Raw) {
  PGresultPtr result(Raw);
  if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    throw std::runtime_error(std::string("libpq query failed: ") + PQerrorMessage(Conn));
  }
  return result;
}

// --- figures ---

struct Summary {
  double Median = 0;
  double Mean = 0;
  double Min = 0;
};

Summary Summarize(std::vector<double> Seconds) {
  Summary s;
  if (Seconds.empty()) {
    return s;
  }
  std::sort(Seconds.begin(), Seconds.end());
  const std::size_t n = Seconds.size();
  s.Median = n % 2 == 1 ? Seconds[n / 2] : (Seconds[n / 2 - 1] + Seconds[n / 2]) / 2;
  s.Mean = std::accumulate(Seconds.begin(), Seconds.end(), 0.0) / static_cast<double>(n);
  s.Min = Seconds.front();
  return s;
}

double SecondsSince(Clock::time_point Start) {
  return std::chrono::duration<double>(Clock::now() - Start).count();
}

// Seconds shown in Unit: Scale 1e6 for microseconds, 1e3 for milliseconds.
void PrintRow(const char* Label, const Summary& S, double Scale, const char* Unit) {
  std::printf("  %-34s %10.3f %2s %10.3f %2s %10.3f %2s\n", Label, S.Median * Scale, Unit,
              S.Mean * Scale, Unit, S.Min * Scale, Unit);
}

void PrintRatio(const Summary& Qmsrv, const Summary& Direct) {
  std::printf("  %-34s %10.2f  x %10.2f  x %10.2f  x\n", "ratio qmsrv / libpq",
              Qmsrv.Median / Direct.Median, Qmsrv.Mean / Direct.Mean, Qmsrv.Min / Direct.Min);
}

void PrintHeading() {
  std::printf("  %-34s %13s %13s %13s\n", "", "median", "mean", "min");
}

// --- the two sides ---

// The headers of an "ExecuteSQL" in the session's default transaction, as the client library
// sends them; calling it through Call() lets the bench time receiving and decoding apart.
std::vector<TqmRequestHeader> ExecuteHeaders(const TqmDBClient& Client, const std::string& SQL) {
  return {{"Database", "ServerID", Client.ServerID()},
          {"Database", "Handle", static_cast<std::int32_t>(Client.Handle())},
          {"Database", "TRHandle", std::int32_t{0}},
          {"Database", "SQL", SQL}};
}

// Sum of value lengths and count of values: the same figures from either side show that both
// fetched the same result.
struct Digest {
  std::uint64_t Rows = 0;
  std::uint64_t Values = 0;
  std::uint64_t Bytes = 0;
  bool operator==(const Digest&) const = default;
};

Digest DigestOf(const TqmResultSet& Result) {
  Digest d;
  d.Rows = Result.Rows.size();
  for (const TqmRow& row : Result.Rows) {
    for (const TqmValue& value : row) {
      ++d.Values;
      d.Bytes += value ? value->size() : 0;
    }
  }
  return d;
}

// Reads every value of a libpq result the way a caller does: the pointer and the length of each.
Digest ReadAll(const PGresult* Result) {
  Digest d;
  const int rows = PQntuples(Result);
  const int columns = PQnfields(Result);
  std::uint64_t touched = 0;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      const char* value = PQgetvalue(Result, r, c);
      touched += static_cast<unsigned char>(value[0]);
      d.Bytes +=
          PQgetisnull(Result, r, c) ? 0 : static_cast<std::uint64_t>(PQgetlength(Result, r, c));
      ++d.Values;
    }
  }
  d.Rows = static_cast<std::uint64_t>(rows);
  // Keeps the loads of the first bytes from being optimised away.
  volatile std::uint64_t sink = touched;
  (void)sink;
  return d;
}

struct Comparison {
  Summary Qmsrv;
  Summary Libpq;
};

Comparison SmallQuery(const Options& o, TqmDBClient& Client, PGconn* Direct) {
  const std::string sql = "select 1";
  const int warmup = std::max(20, o.Calls / 20);
  auto through_qmsrv = [&] {
    TqmResultSet result = Client.ExecuteSQL(sql);
    if (result.Rows.size() != 1 || result.Rows[0].size() != 1 || result.Rows[0][0] != "1") {
      throw std::runtime_error("qmsrv: unexpected answer to " + sql);
    }
  };
  auto through_libpq = [&] {
    PGresultPtr result = CheckTuples(
        Direct, PQexecParams(Direct, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
    if (PQntuples(result.get()) != 1 || std::strcmp(PQgetvalue(result.get(), 0, 0), "1") != 0) {
      throw std::runtime_error("libpq: unexpected answer to " + sql);
    }
  };
  for (int i = 0; i < warmup; ++i) {
    through_qmsrv();
    through_libpq();
  }
  std::vector<double> qmsrv_times;
  std::vector<double> libpq_times;
  qmsrv_times.reserve(o.Calls);
  libpq_times.reserve(o.Calls);
  for (int i = 0; i < o.Calls; ++i) {
    Clock::time_point start = Clock::now();
    through_qmsrv();
    qmsrv_times.push_back(SecondsSince(start));
    start = Clock::now();
    through_libpq();
    libpq_times.push_back(SecondsSince(start));
  }
  const Summary qmsrv = Summarize(qmsrv_times);
  const Summary libpq = Summarize(libpq_times);

  std::printf("\n(a) small query \"%s\": %d calls per side, alternating (after %d warm-up calls)\n",
              sql.c_str(), o.Calls, warmup);
  PrintHeading();
  PrintRow("qmsrv  ExecuteSQL (client library)", qmsrv, 1e6, "us");
  PrintRow("libpq  PQexecParams + PQgetvalue", libpq, 1e6, "us");
  PrintRatio(qmsrv, libpq);
  return {qmsrv, libpq};
}

Comparison LargeFetch(const Options& o, TqmDBClient& Client, PGconn* Direct) {
  const std::string sql =
      "select g, 'row ' || g from generate_series(1," + std::to_string(o.Rows) + ") g";
  const std::vector<TqmRequestHeader> headers = ExecuteHeaders(Client, sql);

  Digest expected;
  // One fetch through qmsrv: the reply received in full, then its block decoded into rows.
  // The rows are freed after the clock stops, like the libpq result below.
  auto through_qmsrv = [&](double& Receive, double& Total) {
    const Clock::time_point start = Clock::now();
    std::unique_ptr<TStreamData> reply = Client.Call("ExecuteSQL", headers);
    Receive = SecondsSince(start);
    TqmResultSet result = DecodeResult(*reply);
    Total = SecondsSince(start);
    return DigestOf(result);
  };
  auto through_libpq = [&](double& Exec, double& Total) {
    const Clock::time_point start = Clock::now();
    PGresultPtr result = CheckTuples(Direct, PQexec(Direct, sql.c_str()));
    Exec = SecondsSince(start);
    Digest d = ReadAll(result.get());
    Total = SecondsSince(start);
    return d;
  };
  auto check = [&](const Digest& Got, const char* Side) {
    if (Got.Rows != static_cast<std::uint64_t>(o.Rows) || !(Got == expected)) {
      throw std::runtime_error(std::string(Side) + ": result differs (" + std::to_string(Got.Rows) +
                               " rows, " + std::to_string(Got.Bytes) + " value bytes; expected " +
                               std::to_string(expected.Rows) + " rows, " +
                               std::to_string(expected.Bytes) + ")");
    }
  };

  double first = 0;
  double second = 0;
  expected = through_libpq(first, second);
  check(through_qmsrv(first, second), "qmsrv");

  std::vector<double> qmsrv_total, qmsrv_receive, libpq_total, libpq_exec;
  for (int i = 0; i < o.Fetches; ++i) {
    check(through_qmsrv(first, second), "qmsrv");
    qmsrv_receive.push_back(first);
    qmsrv_total.push_back(second);
    check(through_libpq(first, second), "libpq");
    libpq_exec.push_back(first);
    libpq_total.push_back(second);
  }
  const Summary qmsrv = Summarize(qmsrv_total);
  const Summary libpq = Summarize(libpq_total);

  std::printf(
      "\n(b) fetch %d rows x 2 columns (%.1f MB of values): %d fetches per side, alternating "
      "(after 1 warm-up each)\n    \"%s\"\n",
      o.Rows, static_cast<double>(expected.Bytes) / 1e6, o.Fetches, sql.c_str());
  PrintHeading();
  PrintRow("qmsrv  ExecuteSQL, rows decoded", qmsrv, 1e3, "ms");
  PrintRow("         of which reply received", Summarize(qmsrv_receive), 1e3, "ms");
  PrintRow("libpq  PQexec, every PQgetvalue", libpq, 1e3, "ms");
  PrintRow("         of which PQexec", Summarize(libpq_exec), 1e3, "ms");
  PrintRatio(qmsrv, libpq);
  return {qmsrv, libpq};
}

int Run(int argc, char** argv) {
  Options o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    if (*e.what() != '\0') {
      std::fprintf(stderr, "qmsrv_bench: %s\n", e.what());
    }
    std::fputs(kUsage, stderr);
    return 2;
  }

  PGconnPtr direct = ConnectDirect(o);
  TqmDBClient client(o.QmsrvHost, o.QmsrvPort);
  client.Open();
  client.Connect({"PostgreSQL", o.PGDatabase, o.PGPort, o.PGUser, o.PGPassword, "qmsrv_bench"});

  std::printf("qmsrv_bench: qmsrv %s:%s (session %u), PostgreSQL %s:%s server %d, libpq %d\n",
              o.QmsrvHost.c_str(), o.QmsrvPort.c_str(), client.Handle(), o.PGHost.c_str(),
              o.PGPort.c_str(), PQserverVersion(direct.get()), PQlibVersion());
  std::fflush(stdout);

  const Comparison small = SmallQuery(o, client, direct.get());
  std::fflush(stdout);
  const Comparison large = LargeFetch(o, client, direct.get());
  client.Disconnect();

  char fetch_label[64];
  std::snprintf(fetch_label, sizeof fetch_label, "%d-row fetch", o.Rows);
  std::printf("\nRatios, qmsrv time / libpq time (medians):\n");
  std::printf("  %-24s %7.2fx   (qmsrv %9.1f us, libpq %9.1f us per call)\n",
              "small query round trip", small.Qmsrv.Median / small.Libpq.Median,
              small.Qmsrv.Median * 1e6, small.Libpq.Median * 1e6);
  std::printf("  %-24s %7.2fx   (qmsrv %9.3f s,  libpq %9.3f s per fetch)\n", fetch_label,
              large.Qmsrv.Median / large.Libpq.Median, large.Qmsrv.Median, large.Libpq.Median);
  return 0;
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
  try {
    return qm::bench::Run(argc, argv);
  } catch (const qm::Exception& e) {
    std::fprintf(stderr, "qmsrv_bench: %s\n", e.Message().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmsrv_bench: %s\n", e.what());
  }
  return 1;
}
