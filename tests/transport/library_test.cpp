#include "transport/library.h"

#include <gtest/gtest.h>
#include <sqlite3.h>  // declarations only: the test binds them at run time

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace qm {
namespace {

constexpr const char* kSqlite = "libsqlite3.so.0";
constexpr const char* kMissing = "/nonexistent/qm_no_such_library.so";

// A small binding over SQLite, as the drivers write theirs.
class TTestSQLiteLib : public TmnLibrary {
 public:
  explicit TTestSQLiteLib(std::string_view name = kSqlite) : TmnLibrary(name) {}

  using LibVersion = const char*();
  LibVersion* sqlite3_libversion = nullptr;
  std::atomic<int> links{0};
  bool fail_link = false;
  std::chrono::milliseconds link_delay{0};

 protected:
  void Link() override {
    ++links;
    std::this_thread::sleep_for(link_delay);  // widens the window for racing first loads
    sqlite3_libversion = nullptr;
    GetAddress(sqlite3_libversion, "sqlite3_libversion");
    if (fail_link)
      GetAddress("qm_required_entry", true);
  }
};

TEST(LibraryTest, NameGetsSoOnlyWhenLastComponentHasNoExtension) {
  struct Case {
    const char* given;
    const char* stored;
  };
  const Case cases[] = {
      {"sqlite3", "sqlite3.so"},
      {"libsqlite3.so.0", "libsqlite3.so.0"},
      {"/opt/lib.d/libfoo", "/opt/lib.d/libfoo.so"},
      {"dir/libbar.so", "dir/libbar.so"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.stored, TmnLibrary(c.given).LibraryName()) << c.given;
}

TEST(LibraryTest, LoadsOnceCountsReferencesAndBindsEntryPoints) {
  TTestSQLiteLib lib;
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ(TmnbLoadState::lsInit, lib.Load());
  EXPECT_EQ(TmnbLoadState::lsLoaded, lib.Load());
  EXPECT_EQ(2, lib.RefCount());
  EXPECT_EQ(1, lib.links);
  EXPECT_TRUE(lib.IsLoaded());
  EXPECT_EQ(kSqlite, lib.LoadedLibrary());
  ASSERT_NE(nullptr, lib.sqlite3_libversion);
  EXPECT_EQ('3', lib.sqlite3_libversion()[0]);
  EXPECT_EQ("", lib.InvalidNames());

  // The releases undo the loads; the last one unloads, and the next load links again.
  lib.Release();
  EXPECT_TRUE(lib.IsLoaded());
  lib.Release();
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ("", lib.LoadedLibrary());
  EXPECT_EQ(0, lib.RefCount());
  EXPECT_EQ(TmnbLoadState::lsInit, lib.Load());
  EXPECT_EQ(2, lib.links);
  lib.Release();
}

TEST(LibraryTest, MissingEntryPointsAreRecordedOrRaise) {
  TTestSQLiteLib lib;
  lib.Load();
  EXPECT_EQ(nullptr, lib.GetAddress("qm_missing_one"));
  EXPECT_EQ(nullptr, lib.GetAddress("qm_missing_two"));
  EXPECT_EQ("qm_missing_one, qm_missing_two", lib.InvalidNames());
  try {
    lib.GetAddress("qm_missing_three", true);
    FAIL() << "expected EmnException";
  } catch (const EmnException& e) {
    // The fixed text, then the loader's own reason.
    EXPECT_EQ(e.Message().rfind("qm_missing_three not found in libsqlite3.so.0 (", 0), 0u)
        << e.Message();
    EXPECT_NE(e.Message().find("undefined symbol: qm_missing_three)"), std::string::npos)
        << e.Message();
  }
  lib.SetRaiseError(true);
  EXPECT_THROW(lib.GetAddress("qm_missing_four"), EmnException);
  EXPECT_EQ("qm_missing_one, qm_missing_two", lib.InvalidNames());

  // A function pointer that is already bound is not overwritten.
  try {
    lib.GetAddress(lib.sqlite3_libversion, "sqlite3_libversion");
    FAIL() << "expected EmnException";
  } catch (const EmnException& e) {
    EXPECT_EQ("sqlite3_libversion address is already loaded", e.Message());
  }
  lib.Release();
}

TEST(LibraryTest, MissingFileFailsSafelyOrRaisesTheInstallationMessage) {
  TmnLibrary lib(kMissing);
  EXPECT_EQ(TmnbLoadState::lsFail, lib.Load(true));
  EXPECT_EQ(nullptr, lib.Handle());
  EXPECT_EQ(0, lib.RefCount());
  try {
    lib.Load(false);
    FAIL() << "expected EInOutError";
  } catch (const EInOutError& e) {
    EXPECT_EQ(std::string("Can not load library \"") + kMissing + "\". Check your installation. (" +
                  kMissing + ": cannot open shared object file: No such file or directory)",
              e.Message());
  }
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ(0, lib.RefCount());

  TmnLibrary bare("qm_no_such_library");
  try {
    bare.Load();
    FAIL() << "expected EInOutError";
  } catch (const EInOutError& e) {
    EXPECT_EQ(
        "Can not load library \"qm_no_such_library.so\". Check your installation. "
        "(qm_no_such_library.so: cannot open shared object file: No such file or directory)",
        e.Message());
  }
}

TEST(LibraryTest, GetAddressWithoutLoadedFile) {
  TmnLibrary lib(kSqlite);
  EXPECT_EQ(nullptr, lib.GetAddress("sqlite3_libversion"));
  lib.SetRaiseError(true);
  try {
    lib.GetAddress("sqlite3_libversion");
    FAIL() << "expected EmnException";
  } catch (const EmnException& e) {
    EXPECT_EQ("sqlite3_libversion not found in ", e.Message());
  }
}

TEST(LibraryTest, FailedLinkLeavesNothingLoadedAndRaisesAgainNextTime) {
  TTestSQLiteLib lib;
  lib.fail_link = true;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    try {
      lib.Load();
      FAIL() << "expected EmnException, attempt " << attempt;
    } catch (const EmnException& e) {
      EXPECT_EQ(e.Message().rfind("qm_required_entry not found in libsqlite3.so.0 (", 0), 0u)
          << e.Message();
    }
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_EQ(0, lib.RefCount());
    EXPECT_EQ(attempt, lib.links);
  }
}

// A binding written the drivers' way: a required and an optional list, bound with the macros.
// clang-format off
#define QM_TEST_REQUIRED(X) X(sqlite3_libversion)
#define QM_TEST_OPTIONAL(X) X(sqlite3_sourceid)
// clang-format on

class TListedLib : public TmnLibrary {
 public:
  explicit TListedLib(bool required_missing, bool optional_missing)
      : TmnLibrary(kSqlite),
        FRequiredMissing(required_missing),
        FOptionalMissing(optional_missing) {}
  QM_TEST_REQUIRED(QM_DECLARE_ENTRY)
  QM_TEST_OPTIONAL(QM_DECLARE_ENTRY)
  int (*qm_test_missing_entry)() = nullptr;  // no library has it

 protected:
  void Link() override {
    QM_TEST_REQUIRED(QM_BIND_REQUIRED)
    QM_TEST_OPTIONAL(QM_BIND_OPTIONAL)
    if (FOptionalMissing)
      QM_BIND_OPTIONAL(qm_test_missing_entry)
    if (FRequiredMissing)
      QM_BIND_REQUIRED(qm_test_missing_entry)
  }

 private:
  bool FRequiredMissing;
  bool FOptionalMissing;
};

TEST(LibraryTest, ListedEntryPointsRequiredOrOptional) {
  struct Case {
    const char* name;
    bool required_missing;
    bool optional_missing;
    bool loads;
    const char* invalid_names;
  };
  const Case cases[] = {
      {"all present", false, false, true, ""},
      {"optional missing", false, true, true, "qm_test_missing_entry"},
      {"required missing", true, false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TListedLib lib(c.required_missing, c.optional_missing);
    std::string raised;
    try {
      lib.Load();
    } catch (const EmnException& e) {
      raised = e.Message();
    }
    EXPECT_EQ(lib.IsLoaded(), c.loads);
    if (c.loads) {
      EXPECT_EQ(raised, "");
      ASSERT_NE(lib.sqlite3_libversion, nullptr);
      EXPECT_NE(lib.sqlite3_sourceid, nullptr);
      EXPECT_EQ(lib.qm_test_missing_entry, nullptr);
      EXPECT_EQ(lib.InvalidNames(), c.invalid_names);
      // The last release unloads; the next load binds every member anew without complaint.
      lib.Release();
      EXPECT_EQ(lib.Load(), TmnbLoadState::lsInit);
      EXPECT_NE(lib.sqlite3_libversion, nullptr);
      lib.Release();
    } else {
      EXPECT_EQ(raised.rfind("qm_test_missing_entry not found in libsqlite3.so.0 (", 0), 0u)
          << raised;
      EXPECT_NE(raised.find("undefined symbol: qm_test_missing_entry"), std::string::npos)
          << raised;
      EXPECT_EQ(lib.RefCount(), 0);
    }
  }
}

TEST(LibraryTest, ConcurrentFirstLoadsLinkOnce) {
  TTestSQLiteLib lib;
  lib.link_delay = std::chrono::milliseconds(20);
  constexpr int kThreads = 8;
  std::vector<TmnbLoadState> results(kThreads);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go)
        std::this_thread::yield();
      results[i] = lib.Load();
    });
  }
  go = true;
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(1, lib.links);
  EXPECT_EQ(kThreads, lib.RefCount());
  EXPECT_EQ(1, std::count(results.begin(), results.end(), TmnbLoadState::lsInit));
  EXPECT_EQ(kThreads - 1, std::count(results.begin(), results.end(), TmnbLoadState::lsLoaded));
  ASSERT_NE(nullptr, lib.sqlite3_libversion);
  for (int i = 0; i < kThreads; ++i)
    lib.Release();
}

}  // namespace
}  // namespace qm
