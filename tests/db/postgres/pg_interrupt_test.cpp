// Bounded waits of the PostgreSQL connection: connects that give up (time-out or Interrupt from
// another thread), statements cancelled from another thread, and a liveness test that asks the
// server instead of trusting the client library's remembered status.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "common/silent_port.h"
#include "db/db_errors.h"
#include "db/postgres/postgres_fixture.h"

namespace qm::pgtest {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class PGInterruptTest : public PostgresTest {};

// The message of what `work` raised ("" when it raised nothing), and how long it took. An
// Interrupt on `connection` from another thread follows after `interrupt_after` when set.
std::pair<std::string, steady_clock::duration> RunAndMaybeInterrupt(
    TmncPGConnection& connection, const std::function<void()>& work,
    std::optional<milliseconds> interrupt_after) {
  std::future<void> interrupter;
  if (interrupt_after) {
    interrupter = std::async(std::launch::async, [&connection, interrupt_after] {
      std::this_thread::sleep_for(*interrupt_after);
      connection.Interrupt();
    });
  }
  const auto start = steady_clock::now();
  std::string message;
  try {
    work();
  } catch (const Exception& e) {
    message = e.Message();
  }
  return {message, steady_clock::now() - start};
}

// A server that accepts but never answers: the connect ends after its time-out, or at once when
// interrupted, and leaves no handle either way.
TEST_F(PGInterruptTest, ConnectToASilentServerEnds) {
  struct Case {
    const char* name;
    int connect_timeout;
    std::optional<milliseconds> interrupt_after;
    const char* expected;
  };
  qm::testing::SilentPort silent;
  const Case cases[] = {
      {"time-out", 1, std::nullopt, "no answer from 127.0.0.1:"},
      {"interrupted, no time-out", 0, milliseconds(300), "interrupted"},
      {"interrupted before the time-out", 60, milliseconds(300), "interrupted"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool simple : {false, true}) {
      auto connection = NewConnection();
      connection->SetHost("127.0.0.1");
      connection->SetPort(silent.Port());
      connection->SetSimpleConnection(simple);
      connection->SetConnectTimeout(c.connect_timeout);
      const auto [message, took] = RunAndMaybeInterrupt(
          *connection, [&] { connection->Connect(); }, c.interrupt_after);
      EXPECT_THAT(message, StartsWith("Postgre connection failed\r"));
      EXPECT_THAT(message, HasSubstr(c.expected));
      EXPECT_LT(took, seconds(10)) << "the connect did not end by itself";
      EXPECT_FALSE(connection->Connected());
      EXPECT_EQ(connection->Handle(), nullptr);
    }
  }
}

TEST_F(PGInterruptTest, NewConnectionsTakeTheDefaultTimeout) {
  const int saved = TmncConnection::DefaultConnectTimeout();
  TmncConnection::SetDefaultConnectTimeout(3);
  EXPECT_EQ(NewConnection()->ConnectTimeout(), 3);
  TmncConnection::SetDefaultConnectTimeout(saved);
  EXPECT_EQ(NewConnection()->ConnectTimeout(), saved);
}

// Interrupt from another thread cancels the statement under way; the connection stays usable.
TEST_F(PGInterruptTest, InterruptCancelsTheRunningStatement) {
  auto connection = Connect();
  const auto [message, took] = RunAndMaybeInterrupt(
      *connection, [&] { connection->Execute("select pg_sleep(60)"); }, milliseconds(500));
  EXPECT_THAT(message, StartsWith("Postgre command: "));
  EXPECT_THAT(message, HasSubstr("canceling statement due to user request"));
  EXPECT_LT(took, seconds(30));
  EXPECT_EQ(QueryValue(*connection, "select 7"), "7");
  // Nothing is running now: an Interrupt is no harm to the next statement.
  connection->Interrupt();
  EXPECT_EQ(QueryValue(*connection, "select 8"), "8");
}

TEST_F(PGInterruptTest, TestAliveAsksTheServer) {
  auto connection = Connect();
  EXPECT_TRUE(connection->TestAlive());
  // Even inside a failed transaction the server answers.
  connection->Execute("begin");
  EXPECT_THROW(connection->Execute("select 1/0"), EmncSQLError);
  EXPECT_TRUE(connection->TestAlive());
  connection->Execute("rollback");

  const std::string backend = QueryValue(*connection, "select pg_backend_pid()");
  auto other = Connect();
  EXPECT_EQ(QueryValue(*other, "select pg_terminate_backend(" + backend + ", 10000)"), "t");
  // The library has not noticed yet; the round trip does.
  EXPECT_TRUE(connection->TestConnected());
  EXPECT_FALSE(connection->TestAlive());
  EXPECT_FALSE(connection->TestConnected());
  EXPECT_TRUE(other->TestAlive());
}

}  // namespace
}  // namespace qm::pgtest
