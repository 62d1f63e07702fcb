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
  // The packaged configuration keeps the server to this machine with private sessions; the
  // settings for opening it to a network are there, commented.
  const std::string conf = ReadFile(root_ + "/etc/qmsrv/qmsrv.conf");
  for (const char* key : {"#Port=", "#Password=", "#SQLiteFolder=", "#PGHost=", "#CertificateFile=",
                          "#PrivateKeyFile="}) {
    EXPECT_TRUE(Contains(conf, key)) << key;
  }
  std::vector<std::string> settings;
  std::size_t start = 0;
  while (start < conf.size()) {
    const std::size_t end = conf.find('\n', start);
    const std::string line = conf.substr(start, end - start);
    if (!line.empty() && line[0] != '#')
      settings.push_back(line);
    start = end == std::string::npos ? conf.size() : end + 1;
  }
  EXPECT_EQ(settings, (std::vector<std::string>{"Bind=127.0.0.1", "PrivateSessions=1"}));
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
        "AmbientCapabilities=CAP_NET_BIND_SERVICE\n", "LimitNOFILE=65536\n",
        "SystemCallFilter=@system-service\n", "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n",
        "MemoryDenyWriteExecute=true\n", "ProtectProc=invisible\n"}) {
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

  // The sandbox as systemd rates it: "OK" or better (SAFE), never MEDIUM, EXPOSED or UNSAFE.
  const ProcessResult security =
      RunProcess("/usr/bin/systemd-analyze", {"security", "--offline=true", unit});
  EXPECT_EQ(security.ExitCode, 0) << security.Out << security.Err;
  const std::size_t rating = security.Out.find("Overall exposure level");
  ASSERT_NE(rating, std::string::npos) << security.Out << security.Err;
  const std::string verdict = security.Out.substr(rating);
  EXPECT_TRUE(Contains(verdict, " OK") || Contains(verdict, " SAFE")) << verdict;
}

TEST_F(PackageTest, AnUpgradeRestartsTheRunningService) {
  // dpkg runs postinst "configure <old version>" on an upgrade: the new binary must take over.
  const ProcessResult postinst = RunProcess("/usr/bin/dpkg-deb", {"-I", deb_, "postinst"});
  ASSERT_EQ(postinst.ExitCode, 0) << postinst.Err;
  EXPECT_TRUE(Contains(postinst.Out, "try-restart qmDBService.service")) << postinst.Out;
  // and only on an upgrade ("$2", the version replaced, is empty on a first install).
  EXPECT_TRUE(Contains(postinst.Out, "[ -n \"$2\" ]")) << postinst.Out;
}

}  // namespace
}  // namespace qm::e2e

#endif  // QM_CPACK_PATH
