// The Debian package of this build: what it installs, and a unit file systemd accepts.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

#ifdef QM_CPACK_PATH

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

std::string Replace(std::string Text, const std::string& From, const std::string& To) {
  for (std::size_t at = Text.find(From); at != std::string::npos;
       at = Text.find(From, at + To.size())) {
    Text.replace(at, From.size(), To);
  }
  return Text;
}

// Packaging takes a while: one package for every test of the suite.
class PackageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempDir("qm_package");
    const ProcessResult arch = RunProcess("/usr/bin/dpkg", {"--print-architecture"});
    ASSERT_EQ(arch.ExitCode, 0) << arch.Err;
    deb_ = folder_->File("qmsrv_" + std::string(QM_PACKAGE_VERSION) + "_" +
                         arch.Out.substr(0, arch.Out.find('\n')) + ".deb");
    const ProcessResult packed =
        RunProcess(QM_CPACK_PATH,
                   {"--config", std::string(QM_BUILD_DIR) + "/CPackConfig.cmake", "-G", "DEB", "-B",
                    folder_->Path()},
                   {}, std::chrono::seconds(300));
    ASSERT_EQ(packed.ExitCode, 0) << packed.Out << packed.Err;
    root_ = folder_->File("root");
    const ProcessResult extracted = RunProcess("/usr/bin/dpkg-deb", {"-x", deb_, root_});
    ASSERT_EQ(extracted.ExitCode, 0) << extracted.Err;
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }

  static TempDir* folder_;
  static std::string deb_;
  static std::string root_;
};

TempDir* PackageTest::folder_ = nullptr;
std::string PackageTest::deb_;
std::string PackageTest::root_;

TEST_F(PackageTest, InstallsTheProgramsTheConfigurationAndTheUnit) {
  ASSERT_TRUE(FileExists(deb_)) << deb_;
  for (const char* file : {"/usr/bin/qmsrv", "/usr/bin/qmcli", "/etc/qmsrv/qmsrv.conf",
                           "/lib/systemd/system/qmDBService.service"}) {
    EXPECT_TRUE(FileExists(root_ + file)) << file;
  }
  const ProcessResult info = RunProcess("/usr/bin/dpkg-deb", {"-I", deb_});
  ASSERT_EQ(info.ExitCode, 0) << info.Err;
  for (const char* part : {"Package: qmsrv", "libsqlite3-0", "postinst", "conffiles"}) {
    EXPECT_TRUE(Contains(info.Out, part)) << part << " in\n" << info.Out;
  }
  // The packaged configuration is all comments: every setting takes its default.
  const std::string conf = ReadFile(root_ + "/etc/qmsrv/qmsrv.conf");
  for (const char* key : {"#Port=", "#Bind=", "#Password=", "#SQLiteFolder=", "#PGHost="}) {
    EXPECT_TRUE(Contains(conf, key)) << key;
  }
  std::size_t start = 0;
  while (start < conf.size()) {
    const std::size_t end = conf.find('\n', start);
    const std::string line = conf.substr(start, end - start);
    EXPECT_TRUE(line.empty() || line[0] == '#') << line;
    start = end == std::string::npos ? conf.size() : end + 1;
  }
  // The packaged programs run.
  const ProcessResult help = RunProcess(root_ + "/usr/bin/qmcli", {"--help"});
  EXPECT_EQ(help.ExitCode, 0) << help.Err;
  EXPECT_TRUE(Contains(help.Out, "--server-password")) << help.Out;
}

TEST_F(PackageTest, UnitRunsTheServiceAsItsOwnUserInTheSandbox) {
  const std::string unit = ReadFile(root_ + "/lib/systemd/system/qmDBService.service");
  for (const char* line :
       {"ExecStart=/usr/bin/qmsrv --config /etc/qmsrv/qmsrv.conf\n", "User=qmsrv\n",
        "Group=qmsrv\n", "StateDirectory=qmsrv\n", "LogsDirectory=Quillmoor/Logs/qmsrv\n",
        "ProtectSystem=strict\n", "ProtectHome=true\n", "PrivateTmp=true\n",
        "NoNewPrivileges=true\n", "ReadWritePaths=/var/lib/qmsrv\n",
        "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"}) {
    EXPECT_TRUE(Contains(unit, line)) << "missing " << line << " in\n" << unit;
  }
  EXPECT_FALSE(Contains(unit, "User=root")) << unit;
}

TEST_F(PackageTest, UnitPassesSystemdAnalyzeVerify) {
  if (!FileExists("/usr/bin/systemd-analyze")) {
    GTEST_SKIP() << "systemd is not installed here (no /usr/bin/systemd-analyze): the unit file "
                    "cannot be verified";
  }
  // verify wants the program to exist: point ExecStart at the extracted one.
  const std::string unit = folder_->File("qmDBService.service");
  WriteFile(unit, Replace(ReadFile(root_ + "/lib/systemd/system/qmDBService.service"),
                          "ExecStart=/usr/bin/qmsrv", "ExecStart=" + root_ + "/usr/bin/qmsrv"));
  const ProcessResult r = RunProcess("/usr/bin/systemd-analyze", {"verify", unit});
  EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
  EXPECT_FALSE(Contains(r.Err, "qmDBService.service:")) << r.Err;  // no warnings either
}

}  // namespace
}  // namespace qm::e2e

#endif  // QM_CPACK_PATH
