// A stop of the real qmsrv ends within a bounded time while database work is under way: running
// statements are cancelled, connects that wait for a silent database server give up, the client
// threads end, the last log line is written and the process exits 0. A connect to a server that
// never answers fails after "ConnectTimeout" with a clear message.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/postgres_server.h"
#include "common/silent_port.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

using ::testing::HasSubstr;

// Far below the minute the work below would take on its own.
constexpr std::chrono::seconds kStopBound{10};

class StopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing;
    if (!pgtest::ReadServerSettings(settings_, missing))
      GTEST_FAIL() << pgtest::MissingServerMessage(missing);
  }

  // qmcli arguments for a PostgreSQL session on the test database through `db_port`.
  std::vector<std::string> PgSession(const std::string& db_port) const {
    return pgtest::ClientSessionArguments(settings_, db_port, settings_.password);
  }

  pgtest::ServerSettings settings_;
};

// With "StopTimeout=0" nothing but the cancelling can end the stop early.
TEST_F(StopTest, StopCancelsTheDatabaseWorkUnderWay) {
  qm::testing::SilentPort silent;
  TempDir data;
  struct Case {
    const char* name;
    std::string pg_host;
    std::vector<std::string> client;
  };
  auto with_sql = [](std::vector<std::string> args, const std::string& sql) {
    args.push_back("-e");
    args.push_back(sql);
    return args;
  };
  const Case cases[] = {
      {"PostgreSQL statement", settings_.host,
       with_sql(PgSession(settings_.port), "select pg_sleep(60)")},
      {"SQLite statement",
       "",
       {"--driver", "SQLite", "--resource", data.File("long.db"), "-e",
        "with recursive c(x) as (select 1 union all select x + 1 from c where x < 4000000000) "
        "select count(*) from c"}},
      {"PostgreSQL connect to a server that never answers", "127.0.0.1",
       with_sql(PgSession(silent.Port()), "select 1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int port = FreePort();
    ServerProcess server(ServerProcess::PortConfig(port) + "PGHost=" + c.pg_host +
                         "\nConnectTimeout=0\nStopTimeout=0\n");
    ASSERT_TRUE(server.Start(port)) << server.Err();
    std::vector<std::string> args = {"--host",    "127.0.0.1", "--port", std::to_string(port),
                                     "--timeout", "120"};
    args.insert(args.end(), c.client.begin(), c.client.end());
    ChildProcess client(QM_QMCLI_PATH, args, {{"QMCLI_PASSWORD", std::nullopt}},
                        data.File("client.out"), data.File("client.err"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(client.Running()) << "the work ended before the stop: "
                                  << ReadFile(data.File("client.err"));

    const auto start = std::chrono::steady_clock::now();
    server.Process().Signal(SIGTERM);
    EXPECT_EQ(server.Process().Wait(kStopBound), 0) << "no exit within the bound";
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, kStopBound);
    // The client got an error or lost its connection; it did not wait for the work.
    EXPECT_EQ(client.Wait(kStopBound), 1);
    EXPECT_THAT(server.LogText(), HasSubstr("Server stopped at port: " + std::to_string(port)));
    EXPECT_FALSE(PortAnswers(port));
  }
}

TEST_F(StopTest, ConnectToASilentServerFailsAfterTheTimeOut) {
  qm::testing::SilentPort silent;
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port) + "PGHost=127.0.0.1\nConnectTimeout=2\n");
  ASSERT_TRUE(server.Start(port)) << server.Err();

  std::vector<std::string> args = PgSession(silent.Port());
  args.insert(args.end(), {"-e", "select 1"});
  const ProcessResult r = RunClient(port, args);
  EXPECT_FALSE(r.TimedOut);
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_THAT(r.Err, HasSubstr("Postgre connection failed"));
  EXPECT_THAT(r.Err, HasSubstr("no answer from 127.0.0.1:" + silent.Port() + " within 2 s"));

  // The server is still whole: a stop ends it.
  server.Process().Signal(SIGTERM);
  EXPECT_EQ(server.Process().Wait(kStopBound), 0);
}

}  // namespace
}  // namespace qm::e2e
