// What one client can do to the server and to other clients' sessions, through the real qmsrv
// and the client library: the SQLite library's process-wide state, session handles (invented,
// another address's, private ones) and the bound on sessions. The second client address is
// 127.0.0.2, which reaches the loopback listener like 127.0.0.1.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client/db_client.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

constexpr const char* kOtherAddress = "127.0.0.2";

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// The server's error text for Run, or "<no error>".
template <typename Action>
std::string ServerError(Action Run) {
  try {
    Run();
  } catch (const EqmServerError& e) {
    return e.Message();
  }
  return "<no error>";
}

// A server with its own SQLite folder and Extra configuration lines.
class SessionServer {
 public:
  explicit SessionServer(const std::string& Extra = "")
      : FPort(FreePort()),
        FServer(ServerProcess::PortConfig(FPort) + "Bind=0.0.0.0\nSQLiteFolder=" + FFolder.Path() +
                "\n" + Extra) {}
  bool Start() { return FServer.Start(FPort); }
  std::string Err() const { return FServer.Err(); }
  const std::string& Folder() const { return FFolder.Path(); }

  // A client from Address (connected), with a session on SQLite file Resource when it is given.
  std::unique_ptr<TqmDBClient> Client(const std::string& Address,
                                      const std::string& Resource = "") const {
    auto client = std::make_unique<TqmDBClient>("127.0.0.1", std::to_string(FPort), 20000);
    client->SetLocalAddress(Address);
    client->Open();
    if (!Resource.empty())
      client->Connect({"SQLite", Resource, "", "", "", "isolation"});
    return client;
  }

 private:
  int FPort;
  TempDir FFolder;
  ServerProcess FServer;
};

// Headers naming a session by handle, as any client can write them.
std::vector<TqmRequestHeader> SessionHeaders(const std::string& ServerID, std::uint32_t Handle) {
  return {{"Database", "ServerID", ServerID},
          {"Database", "Handle", static_cast<std::int32_t>(Handle)}};
}

std::vector<TqmRequestHeader> ExecuteHeaders(const std::string& ServerID, std::uint32_t Handle,
                                             const std::string& SQL) {
  std::vector<TqmRequestHeader> headers = SessionHeaders(ServerID, Handle);
  headers.push_back({"Database", "TRHandle", std::int32_t{0}});
  headers.push_back({"Database", "SQL", SQL});
  return headers;
}

std::uint32_t Reconnect(TqmDBClient& Client, const std::string& ServerID, std::uint32_t Handle,
                        const std::string& Resource) {
  std::vector<TqmRequestHeader> headers = SessionHeaders(ServerID, Handle);
  headers.push_back({"Database", "Driver", std::string("SQLite")});
  headers.push_back({"Database", "Resource", Resource});
  return Client.Call("Reconnect", headers)->AsCardinal("Database", "Handle");
}

std::string FirstValue(TqmDBClient& Client, const std::string& SQL) {
  const TqmResultSet result = Client.ExecuteSQL(SQL);
  if (result.Rows.size() == 0)
    return "<no row>";
  const auto value = result.Rows[0][0];
  return value ? std::string(*value) : std::string("<null>");
}

// The attack: read a tokenizer's address, plant a false one through a bound value, then make
// the library call through it. Every step that touches the tokenizer table is refused; the
// server lives on and full-text search still works.
TEST(SQLiteProcessStateTest, TokenizerAddressesCanNeitherBeReadNorPlanted) {
  SessionServer server;
  ASSERT_TRUE(server.Start()) << server.Err();
  std::unique_ptr<TqmDBClient> client = server.Client("127.0.0.1", "fts.db");

  const std::string read = ServerError([&] {
    client->ExecuteSQL("select hex(fts3_tokenizer(?N)) as a", {{"N", "simple"}});
  });
  EXPECT_TRUE(Contains(read, "fts3_tokenizer(): not available to sessions")) << read;
  const std::string plant = ServerError([&] {
    client->ExecuteSQL("select fts3_tokenizer(?N, ?P) as a", {{"N", "simple"}, {"P", "AAAAAAAA"}});
  });
  EXPECT_TRUE(Contains(plant, "fts3_tokenizer(): not available to sessions")) << plant;
  client->ExecuteSQL("create virtual table t using fts3(x, tokenize=simple)");
  client->ExecuteSQL("insert into t values ('crash me not')");
  EXPECT_EQ(FirstValue(*client, "select x from t where t match 'crash'"), "crash me not");

  // One session cannot move every session's temporary files.
  const std::string moved = ServerError(
      [&] { client->ExecuteSQL("pragma temp_store_directory = '" + server.Folder() + "/..'"); });
  EXPECT_TRUE(Contains(moved, "PRAGMA temp_store_directory: not available to sessions")) << moved;
  EXPECT_TRUE(client->Check());
}

// A link inside the SQLite folder whose target does not exist yet leads nowhere outside it, and
// ATTACH makes new files inside it also when the session's own file already existed.
TEST(SQLiteFolderLinksTest, DanglingLinksLeadNowhereAndAttachMakesNewFiles) {
  SessionServer server;
  ASSERT_TRUE(server.Start()) << server.Err();
  TempDir outside;
  const std::string planted = outside.File("authorized_keys");
  std::filesystem::create_symlink(planted, server.Folder() + "/keys.db");

  std::unique_ptr<TqmDBClient> client = server.Client("127.0.0.1");
  const std::string opened = ServerError([&] {
    client->Connect({"SQLite", "keys.db", "", "", "", ""});
  });
  EXPECT_TRUE(Contains(opened, "the file is outside the SQLite folder")) << opened;
  client->Connect({"SQLite", "main.db", "", "", "", ""});
  for (const char* sql : {"attach 'keys.db' as k", "vacuum into 'keys.db'"}) {
    SCOPED_TRACE(sql);
    const std::string refused = ServerError([&] { client->ExecuteSQL(sql); });
    EXPECT_TRUE(Contains(refused, "the file is outside the SQLite folder")) << refused;
  }
  EXPECT_FALSE(FileExists(planted));

  // main.db exists now: a second session on it attaches a file that does not exist yet.
  std::unique_ptr<TqmDBClient> again = server.Client("127.0.0.1", "main.db");
  again->ExecuteSQL("attach 'fresh.db' as f");
  again->ExecuteSQL("create table f.t(a)");
  EXPECT_TRUE(FileExists(server.Folder() + "/fresh.db"));
}

// Without private sessions: a "Reconnect" under a number the server has not issued gets a new
// handle, so that the next "Connect" is not handed the attacker's session; a handle this run
// issued comes back under its own number.
TEST(SessionHandleTest, ReconnectCannotPlantASessionUnderAHandleNotIssued) {
  SessionServer server;
  ASSERT_TRUE(server.Start()) << server.Err();
  std::unique_ptr<TqmDBClient> first = server.Client("127.0.0.1", "first.db");
  const std::uint32_t issued = first->Handle();
  const std::string id = first->ServerID();

  std::unique_ptr<TqmDBClient> attacker = server.Client(kOtherAddress);
  std::vector<std::uint32_t> handed;
  for (std::uint32_t invented : {issued + 1, issued + 2, 0x7fffffffu}) {
    SCOPED_TRACE(invented);
    // The session is the attacker's own under a handle counted out as usual (which may be the
    // number it named, when that is the next one anyway).
    const std::uint32_t got = Reconnect(*attacker, id, invented, "planted.db");
    EXPECT_LE(got, issued + 3);
    handed.push_back(got);
    attacker->Call("ExecuteSQL", ExecuteHeaders(id, got, "create table if not exists planted(a)"));
  }
  EXPECT_EQ(handed, (std::vector<std::uint32_t>{issued + 1, issued + 2, issued + 3}));
  // The next clients get sessions of their own.
  for (int i = 0; i < 3; ++i) {
    std::unique_ptr<TqmDBClient> next = server.Client("127.0.0.1", "next.db");
    EXPECT_EQ(FirstValue(*next, "select count(*) from sqlite_master where name = 'planted'"), "0");
  }

  // A session ended by its client comes back under its handle.
  first->ExecuteSQL("create table if not exists mine(a)");
  first->Disconnect();
  EXPECT_EQ(Reconnect(*first, id, issued, "first.db"), issued);
}

// Private sessions: handles drawn at random, each session answers its own address only, and
// another address gets exactly what a handle that does not exist gets.
TEST(PrivateSessionsTest, AnotherAddressCannotSeeOrUseASession) {
  SessionServer server("PrivateSessions=yes\n");
  ASSERT_TRUE(server.Start()) << server.Err();
  std::unique_ptr<TqmDBClient> owner = server.Client("127.0.0.1", "owner.db");
  std::unique_ptr<TqmDBClient> second = server.Client("127.0.0.1", "owner.db");
  owner->ExecuteSQL("create table secret(a)");
  owner->ExecuteSQL("insert into secret values ('mine')");
  const std::uint32_t handle = owner->Handle();
  const std::string id = owner->ServerID();
  EXPECT_NE(handle, second->Handle());
  EXPECT_FALSE(handle <= 2 && second->Handle() <= 2) << "handles counted, not drawn";

  std::unique_ptr<TqmDBClient> other = server.Client(kOtherAddress, "other.db");
  // A handle nobody holds: what every refusal below must look like.
  const std::uint32_t unknown = handle == 0x7ffffffeu ? 0x7ffffffdu : 0x7ffffffeu;
  const std::string not_found =
      ServerError([&] { other->Call("ExecuteSQL", ExecuteHeaders(id, unknown, "select 1 as a")); });
  EXPECT_TRUE(Contains(not_found, "Handle Not Found")) << not_found;

  struct Attempt {
    const char* name;
    std::string command;
    std::vector<TqmRequestHeader> headers;
  };
  std::vector<TqmRequestHeader> close_headers = SessionHeaders(id, handle);
  close_headers.push_back({"Database", "TRHandle", std::int32_t{0}});
  close_headers.push_back({"Database", "TRAction", std::string("commit")});
  const Attempt attempts[] = {
      {"read", "ExecuteSQL", ExecuteHeaders(id, handle, "select a from secret")},
      {"write", "ExecuteSQL", ExecuteHeaders(id, handle, "insert into secret values ('theirs')")},
      {"commit", "CloseTransaction", close_headers},
      {"end", "Disconnect", SessionHeaders(id, handle)},
  };
  for (const Attempt& a : attempts) {
    SCOPED_TRACE(a.name);
    EXPECT_EQ(ServerError([&] { other->Call(a.command, a.headers); }), not_found);
  }
  // "Status" lists the caller's own sessions only.
  const std::string others_view = other->Status();
  EXPECT_FALSE(Contains(others_view, "\"Handle\":" + std::to_string(handle))) << others_view;
  EXPECT_TRUE(Contains(others_view, "\"count\":1")) << others_view;
  const std::string owners_view = owner->Status();
  EXPECT_TRUE(Contains(owners_view, "\"Handle\":" + std::to_string(handle))) << owners_view;
  EXPECT_TRUE(Contains(owners_view, "\"count\":2")) << owners_view;
  // "Reconnect" naming the owner's handle gives the other address a session of its own.
  EXPECT_NE(Reconnect(*other, id, handle, "other.db"), handle);

  // The owner's session is untouched.
  EXPECT_EQ(FirstValue(*owner, "select group_concat(a) from secret"), "mine");
  // And the owner's own "Reconnect" keeps its handle.
  EXPECT_EQ(Reconnect(*owner, id, handle, "owner.db"), handle);
}

TEST(MaxSessionsTest, AConnectPastTheBoundIsRefusedUntilASessionEnds) {
  SessionServer server("MaxSessions=2\n");
  ASSERT_TRUE(server.Start()) << server.Err();
  std::unique_ptr<TqmDBClient> a = server.Client("127.0.0.1", "a.db");
  std::unique_ptr<TqmDBClient> b = server.Client(kOtherAddress, "b.db");
  std::unique_ptr<TqmDBClient> c = server.Client("127.0.0.1");
  EXPECT_EQ(ServerError([&] {
              c->Connect({"SQLite", "c.db", "", "", "", ""});
            }),
            "Too many sessions (the server allows 2 at once)");
  // A "Reconnect" that would make a session is refused the same way.
  EXPECT_EQ(ServerError([&] { Reconnect(*c, a->ServerID(), 12345, "c.db"); }),
            "Too many sessions (the server allows 2 at once)");
  b->Disconnect();
  c->Connect({"SQLite", "c.db", "", "", "", ""});
  EXPECT_EQ(FirstValue(*c, "select 7 as a"), "7");
}

}  // namespace
}  // namespace qm::e2e
