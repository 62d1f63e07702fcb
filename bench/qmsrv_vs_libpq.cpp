// qmsrv_bench: what a request through qmsrv costs next to the direct paths on the same machine.
//
// Through qmsrv means the client library: "ExecuteSQL" on an open session, reply received and
// result block decoded into rows. The direct paths are libpq on its own connection to the same
// PostgreSQL server, the same SQLite query run in this process through the database layer, and
// PgBouncer (transaction mode) in front of the same PostgreSQL.
//   (a) small PostgreSQL query, repeated, qmsrv and libpq alternating call by call;
//   (b) small SQLite query, qmsrv against in-process;
//   (c) a large result (1,000,000 rows by default), fetched whole and every value read, at the
//       default block level and (with --qmsrv-port-level1) at level 1, with qmsrv's peak extra
//       memory during the first fetch (with --qmsrv-pid);
//   (d) throughput of 1, 8 and 64 clients, each on its own connection: qmsrv, libpq, PgBouncer;
//   (e) qmsrv's CPU time per small request (with --qmsrv-pid);
//   (w) the large fetch of (c) again, for a run across a slow link (scripts/bench.sh runs this
//       part alone inside a network namespace behind a shaped veth pair), as "wan_" figures.
// It ends with one line per figure, "figure NAME VALUE", for scripts.
//
// The PostgreSQL connection values come from QM_TEST_PG_HOST, QM_TEST_PG_PORT, QM_TEST_PG_USER,
// QM_TEST_PG_PASSWORD and QM_TEST_PG_DATABASE (as scripts/test-servers.sh writes them); qmsrv
// reaches the same server through its own "PGHost" and the session's "Port".

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "client/db_client.h"
#include "client/result_set.h"
#include "db/sqlite/sqlite_connection.h"

namespace qm::bench {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: qmsrv_bench --qmsrv-port N [--qmsrv-host H] [--qmsrv-pid PID]\n"
    "                   [--qmsrv-port-level1 N] [--pgbouncer-port N] [--sqlite-file F]\n"
    "                   [--calls N] [--rows N] [--fetches N] [--seconds N] [--parts abcdw]\n"
    "  PostgreSQL: QM_TEST_PG_HOST, QM_TEST_PG_PORT, QM_TEST_PG_USER, QM_TEST_PG_PASSWORD,\n"
    "  QM_TEST_PG_DATABASE\n";

struct Options {
  std::string QmsrvHost = "127.0.0.1";
  std::string QmsrvPort;
  std::string QmsrvPortLevel1;  // a second qmsrv with CompressionLevel=1
  int QmsrvPid = 0;             // for memory and CPU figures
  std::string PgBouncerPort;
  std::string SQLiteFile = "/tmp/qmsrv_bench.sqlite";
  std::string PGHost;
  std::string PGPort;
  std::string PGUser;
  std::string PGPassword;
  std::string PGDatabase;
  int Calls = 2000;            // small-query calls per side
  int Rows = 1000000;          // rows of the large result
  int Fetches = 5;             // large fetches per side
  int Seconds = 3;             // per throughput point
  std::string Parts = "abcd";  // the measurements to run ("w" only when asked)
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  o.QmsrvPort = Env("QM_BENCH_QMSRV_PORT");
  o.PGHost = Env("QM_TEST_PG_HOST", "127.0.0.1");
  o.PGPort = Env("QM_TEST_PG_PORT", "5432");
  o.PGUser = Env("QM_TEST_PG_USER");
  o.PGPassword = Env("QM_TEST_PG_PASSWORD");
  o.PGDatabase = Env("QM_TEST_PG_DATABASE");
  ReadOptions(argc, argv, 1, [&o](const std::string& name, const std::string& value) {
    if (name == "--qmsrv-host") {
      o.QmsrvHost = value;
    } else if (name == "--qmsrv-port") {
      o.QmsrvPort = value;
    } else if (name == "--qmsrv-port-level1") {
      o.QmsrvPortLevel1 = value;
    } else if (name == "--qmsrv-pid") {
      o.QmsrvPid = PositiveInt(name, value);
    } else if (name == "--pgbouncer-port") {
      o.PgBouncerPort = value;
    } else if (name == "--sqlite-file") {
      o.SQLiteFile = value;
    } else if (name == "--calls") {
      o.Calls = PositiveInt(name, value);
    } else if (name == "--rows") {
      o.Rows = PositiveInt(name, value);
    } else if (name == "--fetches") {
      o.Fetches = PositiveInt(name, value);
    } else if (name == "--seconds") {
      o.Seconds = PositiveInt(name, value);
    } else if (name == "--parts") {
      if (value.empty() || value.find_first_not_of("abcdw") != std::string::npos) {
        throw UsageError("--parts takes letters of \"abcdw\", not \"" + value + "\"");
      }
      o.Parts = value;
    } else {
      return false;
    }
    return true;
  });
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

PGconnPtr ConnectDirect(const Options& o, const std::string& Port) {
  const char* keys[] = {"host", "port", "user", "password", "dbname", "application_name", nullptr};
  const char* values[] = {
      o.PGHost.c_str(),     Port.c_str(),        o.PGUser.c_str(), o.PGPassword.c_str(),
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

std::unique_ptr<TqmDBClient> OpenQmsrv(const Options& o, const std::string& Port,
                                       const TqmSessionParams& Session) {
  auto client = std::make_unique<TqmDBClient>(o.QmsrvHost, Port);
  client->Open();
  client->Connect(Session);
  return client;
}

TqmSessionParams PGSession(const Options& o) {
  return {"PostgreSQL", o.PGDatabase, o.PGPort, o.PGUser, o.PGPassword, "qmsrv_bench"};
}

// --- the qmsrv process ---

// Sum of the CPU time of qmsrv's threads, in seconds (scheduler statistics, nanoseconds).
double ServerCpuSeconds(int Pid) {
  double total = 0;
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(Pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    double ns = 0;
    if (in >> ns) {
      total += ns / 1e9;
    }
  }
  return total;
}

// A "Vm..." line of /proc/PID/status in MiB.
double StatusMiB(int Pid, const std::string& Key) {
  return static_cast<double>(std::max(0L, ProcStatus(Pid, Key))) / 1024.0;
}

// Starts the peak resident size over from the current one.
bool ResetPeak(int Pid) {
  std::ofstream out("/proc/" + std::to_string(Pid) + "/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
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
  std::printf("  %-36s %10.3f %2s %10.3f %2s %10.3f %2s\n", Label, S.Median * Scale, Unit,
              S.Mean * Scale, Unit, S.Min * Scale, Unit);
}

void PrintRatio(const char* Label, const Summary& Qmsrv, const Summary& Direct) {
  std::printf("  %-36s %10.2f  x %10.2f  x %10.2f  x\n", Label, Qmsrv.Median / Direct.Median,
              Qmsrv.Mean / Direct.Mean, Qmsrv.Min / Direct.Min);
}

void PrintHeading() {
  std::printf("  %-36s %13s %13s %13s\n", "", "median", "mean", "min");
}

struct Figure {
  std::string Name;
  double Value;
};
std::vector<Figure> g_figures;

void AddFigure(const std::string& Name, double Value) {
  g_figures.push_back({Name, Value});
}

// --- measurements ---

// Times two ways of doing one call, alternating, after a warm-up.
struct Comparison {
  Summary First;
  Summary Second;
};

Comparison Alternate(int Calls, const std::function<void()>& First,
                     const std::function<void()>& Second) {
  const int warmup = std::max(20, Calls / 20);
  for (int i = 0; i < warmup; ++i) {
    First();
    Second();
  }
  std::vector<double> first_times;
  std::vector<double> second_times;
  first_times.reserve(Calls);
  second_times.reserve(Calls);
  for (int i = 0; i < Calls; ++i) {
    Clock::time_point start = Clock::now();
    First();
    first_times.push_back(SecondsSince(start));
    start = Clock::now();
    Second();
    second_times.push_back(SecondsSince(start));
  }
  return {Summarize(first_times), Summarize(second_times)};
}

void ExpectOne(const TqmResultSet& Result, const char* Side) {
  if (Result.Rows.size() != 1 || Result.Rows[0].size() != 1 || Result.Rows[0][0] != "1") {
    throw std::runtime_error(std::string(Side) + ": unexpected answer to select 1");
  }
}

Comparison SmallPG(const Options& o, TqmDBClient& Client, PGconn* Direct) {
  const std::string sql = "select 1";
  auto through_qmsrv = [&] { ExpectOne(Client.ExecuteSQL(sql), "qmsrv"); };
  auto through_libpq = [&] {
    PGresultPtr result = CheckTuples(
        Direct, PQexecParams(Direct, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
    if (PQntuples(result.get()) != 1 || std::strcmp(PQgetvalue(result.get(), 0, 0), "1") != 0) {
      throw std::runtime_error("libpq: unexpected answer to " + sql);
    }
  };
  const double cpu_before = o.QmsrvPid > 0 ? ServerCpuSeconds(o.QmsrvPid) : 0;
  const Comparison c = Alternate(o.Calls, through_qmsrv, through_libpq);
  const double cpu = o.QmsrvPid > 0 ? ServerCpuSeconds(o.QmsrvPid) - cpu_before : 0;
  const int warmup = std::max(20, o.Calls / 20);

  std::printf("\n(a) PostgreSQL \"%s\": %d calls per side, alternating\n", sql.c_str(), o.Calls);
  PrintHeading();
  PrintRow("qmsrv  ExecuteSQL (client library)", c.First, 1e6, "us");
  PrintRow("libpq  PQexecParams + PQgetvalue", c.Second, 1e6, "us");
  PrintRatio("ratio qmsrv / libpq", c.First, c.Second);
  AddFigure("pg_small_ratio", c.First.Median / c.Second.Median);
  if (o.QmsrvPid > 0) {
    const double per_call = cpu / (o.Calls + warmup) * 1e6;
    std::printf("  qmsrv CPU time per request: %.1f us (all its threads)\n", per_call);
    AddFigure("server_cpu_us_small", per_call);
  }
  return c;
}

void SmallSQLite(const Options& o) {
  const std::string sql = "select 1";
  std::filesystem::remove(o.SQLiteFile);
  TqmSessionParams session{"SQLite", o.SQLiteFile, "", "", "", "qmsrv_bench"};
  std::unique_ptr<TqmDBClient> client = OpenQmsrv(o, o.QmsrvPort, session);

  TprmSQLiteConnection local;
  local.SetResource(o.SQLiteFile + ".local");
  local.Connect();
  std::unique_ptr<TmncSQLTransaction> transaction = local.CreateTransaction();
  auto in_process = [&] {
    std::unique_ptr<TmncSQLCommand> command = transaction->CreateCommand(sql);
    if (!command->Execute() || command->Fields()->Items(0)->AsNullString() != "1") {
      throw std::runtime_error("SQLite in-process: unexpected answer to " + sql);
    }
  };
  auto through_qmsrv = [&] { ExpectOne(client->ExecuteSQL(sql), "qmsrv SQLite"); };
  const Comparison c = Alternate(o.Calls, through_qmsrv, in_process);
  client->Disconnect();
  local.Disconnect();

  std::printf("\n(b) SQLite \"%s\": %d calls per side, alternating\n", sql.c_str(), o.Calls);
  PrintHeading();
  PrintRow("qmsrv  ExecuteSQL (client library)", c.First, 1e6, "us");
  PrintRow("in-process command, value read", c.Second, 1e6, "us");
  PrintRatio("ratio qmsrv / in-process", c.First, c.Second);
  AddFigure("sqlite_small_rps", 1.0 / c.First.Mean);
  AddFigure("sqlite_small_ratio", c.First.Median / c.Second.Median);
}

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
  for (const TqmRowView& row : Result.Rows) {
    for (const TqmValueView& value : row) {
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

// A large fetch through qmsrv (on Port) against libpq; prints and returns the median ratio.
// With Memory, the first fetch also measures qmsrv's peak extra memory.
double LargeFetch(const Options& o, const std::string& Port, PGconn* Direct, const char* Title,
                  bool Memory) {
  std::unique_ptr<TqmDBClient> client = OpenQmsrv(o, Port, PGSession(o));
  const std::string sql =
      "select g, 'row ' || g from generate_series(1," + std::to_string(o.Rows) + ") g";
  const std::vector<TqmRequestHeader> headers = ExecuteHeaders(*client, sql);

  Digest expected;
  double block_mib = 0;
  // One fetch through qmsrv: the reply received in full, then its block decoded into rows.
  // The rows are freed after the clock stops, like the libpq result below.
  auto through_qmsrv = [&](double& Receive, double& Total) {
    const Clock::time_point start = Clock::now();
    std::unique_ptr<TStreamData> reply = client->Call("ExecuteSQL", headers);
    Receive = SecondsSince(start);
    TqmResultSet result = DecodeResult(*reply);
    Total = SecondsSince(start);
    block_mib = static_cast<double>(reply->Buffer().Count()) / (1024.0 * 1024.0);
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
  // The first fetch through this qmsrv shows its peak memory: later ones would start from
  // what the allocator kept.
  double extra_mib = -1;
  if (Memory && o.QmsrvPid > 0 && ResetPeak(o.QmsrvPid)) {
    const double before = StatusMiB(o.QmsrvPid, "VmRSS");
    check(through_qmsrv(first, second), "qmsrv");
    extra_mib = StatusMiB(o.QmsrvPid, "VmHWM") - before;
  } else {
    check(through_qmsrv(first, second), "qmsrv");
  }

  std::vector<double> qmsrv_total, qmsrv_receive, libpq_total, libpq_exec;
  for (int i = 0; i < o.Fetches; ++i) {
    check(through_qmsrv(first, second), "qmsrv");
    qmsrv_receive.push_back(first);
    qmsrv_total.push_back(second);
    check(through_libpq(first, second), "libpq");
    libpq_exec.push_back(first);
    libpq_total.push_back(second);
  }
  client->Disconnect();
  const Summary qmsrv = Summarize(qmsrv_total);
  const Summary libpq = Summarize(libpq_total);

  std::printf(
      "\n%s fetch %d rows x 2 columns (%.1f MB of values, block %.2f MiB): %d fetches per side, "
      "alternating\n    \"%s\"\n",
      Title, o.Rows, static_cast<double>(expected.Bytes) / 1e6, block_mib, o.Fetches, sql.c_str());
  PrintHeading();
  PrintRow("qmsrv  ExecuteSQL, rows decoded", qmsrv, 1e3, "ms");
  PrintRow("         of which reply received", Summarize(qmsrv_receive), 1e3, "ms");
  PrintRow("libpq  PQexec, every PQgetvalue", libpq, 1e3, "ms");
  PrintRow("         of which PQexec", Summarize(libpq_exec), 1e3, "ms");
  PrintRatio("ratio qmsrv / libpq", qmsrv, libpq);
  if (extra_mib >= 0) {
    std::printf("  qmsrv peak extra memory during the first fetch: %.1f MiB\n", extra_mib);
    AddFigure("fetch_peak_extra_mib", extra_mib);
    AddFigure("fetch_block_mib", block_mib);
  }
  return qmsrv.Median / libpq.Median;
}

// Small queries from Clients threads for Seconds, each thread on its own connection made by
// Open; returns requests per second of them all.
double Throughput(int Clients, int Seconds, const std::function<std::function<void()>()>& Open) {
  std::vector<std::function<void()>> calls;
  for (int i = 0; i < Clients; ++i) {
    calls.push_back(Open());
  }
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> done{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (auto& call : calls) {
    threads.emplace_back([&, call] {
      while (!go.load()) {
        std::this_thread::yield();
      }
      std::uint64_t mine = 0;
      try {
        while (!stop.load(std::memory_order_relaxed)) {
          call();
          ++mine;
        }
      } catch (...) {
        ++failures;
      }
      done += mine;
    });
  }
  const Clock::time_point start = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::seconds(Seconds));
  stop = true;
  for (std::thread& t : threads) {
    t.join();
  }
  const double elapsed = SecondsSince(start);
  if (failures > 0) {
    throw std::runtime_error(std::to_string(failures.load()) + " clients failed");
  }
  return static_cast<double>(done.load()) / elapsed;
}

void Concurrency(const Options& o) {
  std::printf("\n(d) throughput of \"select 1\", each client on its own connection, %d s a point\n",
              o.Seconds);
  std::printf("  %-10s %14s %14s %14s %12s\n", "clients", "qmsrv req/s", "libpq req/s", "PgBouncer",
              "qmsrv/PgB");
  for (int clients : {1, 8, 64}) {
    std::vector<std::shared_ptr<TqmDBClient>> qm_clients;
    const double qmsrv = Throughput(clients, o.Seconds, [&]() -> std::function<void()> {
      std::shared_ptr<TqmDBClient> client = OpenQmsrv(o, o.QmsrvPort, PGSession(o));
      qm_clients.push_back(client);
      return [client] { ExpectOne(client->ExecuteSQL("select 1"), "qmsrv"); };
    });
    for (auto& client : qm_clients) {
      client->Disconnect();
    }
    qm_clients.clear();
    auto libpq_on = [&](const std::string& Port) {
      return [&o, Port]() -> std::function<void()> {
        std::shared_ptr<PGconn> conn(ConnectDirect(o, Port).release(), PQfinish);
        return [conn] {
          CheckTuples(conn.get(), PQexecParams(conn.get(), "select 1", 0, nullptr, nullptr, nullptr,
                                               nullptr, 0));
        };
      };
    };
    const double direct = Throughput(clients, o.Seconds, libpq_on(o.PGPort));
    double bouncer = 0;
    if (!o.PgBouncerPort.empty()) {
      bouncer = Throughput(clients, o.Seconds, libpq_on(o.PgBouncerPort));
    }
    std::printf("  %-10d %14.0f %14.0f %14.0f %12.2f\n", clients, qmsrv, direct, bouncer,
                bouncer > 0 ? qmsrv / bouncer : 0.0);
    AddFigure("clients" + std::to_string(clients) + "_rps", qmsrv);
    if (clients > 1 && bouncer > 0) {
      AddFigure("clients" + std::to_string(clients) + "_pgbouncer_rps", bouncer);
    }
    std::fflush(stdout);
  }
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

  PGconnPtr direct = ConnectDirect(o, o.PGPort);
  std::unique_ptr<TqmDBClient> client = OpenQmsrv(o, o.QmsrvPort, PGSession(o));
  std::printf("qmsrv_bench: qmsrv %s:%s (pid %d), PostgreSQL %s:%s server %d, libpq %d\n",
              o.QmsrvHost.c_str(), o.QmsrvPort.c_str(), o.QmsrvPid, o.PGHost.c_str(),
              o.PGPort.c_str(), PQserverVersion(direct.get()), PQlibVersion());
  std::fflush(stdout);

  auto part = [&](char Letter) { return o.Parts.find(Letter) != std::string::npos; };
  if (part('a')) {
    SmallPG(o, *client, direct.get());
  }
  client->Disconnect();
  std::fflush(stdout);
  if (part('b')) {
    SmallSQLite(o);
    std::fflush(stdout);
  }
  if (part('c')) {
    AddFigure("pg_fetch_ratio", LargeFetch(o, o.QmsrvPort, direct.get(), "(c)", true));
    std::fflush(stdout);
    if (!o.QmsrvPortLevel1.empty()) {
      AddFigure("pg_fetch_ratio_level1",
                LargeFetch(o, o.QmsrvPortLevel1, direct.get(), "(c) level 1:", false));
      std::fflush(stdout);
    }
  }
  if (part('d')) {
    Concurrency(o);
  }
  if (part('w')) {
    AddFigure("wan_fetch_ratio",
              LargeFetch(o, o.QmsrvPort, direct.get(), "(w) across the link:", false));
    std::fflush(stdout);
    if (!o.QmsrvPortLevel1.empty()) {
      AddFigure("wan_fetch_ratio_level1", LargeFetch(o, o.QmsrvPortLevel1, direct.get(),
                                                     "(w) across the link, level 1:", false));
    }
  }

  std::printf("\n");
  for (const Figure& f : g_figures) {
    std::printf("figure %s %.3f\n", f.Name.c_str(), f.Value);
  }
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
