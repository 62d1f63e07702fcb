// What a client's SQL cannot do through a connection: reach files outside the connection's
// folder, read names as URIs, or use the library's dangerous switches.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "db/sqlite/sqlite_connection.h"
#include "db/sqlite/sqlite_fixture.h"
#include "db/sqlite/sqlite_paths.h"

namespace qm::sqlite_test {
namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& file) {
  return fs::exists(file);
}

// Every value of the first column of `sql`.
std::vector<std::string> Column(TmncSQLConnection& connection, const std::string& sql) {
  auto transaction = connection.CreateTransaction();
  auto command = transaction->CreateCommand(sql);
  std::vector<std::string> values;
  if (command->Execute()) {
    do
      values.push_back(command->FieldItem(0)->GetValue().ToString());
    while (command->Next());
  }
  return values;
}

TEST(SQLiteFileNameTest, NamesResolveInsideTheFolderOrAreRefused) {
  TempFolder temp;
  const std::string folder = temp.File("db");
  fs::create_directories(folder + "/sub");
  fs::create_directories(temp.File("db2"));
  fs::create_symlink(temp.Path(), folder + "/out");  // a link leading out of the folder
  // Links whose targets do not exist yet: opening one with create makes its target.
  fs::create_symlink(temp.File("made-outside.db"), folder + "/dangling-out");
  fs::create_symlink("sub/later.db", folder + "/dangling-in");
  fs::create_symlink("../../db2", folder + "/sub/up");  // relative, out through ".."
  fs::create_symlink("loop", folder + "/loop");
  const std::string outside = "the file is outside the SQLite folder";
  const std::string uri = "URI file names are not accepted";
  struct Case {
    std::string folder;
    std::string name;
    std::string path;  // "" when refused
    std::string why;
  };
  const Case cases[] = {
      {folder, "a.db", folder + "/a.db", ""},
      {folder, "sub/../b.db", folder + "/b.db", ""},
      {folder + "/", "sub/c.db", folder + "/sub/c.db", ""},
      {folder, folder + "/sub/d.db", folder + "/sub/d.db", ""},
      {folder, ":memory:", ":memory:", ""},
      {folder, "", "", ""},
      {folder, "../x.db", "", outside},
      {folder, "/etc/passwd", "", outside},
      {folder, temp.File("db2/x.db"), "", outside},  // a sibling that shares the prefix
      {folder, "sub/../../x.db", "", outside},
      {folder, "out/x.db", "", outside},
      {folder, ".", "", outside},  // the folder itself is no database file
      {folder, "dangling-out", "", outside},
      {folder, "dangling-in", folder + "/sub/later.db", ""},
      {folder, "sub/up/x.db", "", outside},
      // ".." goes up from where the link led (db2's parent), and back into the folder.
      {folder, "sub/up/../db/sub/e.db", folder + "/sub/e.db", ""},
      {folder, "sub/up/../db2/e.db", "", outside},
      {folder, "loop", "", outside},
      {folder, "file:x.db?mode=rwc", "", uri},
      {folder, "FILE:x.db", "", uri},
      {"", "file:x.db", "", uri},
      {"", "../any/where.db", "../any/where.db", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder + " | " + c.name);
    std::string path = "unset";
    std::string why;
    const bool allowed = ResolveSQLiteFileName(c.folder, c.name, c.folder, path, why);
    EXPECT_EQ(allowed, c.why.empty());
    if (allowed)
      EXPECT_EQ(path, c.path);
    else
      EXPECT_EQ(why, c.why);
  }
}

TEST(SQLiteFolderTest, ResourcesOutsideTheFolderAreRefusedBeforeAnyFileIsMade) {
  TempFolder temp;
  const std::string folder = temp.File("db");
  fs::create_directories(folder);
  struct Case {
    std::string resource;
    std::string message;
  };
  const Case cases[] = {
      {"/etc/passwd", "sqlite: not allowed: the file is outside the SQLite folder - /etc/passwd"},
      {"../x.db", "sqlite: not allowed: the file is outside the SQLite folder - ../x.db"},
      {"file:x.db?mode=rwc",
       "sqlite: not allowed: URI file names are not accepted - file:x.db?mode=rwc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.resource);
    TprmSQLiteConnection connection;
    connection.SetFolder(folder);
    connection.SetResource(c.resource);
    EXPECT_EQ(MessageOf([&] { connection.Connect(); }), c.message);
    EXPECT_FALSE(connection.Connected());
  }
  EXPECT_FALSE(Exists(temp.File("x.db")));
  EXPECT_TRUE(fs::is_empty(folder));

  // A relative name lands in the folder, whatever the working folder is.
  TprmSQLiteConnection inside;
  inside.SetFolder(folder);
  inside.SetResource("in.db");
  inside.Connect();
  EXPECT_TRUE(Exists(folder + "/in.db"));
  EXPECT_EQ(inside.Resource(), "in.db");
}

TEST(SQLiteFolderTest, AttachAndVacuumIntoReachOnlyFilesInsideTheFolder) {
  TempFolder temp;
  const std::string folder = temp.File("db");
  fs::create_directories(folder);
  TprmSQLiteConnection connection;
  connection.SetFolder(folder);
  connection.SetResource("main.db");
  connection.Connect();
  connection.Execute("create table t(a); insert into t values(7)");

  struct Case {
    const char* name;
    std::string sql;
    std::string message;  // "" when it runs
  };
  const std::string outside = temp.File("outside.db");
  const Case cases[] = {
      {"attach inside", "attach '" + folder + "/other.db' as o", ""},
      {"attach outside", "attach '" + outside + "' as p",
       "sqlite: not authorized - ATTACH \"" + outside +
           "\": the file is outside the SQLite folder"},
      {"attach /etc/passwd", "attach '/etc/passwd' as p",
       "sqlite: not authorized - ATTACH \"/etc/passwd\": the file is outside the SQLite folder"},
      {"attach a computed name", "attach '" + temp.Path() + "/' || 'x.db' as p",
       "sqlite: not authorized - ATTACH \"\": the file name must be a literal text"},
      {"attach a URI", "attach 'file:" + folder + "/u.db?mode=rwc' as p",
       "sqlite: not authorized - ATTACH \"file:" + folder +
           "/u.db?mode=rwc\": URI file names are not accepted"},
      {"vacuum into outside", "vacuum into '" + outside + "'",
       "sqlite: authorization denied - ATTACH \"" + outside +
           "\": the file is outside the SQLite folder"},
      {"vacuum into inside", "vacuum into '" + folder + "/copy.db'", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MessageOf([&] { connection.Execute(c.sql); }),
              c.message.empty() ? "<no exception>" : c.message);
  }
  EXPECT_FALSE(Exists(outside));
  EXPECT_FALSE(Exists(temp.File("x.db")));
  EXPECT_TRUE(Exists(folder + "/copy.db"));
  EXPECT_TRUE(Exists(folder + "/other.db"));
  // The refused statements left the connection usable.
  EXPECT_EQ(Column(connection, "select a from t"), std::vector<std::string>{"7"});
}

TEST(SQLiteFolderTest, DanglingLinksOutOfTheFolderAreNotFollowed) {
  TempFolder temp;
  const std::string folder = temp.File("db");
  fs::create_directories(folder);
  const std::string outside = temp.File("planted.db");
  fs::create_symlink(outside, folder + "/link.db");
  {
    TprmSQLiteConnection connection;
    connection.SetFolder(folder);
    connection.SetResource("link.db");
    EXPECT_EQ(MessageOf([&] { connection.Connect(); }),
              "sqlite: not allowed: the file is outside the SQLite folder - link.db");
  }
  TprmSQLiteConnection connection;
  connection.SetFolder(folder);
  connection.SetResource("main.db");
  connection.Connect();
  EXPECT_EQ(MessageOf([&] { connection.Execute("attach '" + folder + "/link.db' as l"); }),
            "sqlite: not authorized - ATTACH \"" + folder +
                "/link.db\": the file is outside the SQLite folder");
  EXPECT_EQ(MessageOf([&] { connection.Execute("vacuum into '" + folder + "/link.db'"); }),
            "sqlite: authorization denied - ATTACH \"" + folder +
                "/link.db\": the file is outside the SQLite folder");
  EXPECT_FALSE(Exists(outside));
}

TEST(SQLiteFolderTest, AttachMakesANewFileAlsoWhenTheMainFileExisted) {
  TempFolder temp;
  const std::string folder = temp.File("db");
  fs::create_directories(folder);
  for (int round = 0; round < 2; ++round) {  // the second connect finds main.db made
    SCOPED_TRACE(round);
    TprmSQLiteConnection connection;
    connection.SetFolder(folder);
    connection.SetResource("main.db");
    connection.Connect();
    const std::string file = folder + "/new" + std::to_string(round) + ".db";
    EXPECT_EQ(MessageOf([&] { connection.Execute("attach '" + file + "' as n"); }),
              "<no exception>");
    EXPECT_TRUE(Exists(file));
  }
}

TEST(SQLiteSafetyTest, DangerousSwitchesAreOffWhateverTheConfiguration) {
  TempFolder temp;
  TprmSQLiteConnection connection;  // no folder: any path, as a server without SQLiteFolder
  connection.SetResource(temp.File("s.db"));
  connection.Connect();
  struct Case {
    const char* name;
    std::string sql;
    std::string message_start;
  };
  const Case cases[] = {
      {"extension loading", "select load_extension('/lib/x86_64-linux-gnu/libc.so.6')",
       "sqlite: not authorized"},
      // The defensive flag: no hand-edited schema.
      {"schema writes", "pragma writable_schema=ON; update sqlite_master set sql = 'x'",
       "sqlite: table sqlite_master may not be modified"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = MessageOf([&] { connection.Execute(c.sql); });
    EXPECT_EQ(message.rfind(c.message_start, 0), 0u) << message;
  }
  EXPECT_EQ(Column(connection, "pragma trusted_schema"), std::vector<std::string>{"0"});
}

// What reaches past the session: the tokenizer table's addresses, extension loading and the
// settings of the whole process. Refused however it is written, reading included.
TEST(SQLiteSafetyTest, ProcessWideFunctionsAndPragmasAreRefused) {
  TempFolder temp;
  TprmSQLiteConnection connection;
  connection.SetResource(temp.File("s.db"));
  connection.Connect();
  struct Case {
    std::string sql;
    std::string message;
  };
  const std::string refused = "fts3_tokenizer(): not available to sessions";
  const std::string function =
      "sqlite: not authorized to use function: fts3_tokenizer - " + refused;
  const Case cases[] = {
      {"select fts3_tokenizer('simple')", function},
      {"select FTS3_Tokenizer('simple', x'0000000000000000')",
       "sqlite: not authorized to use function: FTS3_Tokenizer - " + refused},
      // From a view (or a hostile file's schema) the untrusted schema refuses it first.
      {"create view v as select fts3_tokenizer('porter') as p; select * from v",
       "sqlite: unsafe use of fts3_tokenizer() - unsafe use of fts3_tokenizer()"},
      {"select load_extension('x')",
       "sqlite: not authorized to use function: load_extension - "
       "load_extension(): not available to sessions"},
      {"pragma temp_store_directory = '" + temp.Path() + "'",
       "sqlite: not authorized - PRAGMA temp_store_directory: not available to sessions"},
      {"pragma temp_store_directory",
       "sqlite: not authorized - PRAGMA temp_store_directory: not available to sessions"},
      {"PRAGMA main.Data_Store_Directory = '/tmp'",
       "sqlite: not authorized - PRAGMA data_store_directory: not available to sessions"},
      {"pragma soft_heap_limit = 1",
       "sqlite: not authorized - PRAGMA soft_heap_limit: not available to sessions"},
      {"pragma hard_heap_limit = 1",
       "sqlite: not authorized - PRAGMA hard_heap_limit: not available to sessions"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(MessageOf([&] { connection.Execute(c.sql); }), c.message);
  }
  // A bound value is refused as well: the check is on the name, at prepare.
  auto transaction = connection.CreateTransaction();
  EXPECT_EQ(MessageOf([&] { transaction->CreateCommand("select fts3_tokenizer(:n)")->Prepare(); }),
            function);
  // The session's own pragmas and the rest of full-text search still work.
  EXPECT_EQ(Column(connection, "pragma temp_store"), std::vector<std::string>{"0"});
  connection.Execute("create virtual table f using fts3(x, tokenize=simple)");
  connection.Execute("insert into f values ('one two')");
  EXPECT_EQ(Column(connection, "select x from f where f match 'two'"),
            std::vector<std::string>{"one two"});
}

TEST(SQLiteSafetyTest, URINamesAreRefusedEvenWithoutAFolder) {
  TempFolder temp;
  const fs::path saved = fs::current_path();
  fs::current_path(temp.Path());
  {
    // As a URI this would open (and create) plain.db with the options of its query.
    TprmSQLiteConnection connection;
    connection.SetResource("file:plain.db?mode=rwc");
    EXPECT_EQ(MessageOf([&] { connection.Connect(); }),
              "sqlite: not allowed: URI file names are not accepted - file:plain.db?mode=rwc");
    connection.SetResource("plain.db");
    connection.Connect();
    EXPECT_EQ(MessageOf([&] { connection.Execute("attach 'file:other.db?mode=rwc' as o"); }),
              "sqlite: not authorized - ATTACH \"file:other.db?mode=rwc\": URI file names are "
              "not accepted");
    // A name the authorizer cannot see is still no URI: the library reads none.
    connection.Execute("attach 'file:' || 'third.db?mode=rwc' as t");
  }
  fs::current_path(saved);
  EXPECT_TRUE(Exists(temp.File("plain.db")));
  EXPECT_FALSE(Exists(temp.File("other.db")));
  EXPECT_FALSE(Exists(temp.File("third.db")));
  EXPECT_TRUE(Exists(temp.File("file:third.db?mode=rwc")));
}

}  // namespace
}  // namespace qm::sqlite_test
