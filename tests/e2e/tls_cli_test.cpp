// qmsrv with a certificate in its configuration speaks TLS on every connection; qmcli --tls
// verifies it. Plain servers of the same build go on speaking in the clear.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "client/db_client.h"
#include "common/tls_certificates.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

using qm::testing::TlsCertificates;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

class TlsCliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certificates = std::make_unique<TlsCertificates>(); }
  static void TearDownTestSuite() { certificates.reset(); }

  std::vector<std::string> Query() const {
    return {"--driver", "SQLite", "--resource", dir.File("t.db"),
            "--format", "csv",    "-e",         "select 'through' || ' tls' as said"};
  }
  static std::vector<std::string> With(std::vector<std::string> Options,
                                       const std::vector<std::string>& Rest) {
    Options.insert(Options.end(), Rest.begin(), Rest.end());
    return Options;
  }

  static std::unique_ptr<TlsCertificates> certificates;
  TempDir dir;
};
std::unique_ptr<TlsCertificates> TlsCliTest::certificates;

TEST_F(TlsCliTest, QmcliTalksTlsOnlyToACertifiedServerAndPlainToAPlainOne) {
  const int secure_port = FreePort();
  ServerProcess secure("Port=" + std::to_string(secure_port) +
                       "\nCertificateFile=" + certificates->ServerCertificate() +
                       "\nPrivateKeyFile=" + certificates->ServerKey() + "\n");
  ASSERT_TRUE(secure.Start(secure_port)) << secure.Err();
  const int plain_port = FreePort();
  ServerProcess plain(ServerProcess::PortConfig(plain_port));
  ASSERT_TRUE(plain.Start(plain_port)) << plain.Err();

  struct Case {
    const char* name;
    int port;
    std::vector<std::string> options;
    bool works;
  };
  const std::vector<Case> cases = {
      {"tls with the CA", secure_port, {"--tls", "--ca", certificates->CA()}, true},
      {"tls without verification", secure_port, {"--tls", "--insecure"}, true},
      {"tls against the system store", secure_port, {"--tls"}, false},
      {"plain text to the tls server", secure_port, {}, false},
      {"plain text to the plain server", plain_port, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = RunClient(c.port, With(c.options, Query()));
    if (c.works) {
      EXPECT_EQ(r.ExitCode, 0) << r.Err;
      EXPECT_TRUE(Contains(r.Out, "through tls")) << r.Out;
    } else {
      EXPECT_EQ(r.ExitCode, 1) << r.Out << r.Err;
      EXPECT_FALSE(Contains(r.Out, "through tls")) << r.Out;
    }
  }
  ProcessResult refused = RunClient(secure_port, With({"--tls"}, Query()));
  EXPECT_TRUE(Contains(refused.Err, "SSL Connect failed")) << refused.Err;

  // A TLS client at a plain server fails instead of waiting for ever.
  ProcessResult mismatch =
      RunProcess(QM_QMCLI_PATH,
                 With({"--host", "127.0.0.1", "--port", std::to_string(plain_port), "--timeout",
                       "5", "--tls", "--insecure"},
                      Query()),
                 {}, std::chrono::seconds(30));
  EXPECT_FALSE(mismatch.TimedOut);
  EXPECT_EQ(mismatch.ExitCode, 1) << mismatch.Out;

  // Both servers are still serving after all of that.
  EXPECT_EQ(RunClient(secure_port, With({"--tls", "--ca", certificates->CA()}, Query())).ExitCode,
            0);
  EXPECT_EQ(RunClient(plain_port, Query()).ExitCode, 0);
  EXPECT_TRUE(Contains(secure.LogText(), "Secured")) << secure.LogText();
  EXPECT_FALSE(Contains(plain.LogText(), "Secured")) << plain.LogText();
}

TEST_F(TlsCliTest, PfxConfigurationNeedsItsPassword) {
  const int port = FreePort();
  ServerProcess right("Port=" + std::to_string(port) +
                      "\nCertificateFile=" + certificates->ServerPFX() +
                      "\nCertPassword=" + TlsCertificates::kPFXPassword + "\n");
  ASSERT_TRUE(right.Start(port)) << right.Err();
  ProcessResult r = RunClient(port, With({"--tls", "--ca", certificates->CA()}, Query()));
  EXPECT_EQ(r.ExitCode, 0) << r.Err;

  const int wrong_port = FreePort();
  ServerProcess wrong("Port=" + std::to_string(wrong_port) +
                      "\nCertificateFile=" + certificates->ServerPFX() + "\nCertPassword=wrong\n");
  wrong.Launch();
  EXPECT_EQ(wrong.Process().Wait(std::chrono::seconds(20)), 1);
  EXPECT_TRUE(Contains(wrong.Err(), "Error PKCS12_parse, maybe the pfx password")) << wrong.Err();

  const int missing_port = FreePort();
  const std::string missing = dir.File("missing.pem");
  ServerProcess absent("Port=" + std::to_string(missing_port) + "\nCertificateFile=" + missing +
                       "\nPrivateKeyFile=" + certificates->ServerKey() + "\n");
  absent.Launch();
  EXPECT_EQ(absent.Process().Wait(std::chrono::seconds(20)), 1);
  EXPECT_TRUE(Contains(absent.LogText(), "CertificateFile not exists:" + missing))
      << absent.LogText();
}

// Under TLS 1.2 the server agrees only to an ephemeral key exchange with authenticated
// encryption: RSA key exchange (no forward secrecy) and CBC suites are refused.
TEST_F(TlsCliTest, Tls12SuitesHaveForwardSecrecyAndAuthenticatedEncryption) {
  const int port = FreePort();
  ServerProcess secure("Port=" + std::to_string(port) +
                       "\nCertificateFile=" + certificates->ServerCertificate() +
                       "\nPrivateKeyFile=" + certificates->ServerKey() + "\n");
  ASSERT_TRUE(secure.Start(port)) << secure.Err();
  struct Case {
    std::vector<std::string> options;
    bool agreed;
  };
  const Case cases[] = {
      {{"-tls1_2", "-cipher", "AES128-SHA"}, false},               // RSA key exchange, CBC
      {{"-tls1_2", "-cipher", "AES256-GCM-SHA384"}, false},        // RSA key exchange
      {{"-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA"}, false},     // CBC with SHA-1
      {{"-tls1_2", "-cipher", "ECDHE-RSA-AES256-SHA384"}, false},  // CBC
      {{"-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"}, true},
      {{"-tls1_2", "-cipher", "ECDHE-RSA-CHACHA20-POLY1305"}, true},
      {{"-tls1_3"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.back());
    std::vector<std::string> args = {"s_client", "-connect", "127.0.0.1:" + std::to_string(port)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ProcessResult r = RunProcess("/usr/bin/openssl", args, {}, std::chrono::seconds(30));
    EXPECT_EQ(r.ExitCode == 0, c.agreed) << r.Out << r.Err;
    EXPECT_EQ(Contains(r.Out, "Cipher is (NONE)") || !Contains(r.Out, "Cipher is"), !c.agreed)
        << r.Out;
  }
}

// qmcli finds the host's name only among the certificate's subject alternative names: a
// certificate that names it only in its subject's common name does not vouch for it.
TEST_F(TlsCliTest, HostNamesMatchOnlyTheSubjectAlternativeNames) {
  struct Case {
    const char* name;
    const char* alt_names;
    bool works;
  };
  const Case cases[] = {
      {"name among the alternative names", "DNS:localhost", true},
      {"name only in the common name", "IP:192.0.2.1", false},
      {"another name", "DNS:elsewhere.test", false},
  };
  int made = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string certificate = dir.File("named-" + std::to_string(++made) + ".pem");
    const std::string key = certificate + ".key";
    certificates->MakeServer(certificate, key, c.alt_names);  // subject CN=localhost in each
    const int port = FreePort();
    ServerProcess secure("Port=" + std::to_string(port) + "\nCertificateFile=" + certificate +
                         "\nPrivateKeyFile=" + key + "\n");
    ASSERT_TRUE(secure.Start(port)) << secure.Err();
    const ProcessResult r =
        RunProcess(QM_QMCLI_PATH,
                   With({"--host", "localhost", "--port", std::to_string(port), "--timeout", "10",
                         "--tls", "--ca", certificates->CA()},
                        Query()),
                   {}, std::chrono::seconds(30));
    EXPECT_EQ(r.ExitCode, c.works ? 0 : 1) << r.Out << r.Err;
    if (!c.works) {
      EXPECT_TRUE(Contains(r.Err, "SSL Connect failed")) << r.Err;
    }
  }
}

// The client library: TLS options and the session commands over them.
TEST_F(TlsCliTest, ClientLibraryRunsASessionOverTls) {
  const int port = FreePort();
  ServerProcess secure("Port=" + std::to_string(port) +
                       "\nCertificateFile=" + certificates->ServerCertificate() +
                       "\nPrivateKeyFile=" + certificates->ServerKey() + "\n");
  ASSERT_TRUE(secure.Start(port)) << secure.Err();

  TqmDBClient client("127.0.0.1", std::to_string(port), 10000);
  client.SetTLS({true, certificates->CA(), false});
  client.Open();
  EXPECT_TRUE(client.Check());
  client.Connect({"SQLite", dir.File("lib.db"), "", "", "", "e2e"});
  TqmResultSet result = client.ExecuteSQL("select 40 + 2 as answer");
  ASSERT_EQ(result.Rows.size(), 1u);
  client.Disconnect();

  TqmDBClient untrusting("127.0.0.1", std::to_string(port), 10000);
  TlsCertificates stranger("qm-stranger");
  untrusting.SetTLS({true, stranger.CA(), false});
  EXPECT_THROW(untrusting.Open(), EqmConnectionError);
}

}  // namespace
}  // namespace qm::e2e
