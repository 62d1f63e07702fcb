// The engine registry and composed connection strings.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/message_of.h"
#include "db/engines.h"
#include "db/firebird/fb_connection.h"
#include "db/firebird/fb_engine.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/sqlite/sqlite_engine.h"

namespace qm {
namespace {

using qm::testing::MessageOf;

// The process-wide registry with the drivers this suite links, registered once.
TmncEngines& Engines() {
  static const bool registered = [] {
    RegisterSQLiteEngine(TmncEngines::Instance());
    RegisterFirebirdEngine(TmncEngines::Instance());
    return true;
  }();
  (void)registered;
  return TmncEngines::Instance();
}

TEST(EngineRegistry, DriversRegisterAndMakeTheirConnections) {
  TmncEngines& engines = Engines();
  auto sqlite = engines.CreateConnection("sqlite");  // names ignore case
  EXPECT_NE(dynamic_cast<TprmSQLiteConnection*>(sqlite.get()), nullptr);
  auto firebird = engines.CreateConnection("FirebirdSQL");
  EXPECT_NE(dynamic_cast<TmncFBConnection*>(firebird.get()), nullptr);
  ASSERT_NE(engines.Find("FIREBIRDSQL"), nullptr);
  EXPECT_EQ(engines.Find("FIREBIRDSQL")->Title, "FirebirdSQL Database");
  EXPECT_EQ(engines.IndexOf("nope"), -1);
  const TStrings titles = engines.EnumConnections();
  EXPECT_NE(std::find(titles.begin(), titles.end(), "SQLite Database"), titles.end());

  EXPECT_EQ(MessageOf([&] { engines.CreateConnection("Oracle"); }), "Engine Oracle not found");
  EXPECT_EQ(MessageOf([&] {
              engines.RegisterConnection("SQLITE", "again",
                                         [] { return std::make_unique<TprmSQLiteConnection>(); });
            }),
            "SQLITE is already registered");
  // A driver registered twice (the program's registration run again) is refused too.
  EXPECT_EQ(MessageOf([&] { RegisterSQLiteEngine(engines); }), "SQLite is already registered");
}

TEST(EngineRegistry, SessionDriversAreChosenByTheirExactNameAndSetUpFromTheSettings) {
  TmncEngines& engines = Engines();
  const TStrings drivers = engines.SessionDrivers();
  EXPECT_NE(std::find(drivers.begin(), drivers.end(), "SQLite"), drivers.end());
  // Firebird sessions name their driver "Firebird", the engine "FirebirdSQL".
  EXPECT_NE(std::find(drivers.begin(), drivers.end(), "Firebird"), drivers.end());

  TmncSessionSettings settings;
  settings.Resource = "shop.sqlite";
  settings.Port = "3051";
  settings.UserName = "SYSDBA";
  settings.ServerSetting = [](const std::string& name) {
    return name == "SQLiteFolder" ? std::string("/srv/data") : std::string();
  };
  auto sqlite = engines.CreateSessionConnection("SQLite", settings);
  auto* made = dynamic_cast<TprmSQLiteConnection*>(sqlite.get());
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->Resource(), "shop.sqlite");
  EXPECT_EQ(made->Folder(), "/srv/data");
  EXPECT_FALSE(made->Connected());

  // Without a server host the Firebird session goes to the local server.
  auto firebird = engines.CreateSessionConnection("Firebird", settings);
  ASSERT_NE(dynamic_cast<TmncFBConnection*>(firebird.get()), nullptr);
  EXPECT_EQ(firebird->Host(), "127.0.0.1");
  EXPECT_EQ(firebird->Port(), "3051");
  EXPECT_EQ(firebird->UserName(), "SYSDBA");

  // Driver names are what clients send: other spellings and engine names choose nothing.
  for (const char* name : {"sqlite", "SQLITE", "FirebirdSQL", "firebird", "", "Oracle"})
    EXPECT_EQ(engines.CreateSessionConnection(name, settings), nullptr) << name;

  EXPECT_EQ(MessageOf([&] {
              engines.RegisterSession("Other", "SQLite", [](const TmncSessionSettings&) {
                return std::make_unique<TprmSQLiteConnection>();
              });
            }),
            "SQLite is already registered");
}

TEST(EngineRegistry, ConnectionStringsComposeAndDecompose) {
  EXPECT_EQ(ComposeConnectionString("E", "db", "", "", "", "", ""),
            R"(Resource="db",Engine="E",Host="",Port="",User="",Password="",Role="")");

  struct Case {
    TmncConnectionParts parts;
  } cases[] = {
      {{"FirebirdSQL", "/data/shop.fdb", "db1", "3050", "SYSDBA", "p,w=x", "admin"}},
      {{"SQLite", "C:\\data\\a b.sqlite", "", "", "", "", ""}},
      {{"E", "say \"hi\"", "h", "1", "o'neil", "a\"\"b", "r"}},  // quotes survive the trip
  };
  for (const Case& c : cases) {
    const TmncConnectionParts& p = c.parts;
    const std::string composed =
        ComposeConnectionString(p.Engine, p.Resource, p.Host, p.Port, p.User, p.Password, p.Role);
    const TmncConnectionParts back = DecomposeConnectionString(composed);
    EXPECT_EQ(back.Engine, p.Engine) << composed;
    EXPECT_EQ(back.Resource, p.Resource) << composed;
    EXPECT_EQ(back.Host, p.Host) << composed;
    EXPECT_EQ(back.Port, p.Port) << composed;
    EXPECT_EQ(back.User, p.User) << composed;
    EXPECT_EQ(back.Password, p.Password) << composed;
    EXPECT_EQ(back.Role, p.Role) << composed;
  }

  const TmncConnectionParts loose =
      DecomposeConnectionString(" Engine = 'SQLite' , Resource=plain, junk, Role=");
  EXPECT_EQ(loose.Engine, "SQLite");
  EXPECT_EQ(loose.Resource, "plain");
  EXPECT_EQ(loose.Host, "");
  EXPECT_EQ(DecomposeConnectionString("\"unclosed").Resource, "");
}

}  // namespace
}  // namespace qm
