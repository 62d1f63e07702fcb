// qmsrv_load: load and faults against a running qmsrv, one scenario per run, figures on stdout
// as "name: value" lines (scripts/load.sh starts what it needs and runs them all).
//
//   inserts         many clients, each its own PostgreSQL session, counted inserts; the rows
//                   are counted back straight through libpq.
//   idle            many connections that only say hello and stay open; meanwhile the time of
//                   a "Status" request, and the server's threads and memory.
//   no-reader       a client asks for a large result and then never reads (a stopped child
//                   process): the server's memory, and how long it keeps the thread.
//   pg-restart      a session, a restart of its PostgreSQL server (--restart-cmd), "Reconnect"
//                   with no failed request before it, then a query.
//   silent-connect  "Connect" to a port that accepts but never answers; then SIGTERM to qmsrv.
//   sigterm         long statements and counted inserts in flight, then SIGTERM to qmsrv: how
//                   long the stop takes and whether every answered insert is in the table.
//   guessing        --clients connections from 127.0.0.1 guess the server's password for
//                   --seconds, each going on to the next 100 ms after its header line; a
//                   compared guess is answered only after the server's pause, a refused one
//                   at once. Meanwhile a client from 127.0.0.2 with the right --password asks
//                   "C" again and again.
//   stale-handle    inserts naming a transaction that is not open (rolled back, dropped by
//                   "Reconnect", never opened): how many were answered OK and committed.
//   abandoned       a client sends a long SQLite count, another a pg_sleep(30), and each closes
//                   its connection: the server's CPU meanwhile, and when the work ends.
//   memory          --clients connections (5,000), each with a SQLite session after one small
//                   query: the server's memory before, with them, and after they left.
//   descriptors     clients with a SQLite file each until the server runs out of descriptors
//                   (run it under a low "ulimit -n"): how each client beyond that is answered.
//
// SQLite files go in --dir (default /tmp).
// qmsrv: --port N, --pid N (for /proc figures and SIGTERM). PostgreSQL: QM_TEST_PG_HOST,
// QM_TEST_PG_PORT, QM_TEST_PG_USER, QM_TEST_PG_PASSWORD, QM_TEST_PG_DATABASE; qmsrv must reach
// the same server through its "PGHost".

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "client/db_client.h"

namespace qm::load {
namespace {

using bench::Env;
using bench::PositiveInt;
using bench::ProcStatus;
using bench::ReadOptions;
using bench::UsageError;

using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: qmsrv_load inserts|idle|no-reader|pg-restart|silent-connect|sigterm|guessing|\n"
    "                  stale-handle|abandoned|memory|descriptors\n"
    "         --port N [--pid N] [--clients N] [--requests N] [--idle N] [--rows N]\n"
    "         [--wait SECONDS] [--restart-cmd CMD] [--seconds N] [--password P] [--dir DIR]\n";

struct Options {
  std::string Scenario;
  std::string Port;
  pid_t Pid = 0;
  int Clients = 100;
  int Requests = 200;
  int Idle = 1000;
  long Rows = 2000000;
  int Wait = 240;
  std::string RestartCmd;
  int Seconds = 10;
  std::string Password;
  std::string Dir = "/tmp";
};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void Figure(const std::string& name, const std::string& value) {
  std::printf("%s: %s\n", name.c_str(), value.c_str());
  std::fflush(stdout);
}
void Figure(const std::string& name, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.3f", value);
  Figure(name, std::string(text));
}

// Gone or a zombie (the script that started it reaps it only later).
bool ProcessEnded(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(file, stat))
    return true;
  const std::size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

// Seconds until `pid` ends, at most `limit`; -1 when it is still running then.
double WaitForEnd(pid_t pid, int limit) {
  const auto start = Clock::now();
  while (Seconds(Clock::now() - start) < limit) {
    if (ProcessEnded(pid))
      return Seconds(Clock::now() - start);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

TqmSessionParams PgParams(const std::string& app) {
  return {"PostgreSQL",           Env("QM_TEST_PG_DATABASE"), Env("QM_TEST_PG_PORT"),
          Env("QM_TEST_PG_USER"), Env("QM_TEST_PG_PASSWORD"), app};
}

std::unique_ptr<TqmDBClient> OpenClient(const Options& o, int timeout_ms = 120000) {
  auto client = std::make_unique<TqmDBClient>("127.0.0.1", o.Port, timeout_ms);
  client->Open();
  return client;
}

// A libpq connection straight to the test server, for set-up and counting back.
struct Direct {
  PGconn* Conn = nullptr;
  Direct() {
    const std::string text = "host=" + Env("QM_TEST_PG_HOST") + " port=" + Env("QM_TEST_PG_PORT") +
                             " user=" + Env("QM_TEST_PG_USER") +
                             " password=" + Env("QM_TEST_PG_PASSWORD") +
                             " dbname=" + Env("QM_TEST_PG_DATABASE");
    Conn = PQconnectdb(text.c_str());
    if (PQstatus(Conn) != CONNECTION_OK)
      throw std::runtime_error(std::string("libpq: ") + PQerrorMessage(Conn));
  }
  ~Direct() { PQfinish(Conn); }
  std::string Value(const std::string& sql) {
    PGresult* result = PQexec(Conn, sql.c_str());
    std::string value;
    if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0)
      value = PQgetvalue(result, 0, 0);
    else if (PQresultStatus(result) != PGRES_COMMAND_OK)
      value = std::string("error: ") + PQresultErrorMessage(result);
    PQclear(result);
    return value;
  }
};

// Threads that each open a session and insert rows (client, seq) until `requests` are done or
// `stop` is set; returns the inserts the server answered OK.
long RunInserters(const Options& o, const std::string& table, int clients, int requests,
                  std::atomic<bool>& stop, std::atomic<long>& errors) {
  std::atomic<long> ok{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      try {
        auto client = OpenClient(o);
        client->Connect(PgParams("load"));
        for (int i = 0; i < requests && !stop; ++i) {
          try {
            client->ExecuteSQL("insert into " + table + " values (" + std::to_string(c) + ", " +
                               std::to_string(i) + ")");
            ++ok;
          } catch (const EqmServerError&) {
            ++errors;
          }
        }
        client->Disconnect();
      } catch (const std::exception&) {
        ++errors;
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  return ok;
}

std::string FreshTable(Direct& db) {
  const std::string table = "qm_load_" + std::to_string(::getpid());
  db.Value("drop table if exists " + table);
  db.Value("create table " + table + " (client integer, seq integer)");
  return table;
}

int Inserts(const Options& o) {
  Direct db;
  const std::string table = FreshTable(db);
  std::atomic<bool> stop{false};
  std::atomic<long> errors{0};
  const auto start = Clock::now();
  const long ok = RunInserters(o, table, o.Clients, o.Requests, stop, errors);
  const double took = Seconds(Clock::now() - start);
  const long counted = std::atol(db.Value("select count(*) from " + table).c_str());
  Figure("inserts.clients", std::to_string(o.Clients));
  Figure("inserts.answered_ok", std::to_string(ok));
  Figure("inserts.errors", std::to_string(errors.load()));
  Figure("inserts.rows_counted", std::to_string(counted));
  Figure("inserts.lost", std::to_string(ok - counted));
  Figure("inserts.seconds", took);
  Figure("inserts.per_second", ok / took);
  db.Value("drop table " + table);
  return 0;
}

int Idle(const Options& o) {
  std::vector<std::unique_ptr<TqmDBClient>> idle;
  long answered = 0;
  const long threads_before = ProcStatus(o.Pid, "Threads");
  const auto start = Clock::now();
  for (int i = 0; i < o.Idle; ++i) {
    try {
      auto client = OpenClient(o, 10000);
      if (client->Check())
        ++answered;
      idle.push_back(std::move(client));
    } catch (const std::exception&) {
    }
  }
  Figure("idle.connections_asked", std::to_string(o.Idle));
  Figure("idle.answered", std::to_string(answered));
  Figure("idle.open_seconds", Seconds(Clock::now() - start));
  Figure("idle.server_threads_before", std::to_string(threads_before));
  Figure("idle.server_threads", std::to_string(ProcStatus(o.Pid, "Threads")));
  Figure("idle.server_rss_kb", std::to_string(ProcStatus(o.Pid, "VmRSS")));
  // A client that comes now is still served.
  std::vector<double> times;
  try {
    auto client = OpenClient(o, 10000);
    for (int i = 0; i < 200; ++i) {
      const auto t = Clock::now();
      client->Status();
      times.push_back(Seconds(Clock::now() - t) * 1000.0);
    }
  } catch (const std::exception& e) {
    Figure("idle.new_client_error", e.what());
  }
  if (!times.empty()) {
    std::sort(times.begin(), times.end());
    Figure("idle.status_median_ms", times[times.size() / 2]);
  }
  return 0;
}

int NoReader(const Options& o) {
  const long rss_before = ProcStatus(o.Pid, "VmRSS");
  // The server's threads before the client connects: its connection thread comes on top, and
  // while a large block deflates, a thread of the block's own.
  const long threads_before = ProcStatus(o.Pid, "Threads");
  int ready[2];
  if (::pipe(ready) != 0)
    return 1;
  const pid_t child = ::fork();
  if (child == 0) {
    // The client: asks for the rows and is stopped by its parent while the reply comes.
    try {
      auto client = OpenClient(o, 600000);
      client->Connect(PgParams("no-reader"));
      (void)!::write(ready[1], "r", 1);
      client->ExecuteSQL("select g, repeat('x', 60) from generate_series(1, " +
                         std::to_string(o.Rows) + ") g");
    } catch (const std::exception&) {
    }
    std::_Exit(0);
  }
  char byte = 0;
  (void)!::read(ready[0], &byte, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::kill(child, SIGSTOP);
  const auto start = Clock::now();
  long rss_peak = rss_before;
  double released = -1;
  // The server has let the client's thread go when the count is back where it started.
  while (Seconds(Clock::now() - start) < o.Wait) {
    rss_peak = std::max(rss_peak, ProcStatus(o.Pid, "VmRSS"));
    if (ProcStatus(o.Pid, "Threads") <= threads_before) {
      released = Seconds(Clock::now() - start);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  Figure("no_reader.rows", std::to_string(o.Rows));
  Figure("no_reader.server_rss_before_kb", std::to_string(rss_before));
  Figure("no_reader.server_rss_peak_kb", std::to_string(rss_peak));
  Figure("no_reader.thread_released_after_s",
         released < 0 ? "not within " + std::to_string(o.Wait) + " s" : std::to_string(released));
  return 0;
}

int PgRestart(const Options& o) {
  auto client = OpenClient(o);
  client->Connect(PgParams("restart"));
  client->ExecuteSQL("select 1");
  const auto start = Clock::now();
  const int restarted = std::system(o.RestartCmd.c_str());
  Figure("pg_restart.restart_exit", std::to_string(restarted));
  Figure("pg_restart.restart_seconds", Seconds(Clock::now() - start));
  const TqmSessionParams p = PgParams("restart");
  try {
    auto reply = client->Call("Reconnect",
                              {{"Database", "ServerID", client->ServerID()},
                               {"Database", "Handle", static_cast<std::int32_t>(client->Handle())},
                               {"Database", "Driver", p.Driver},
                               {"Database", "Resource", p.Resource},
                               {"Database", "Port", p.Port},
                               {"Database", "UserName", p.UserName},
                               {"Database", "Password", p.Password},
                               {"Database", "AppName", p.AppName}});
    Figure("pg_restart.reconnect", reply->Name());
  } catch (const std::exception& e) {
    Figure("pg_restart.reconnect", std::string("error: ") + e.what());
  }
  try {
    TqmResultSet rows = client->ExecuteSQL("select 42");
    Figure("pg_restart.query_after",
           rows.Rows.size() == 1 && rows.Rows[0][0] == "42" ? "works" : "wrong answer");
  } catch (const std::exception& e) {
    std::string text = e.what();
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    Figure("pg_restart.query_after", "fails: " + text);
  }
  return 0;
}

// A loopback port that accepts (from the backlog) and never answers.
int SilentListener(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::listen(fd, 16);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

// SIGTERM to qmsrv; the seconds until it has ended, or a note after --wait.
void StopServer(const Options& o, const std::string& prefix) {
  ::kill(o.Pid, SIGTERM);
  const double took = WaitForEnd(o.Pid, o.Wait);
  Figure(prefix + ".stop_seconds",
         took < 0 ? "still running after " + std::to_string(o.Wait) + " s" : std::to_string(took));
}

int SilentConnect(const Options& o) {
  int port = 0;
  const int fd = SilentListener(port);
  std::thread connect([&] {
    const auto start = Clock::now();
    try {
      auto client = OpenClient(o, o.Wait * 1000);
      TqmSessionParams p = PgParams("silent");
      p.Port = std::to_string(port);
      client->Connect(p);
      Figure("silent_connect.result", "connected?");
    } catch (const std::exception& e) {
      std::string text = e.what();
      std::replace(text.begin(), text.end(), '\r', ' ');
      Figure("silent_connect.result", text);
    }
    Figure("silent_connect.seconds", Seconds(Clock::now() - start));
  });
  connect.join();
  StopServer(o, "silent_connect");
  ::close(fd);
  return 0;
}

// A socket to 127.0.0.1:Port from the local address From, with its receive time-out; -1 when
// it cannot connect.
int ConnectFrom(const std::string& Port, const char* From, int TimeoutMs) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, From, &local.sin_addr);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(std::atoi(Port.c_str())));
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  timeval timeout{TimeoutMs / 1000, (TimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int Guessing(const Options& o) {
  std::atomic<bool> stop{false};
  std::atomic<long> attempts{0};
  std::atomic<long> compared{0};
  std::atomic<long> unanswered{0};
  std::atomic<long> failed{0};
  // Guesses not answered within 100 ms go to the watcher, which waits for their answer: one
  // that comes after the server's pause (900 ms or more) was compared, an earlier one refused.
  std::mutex waiting_lock;
  std::vector<std::pair<int, Clock::time_point>> waiting;
  const auto start = Clock::now();
  std::thread watcher([&] {
    std::vector<std::pair<int, Clock::time_point>> mine;
    while (!stop || !mine.empty()) {
      {
        std::lock_guard<std::mutex> lock(waiting_lock);
        mine.insert(mine.end(), waiting.begin(), waiting.end());
        waiting.clear();
      }
      std::vector<pollfd> fds;
      for (const auto& item : mine)
        fds.push_back({item.first, POLLIN, 0});
      poll(fds.data(), fds.size(), 20);
      std::vector<std::pair<int, Clock::time_point>> left;
      for (std::size_t k = 0; k < mine.size(); ++k) {
        const auto age = Clock::now() - mine[k].second;
        if (fds[k].revents != 0) {
          if (age >= std::chrono::milliseconds(900))
            ++compared;
          close(mine[k].first);
        } else if (age > std::chrono::seconds(3)) {
          ++unanswered;
          close(mine[k].first);
        } else {
          left.push_back(mine[k]);
        }
      }
      mine.swap(left);
    }
  });
  std::vector<std::thread> guessers;
  for (int i = 0; i < o.Clients; ++i)
    guessers.emplace_back([&, i] {
      long n = 0;
      while (!stop) {
        const int fd = ConnectFrom(o.Port, "127.0.0.1", 100);
        if (fd < 0) {
          ++failed;
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          continue;
        }
        const auto sent = Clock::now();
        const std::string line =
            "Command=C;Password=guess-" + std::to_string(i) + "-" + std::to_string(++n) + "\r";
        send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        char answer[64];
        const ssize_t got = recv(fd, answer, sizeof answer, MSG_PEEK);
        ++attempts;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          std::lock_guard<std::mutex> lock(waiting_lock);
          waiting.emplace_back(fd, sent);
        } else {
          close(fd);
        }
      }
    });
  std::vector<double> times;
  long asked = 0;
  long served = 0;
  std::thread other([&] {
    while (!stop) {
      ++asked;
      const auto t = Clock::now();
      const int fd = ConnectFrom(o.Port, "127.0.0.2", 5000);
      if (fd >= 0) {
        const std::string line = "Command=C;Password=" + o.Password + "\r";
        send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        char answer[64];
        if (recv(fd, answer, sizeof answer, 0) == 1 && answer[0] == 'O') {
          ++served;
          times.push_back(Seconds(Clock::now() - t) * 1000.0);
        }
        close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(o.Seconds));
  stop = true;
  for (std::thread& guesser : guessers)
    guesser.join();
  other.join();
  watcher.join();
  const double took = Seconds(Clock::now() - start);
  Figure("guessing.connections", std::to_string(o.Clients));
  Figure("guessing.seconds", took);
  Figure("guessing.attempts", std::to_string(attempts.load()));
  Figure("guessing.connect_failures", std::to_string(failed.load()));
  Figure("guessing.compared", std::to_string(compared.load()));
  Figure("guessing.unanswered", std::to_string(unanswered.load()));
  Figure("guessing.guesses_per_second", compared / took);
  Figure("guessing.other_address_asked", std::to_string(asked));
  Figure("guessing.other_address_served", std::to_string(served));
  if (!times.empty()) {
    std::sort(times.begin(), times.end());
    Figure("guessing.other_address_median_ms", times[times.size() / 2]);
    Figure("guessing.other_address_max_ms", times.back());
  }
  return 0;
}

int SigTerm(const Options& o) {
  Direct db;
  const std::string table = FreshTable(db);
  std::atomic<bool> stop{false};
  std::atomic<long> errors{0};
  std::atomic<long> ok{0};
  std::vector<std::thread> sleepers;
  for (int i = 0; i < 5; ++i) {
    sleepers.emplace_back([&] {
      try {
        auto client = OpenClient(o);
        client->Connect(PgParams("sleeper"));
        client->ExecuteSQL("select pg_sleep(60)");
      } catch (const std::exception&) {
      }
    });
  }
  std::thread inserters([&] { ok = RunInserters(o, table, o.Clients, 1000000, stop, errors); });
  std::this_thread::sleep_for(std::chrono::seconds(3));
  StopServer(o, "sigterm");
  stop = true;
  inserters.join();
  for (std::thread& t : sleepers)
    t.join();
  const long counted = std::atol(db.Value("select count(*) from " + table).c_str());
  Figure("sigterm.inserts_answered_ok", std::to_string(ok.load()));
  Figure("sigterm.rows_counted", std::to_string(counted));
  // Answered OK but missing would be a loss; committed but not answered (the stop cut the
  // reply off) is not.
  Figure("sigterm.lost", std::to_string(std::max(0L, ok.load() - counted)));
  Figure("sigterm.committed_unanswered", std::to_string(std::max(0L, counted - ok.load())));
  db.Value("drop table " + table);
  return 0;
}

TqmSessionParams SqliteParams(const std::string& file, const std::string& app) {
  return {"SQLite", file, "", "", "", app};
}

// CPU seconds (user and system) the process has used; -1 when it is gone.
double ProcCpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(file, stat))
    return -1;
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14)
      utime = std::atol(field.c_str());
    if (i == 15) {
      stime = std::atol(field.c_str());
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

int StaleHandle(const Options& o) {
  const std::string file = o.Dir + "/qm_load_stale.db";
  std::remove(file.c_str());
  auto client = OpenClient(o);
  client->Connect(SqliteParams(file, "stale"));
  client->ExecuteSQL("create table s(id integer)");
  long ok = 0, refused = 0, other = 0, id = 0;
  auto attempt = [&](std::uint32_t tr) {
    for (int i = 0; i < o.Requests; ++i) {
      try {
        client->ExecuteSQL("insert into s values(" + std::to_string(++id) + ")", {}, tr);
        ++ok;
      } catch (const EqmServerError& e) {
        ++(e.Message() == "Transaction Handle Not Found" ? refused : other);
      }
    }
  };
  std::uint32_t tr = client->OpenTransaction();
  client->CloseTransaction(tr, "rollback");
  attempt(tr);
  tr = client->OpenTransaction();
  client->Call("Reconnect", {{"Database", "ServerID", client->ServerID()},
                             {"Database", "Handle", static_cast<std::int32_t>(client->Handle())},
                             {"Database", "Driver", "SQLite"},
                             {"Database", "Resource", file}});
  attempt(tr);
  attempt(999999);
  const TqmResultSet rows = client->ExecuteSQL("select count(*) from s");
  Figure("stale_handle.requests", std::to_string(3L * o.Requests));
  Figure("stale_handle.answered_ok", std::to_string(ok));
  Figure("stale_handle.refused_handle_not_found", std::to_string(refused));
  Figure("stale_handle.other_errors", std::to_string(other));
  Figure("stale_handle.rows_committed",
         rows.Rows.size() == 1 ? std::string(rows.Rows[0][0].value_or("")) : "?");
  client->Disconnect();
  std::remove(file.c_str());
  return 0;
}

// Sends "ExecuteSQL" of sql on the session and closes the connection once the statement had
// time to start, without reading the reply.
void Abandon(const Options& o, const TqmDBClient& owner, const std::string& sql) {
  TpdcClientSocketStream stream("127.0.0.1", o.Port);
  stream.Connect();
  TStreamDataWriter writer(stream);
  writer.SetName("ExecuteSQL");
  writer.RegisterHeader("Database", "ServerID", owner.ServerID());
  writer.RegisterHeader("Database", "Handle", static_cast<std::int32_t>(owner.Handle()));
  writer.RegisterHeader("Database", "SQL", sql);
  stream.WriteRawByte("Protocol=VSK;Command=Data;Password=;\r");
  writer.WriteResponse();  // the request alone: nothing is read back
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stream.Disconnect();
}

int Abandoned(const Options& o) {
  const int window = std::min(o.Wait, 30);
  // SQLite: a count that would run for many minutes.
  const std::string file = o.Dir + "/qm_load_abandoned.db";
  std::remove(file.c_str());
  auto owner = OpenClient(o, window * 1000);
  owner->Connect(SqliteParams(file, "abandoned"));
  const double cpu_before = ProcCpuSeconds(o.Pid);
  const auto start = Clock::now();
  Abandon(o, *owner,
          "with recursive c(x) as (select 1 union all select x + 1 from c limit 100000000000) "
          "select count(*) from c");
  // The session's next request waits for the statement (the session lock).
  std::string free_after;
  std::thread next([&] {
    try {
      owner->ExecuteSQL("select 1");
      free_after = std::to_string(Seconds(Clock::now() - start));
    } catch (const std::exception& e) {
      free_after = "not within " + std::to_string(window) + " s (" + OneLine(e.what()) + ")";
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const double cpu_10s = ProcCpuSeconds(o.Pid) - cpu_before;
  next.join();
  Figure("abandoned.sqlite_server_cpu_s_in_first_10s", cpu_10s);
  Figure("abandoned.sqlite_session_answers_after_s", free_after);

  // PostgreSQL: pg_sleep(30) for a client that left.
  Direct db;
  auto pg = OpenClient(o);
  pg->Connect(PgParams("abandoned"));
  const std::string pid(pg->ExecuteSQL("select pg_backend_pid()").Rows[0][0].value_or(""));
  const auto pg_start = Clock::now();
  Abandon(o, *pg, "select pg_sleep(30)");
  std::string ended = "not within 40 s";
  while (Seconds(Clock::now() - pg_start) < 40) {
    if (db.Value("select count(*) from pg_stat_activity where pid = " + pid +
                 " and state = 'active' and query like 'select pg_sleep%'") == "0") {
      ended = std::to_string(Seconds(Clock::now() - pg_start));
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Figure("abandoned.pg_sleep_30_ended_after_s", ended);
  try {
    pg->ExecuteSQL("select 1");
    Figure("abandoned.pg_session_after", "answers");
  } catch (const std::exception& e) {
    Figure("abandoned.pg_session_after", OneLine(e.what()));
  }
  std::remove(file.c_str());
  return 0;
}

// The server's thread count back to `threads` (or `limit` seconds passed).
void WaitForThreads(const Options& o, long threads, int limit) {
  const auto start = Clock::now();
  while (ProcStatus(o.Pid, "Threads") > threads && Seconds(Clock::now() - start) < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

int Memory(const Options& o) {
  const std::string file = o.Dir + "/qm_load_memory.db";
  std::remove(file.c_str());
  {
    auto setup = OpenClient(o);
    setup->Connect(SqliteParams(file, "memory"));
    setup->ExecuteSQL("create table m(id integer, name text)");
    setup->ExecuteSQL("insert into m values(1, 'one'), (2, 'two')");
    setup->Disconnect();
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long threads_before = ProcStatus(o.Pid, "Threads");
  const long rss_before = ProcStatus(o.Pid, "VmRSS");
  std::vector<std::unique_ptr<TqmDBClient>> clients;
  long errors = 0;
  std::string first_error;
  const auto start = Clock::now();
  for (int i = 0; i < o.Clients; ++i) {
    try {
      auto client = OpenClient(o, 30000);
      client->Connect(SqliteParams(file, "memory"));
      client->ExecuteSQL("select id, name from m");
      clients.push_back(std::move(client));
    } catch (const std::exception& e) {
      if (errors++ == 0)
        first_error = OneLine(e.what());
    }
  }
  const double open_seconds = Seconds(Clock::now() - start);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long rss_with = ProcStatus(o.Pid, "VmRSS");
  const long vm_with = ProcStatus(o.Pid, "VmSize");
  const long threads_with = ProcStatus(o.Pid, "Threads");
  for (auto& client : clients) {
    try {
      client->Disconnect();
    } catch (const std::exception&) {
    }
  }
  clients.clear();
  WaitForThreads(o, threads_before, 60);
  // The server hands freed memory back in the seconds after the last connection's end, as its
  // log lines and queued work drain.
  std::this_thread::sleep_for(std::chrono::seconds(30));
  const long rss_after = ProcStatus(o.Pid, "VmRSS");
  const long sessions = static_cast<long>(o.Clients) - errors;
  Figure("memory.connections", std::to_string(sessions));
  Figure("memory.errors", std::to_string(errors));
  if (!first_error.empty())
    Figure("memory.first_error", first_error);
  Figure("memory.open_seconds", open_seconds);
  Figure("memory.server_threads_with", std::to_string(threads_with));
  Figure("memory.server_rss_before_kb", std::to_string(rss_before));
  Figure("memory.server_rss_with_kb", std::to_string(rss_with));
  Figure("memory.server_rss_per_connection_kb",
         sessions > 0 ? std::to_string((rss_with - rss_before) / sessions) : "-");
  Figure("memory.server_vmsize_with_kb", std::to_string(vm_with));
  Figure("memory.server_rss_after_kb", std::to_string(rss_after));
  Figure("memory.server_rss_kept_kb", std::to_string(rss_after - rss_before));
  std::remove(file.c_str());
  return 0;
}

int Descriptors(const Options& o) {
  std::vector<std::unique_ptr<TqmDBClient>> clients;
  long served = 0, busy = 0, error_reply = 0, no_reply = 0;
  int first_refused = -1;
  std::string first_error;
  double slowest_refusal = 0;
  std::vector<std::string> files;
  for (int i = 0; i < o.Clients && no_reply < 10; ++i) {
    const std::string file = o.Dir + "/qm_load_fd_" + std::to_string(i) + ".db";
    files.push_back(file);
    const auto start = Clock::now();
    try {
      auto client = OpenClient(o, 3000);
      client->Connect(SqliteParams(file, "descriptors"));
      client->ExecuteSQL("select 1");
      clients.push_back(std::move(client));
      ++served;
      continue;
    } catch (const EqmServerError& e) {
      ++(e.Message().starts_with("Server busy") ? busy : error_reply);
      if (first_error.empty())
        first_error = OneLine(e.Message());
    } catch (const std::exception& e) {
      ++no_reply;
      if (first_error.empty())
        first_error = OneLine(e.what());
    }
    if (first_refused < 0)
      first_refused = i;
    slowest_refusal = std::max(slowest_refusal, Seconds(Clock::now() - start));
  }
  Figure("descriptors.clients_tried", std::to_string(served + busy + error_reply + no_reply));
  Figure("descriptors.served", std::to_string(served));
  Figure("descriptors.first_not_served", std::to_string(first_refused));
  Figure("descriptors.told_server_busy", std::to_string(busy));
  Figure("descriptors.other_error_reply", std::to_string(error_reply));
  Figure("descriptors.no_reply_within_3s", std::to_string(no_reply));
  Figure("descriptors.first_error", first_error.empty() ? "-" : first_error);
  Figure("descriptors.slowest_refusal_s", slowest_refusal);
  for (auto& client : clients) {
    try {
      client->Disconnect();
    } catch (const std::exception&) {
    }
  }
  clients.clear();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  try {
    auto client = OpenClient(o, 5000);
    client->Connect(SqliteParams(files.front(), "descriptors"));
    client->ExecuteSQL("select 1");
    Figure("descriptors.served_after_they_left", "yes");
  } catch (const std::exception& e) {
    Figure("descriptors.served_after_they_left", "no: " + OneLine(e.what()));
  }
  for (const std::string& file : files)
    std::remove(file.c_str());
  return 0;
}

}  // namespace
}  // namespace qm::load

int main(int argc, char** argv) {
  using namespace qm::load;
  Options o;
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  o.Scenario = argv[1];
  try {
    ReadOptions(argc, argv, 2, [&o](const std::string& name, const std::string& value) {
      if (name == "--port")
        o.Port = value;
      else if (name == "--pid")
        o.Pid = static_cast<pid_t>(PositiveInt(name, value));
      else if (name == "--clients")
        o.Clients = PositiveInt(name, value);
      else if (name == "--requests")
        o.Requests = PositiveInt(name, value);
      else if (name == "--idle")
        o.Idle = PositiveInt(name, value);
      else if (name == "--rows")
        o.Rows = PositiveInt(name, value);
      else if (name == "--wait")
        o.Wait = PositiveInt(name, value);
      else if (name == "--seconds")
        o.Seconds = PositiveInt(name, value);
      else if (name == "--password")
        o.Password = value;
      else if (name == "--restart-cmd")
        o.RestartCmd = value;
      else if (name == "--dir")
        o.Dir = value;
      else
        return false;
      return true;
    });
  } catch (const UsageError& e) {
    if (*e.what() != '\0')
      std::fprintf(stderr, "qmsrv_load: %s\n", e.what());
    std::fputs(kUsage, stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const std::map<std::string, int (*)(const Options&)> scenarios = {
      {"inserts", Inserts},
      {"idle", Idle},
      {"no-reader", NoReader},
      {"pg-restart", PgRestart},
      {"silent-connect", SilentConnect},
      {"sigterm", SigTerm},
      {"guessing", Guessing},
      {"stale-handle", StaleHandle},
      {"abandoned", Abandoned},
      {"memory", Memory},
      {"descriptors", Descriptors}};
  const auto found = scenarios.find(o.Scenario);
  if (found == scenarios.end() || o.Port.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    return found->second(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmsrv_load %s: %s\n", o.Scenario.c_str(), e.what());
    return 1;
  }
}
