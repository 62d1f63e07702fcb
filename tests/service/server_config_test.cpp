#include "service/server_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/temp_folder.h"

namespace qm {
namespace {

class ServerConfigTest : public ::testing::Test {
 protected:
  TqmServerConfig Read(const std::string& text) {
    const std::string file = folder_.File("qmsrv.conf");
    std::ofstream(file, std::ios::binary) << text;
    return ReadServerConfig(file);
  }
  testing::TempFolder folder_;
};

// Each problem names its line and key; a known key with a bad value is an error (no start),
// anything that is merely ignored is a warning.
TEST_F(ServerConfigTest, ProblemsNameTheLineTheKeyAndWhetherTheyStopTheStart) {
  struct Case {
    const char* Text;
    int Line;
    const char* Says;
    bool Error;
  };
  const Case cases[] = {
      {"Pasword=s3cret", 1, "Pasword: unknown setting, did you mean Password?", false},
      {"Port=5000\nBnd=127.0.0.1", 2, "Bnd: unknown setting, did you mean Bind?", false},
      {"Port = 56421", 1, "did you mean Port? (blanks before \"=\" are part of the name)", false},
      {"Port=56421x", 1, "Port: \"56421x\" is not a whole number from 0 to 65535", true},
      {"Port=99999", 1, "Port: \"99999\" is not a whole number", true},
      {"Port=56421 ", 1, "Port: \"56421 \" is not a whole number", true},
      {"MaxConnections=lots", 1, "MaxConnections: \"lots\" is not a whole number", true},
      {"\n\nBind=300.1.1.1", 3, "Bind: \"300.1.1.1\" is not an address", true},
      {"Bind=local host", 1, "Bind: \"local host\" is not an address", true},
      {"CompressionLevel=12", 1, "CompressionLevel: \"12\" is not a whole number from -1 to 9",
       true},
      {"StopTimeout=86401", 1, "StopTimeout: \"86401\"", true},
      {"LogStderr=maybe", 1, "LogStderr: \"maybe\" is not 1 or 0", true},
      {"LogRetentionDays=-3", 1, "LogRetentionDays: \"-3\"", true},
      {"MetricsListen=9187", 1, "MetricsListen: \"9187\" is not an address and a port", true},
      {"MetricsListen=127.0.0.1:0x", 1, "MetricsListen: \"127.0.0.1:0x\" has a port that", true},
      {"Password=a;b", 1, "Password: \"a;b\" cannot carry ';'", true},
      {"ServiceName=My DB", 1, "ServiceName: \"My DB\" must be a letter", true},
      {"CertificateFile=system:My", 1,
       "CertificateFile: \"system:My\" names a certificate store of the system", true},
      {"CertificateFile=SYSTEM:Root", 1, "CertificateFile: \"SYSTEM:Root\" names a certificate",
       true},
      {"Port=1\nport=2", 2, "Port: set again; the first line counts", false},
      {"just words", 1, "not a Name=Value line", false},
      {"Colour=blue", 1, "Colour: unknown setting; ignored", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    const TqmServerConfig config = Read(c.Text);
    ASSERT_EQ(config.Issues.size(), 1u);
    EXPECT_EQ(config.Issues[0].Line, c.Line);
    EXPECT_NE(config.Issues[0].Text.find(c.Says), std::string::npos) << config.Issues[0].Text;
    EXPECT_EQ(config.HasErrors(), c.Error);
    const std::vector<std::string> lines = config.IssueLines();
    EXPECT_EQ(lines[0].rfind(config.FileName + ":" + std::to_string(c.Line) + ": ", 0), 0u)
        << lines[0];
  }
}

TEST_F(ServerConfigTest, GoodValuesCommentsAndEmptyValuesRaiseNothing) {
  const TqmServerConfig config = Read(
      "# a comment\r\n; another\r\n\r\n  \r\nPort=0\r\nbind=::1\r\nBIND=x\r\nMaxConnections=\r\n"
      "Bind=[::1]\r\nCompressionLevel=-1\r\nLogStderr=yes\r\nLogRetentionDays=0\r\n"
      "MetricsListen=127.0.0.1:9187\r\nPGHost= any text \r\nServiceName=_my_DB1\r\n"
      "CertificateFile=/etc/system:x/server.pem\r\n");
  // "BIND=x" repeats a key (a warning); everything else passes.
  ASSERT_EQ(config.Issues.size(), 2u);
  EXPECT_FALSE(config.HasErrors());
  EXPECT_EQ(config.Value("bind"), "::1");
  EXPECT_EQ(config.Value("PGHost"), " any text ");
  EXPECT_EQ(config.Value("MaxConnections"), "");
  EXPECT_EQ(config.Value("Password"), "");
}

TEST_F(ServerConfigTest, MissingFileIsNotFoundWithoutIssues) {
  const TqmServerConfig config = ReadServerConfig(folder_.File("none.conf"));
  EXPECT_FALSE(config.Found);
  EXPECT_TRUE(config.Issues.empty());
}

TEST_F(ServerConfigTest, DescriptionMasksSecretsAndShowsDefaults) {
  const std::vector<std::string> lines =
      DescribeConfig(Read("Password=s3cret\nCertPassword=pfx\nPort=5000\n"));
  const auto has = [&lines](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("Password=********"));
  EXPECT_TRUE(has("CertPassword=********"));
  EXPECT_TRUE(has("Port=5000"));
  EXPECT_TRUE(has("Bind=0.0.0.0 (default)"));
  EXPECT_TRUE(has("LogRetentionDays=30 (default)"));
  for (const std::string& line : lines)
    EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
  EXPECT_EQ(lines.size(), KnownConfigKeys().size());
}

TEST(ConfigKeyTest, NearestKeyIsOnlyOfferedWhenClose) {
  EXPECT_EQ(NearestConfigKey("Pasword"), "Password");
  EXPECT_EQ(NearestConfigKey("maxconnection"), "MaxConnections");
  EXPECT_EQ(NearestConfigKey(" Port "), "Port");
  EXPECT_EQ(NearestConfigKey("Colour"), "");
}

}  // namespace
}  // namespace qm
