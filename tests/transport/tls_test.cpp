#include "transport/tls.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/tls_certificates.h"
#include "support/exception.h"
#include "transport/loopback_fixture.h"
#include "transport/openssl_api.h"
#include "transport/server.h"

namespace qm {
namespace {

using testing::Ask;
using testing::TlsCertificates;
using testing::WaitUntil;

// Answers "secure?" with the connection's IsSecure, any other line with "echo:" and the line.
class LineConnection : public TmnServerConnection {
 public:
  using TmnServerConnection::TmnServerConnection;
  ~LineConnection() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Process() override {
    std::string line;
    if (!Stream()->ReadUTF8Line(line, true, 1 << 20))
      return;
    Stream()->WriteUTF8Line(line == "secure?" ? (IsSecure() ? "yes" : "no") : "echo:" + line);
  }
};

class LineListener : public TmnListener {
 public:
  LineListener() { SetTimeout(100); }

 protected:
  std::unique_ptr<TmnServerConnection> DoCreateConnection(
      std::unique_ptr<TmnConnectionStream> stream) override {
    return std::make_unique<LineConnection>(this, std::move(stream));
  }
};

class LineServer : public TmnEventServer {
 public:
  LineServer() {
    SetPort("0");
    SetBind("127.0.0.1");
    OnLog = [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(log_lock);
      log.push_back(text);
    };
  }
  ~LineServer() override { Stop(); }

  void Secure(const std::string& certificate, const std::string& key,
              const std::string& password = "") {
    SetIsSecure(true);
    CertificateFile = certificate;
    PrivateKeyFile = key;
    CertPassword = password;
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(log_lock);
    std::string all;
    for (const auto& line : log)
      all += line + "\n";
    return all;
  }

  std::mutex log_lock;
  std::vector<std::string> log;

 protected:
  std::unique_ptr<TmnListener> CreateListener() override {
    return std::make_unique<LineListener>();
  }
};

std::shared_ptr<TContext> Trusting(const std::string& ca) {
  std::shared_ptr<TContext> context = TContext::CreateClient();
  context->SetVerifyFile(ca);
  context->SetVerifyPeer();
  return context;
}

std::shared_ptr<TContext> Insecure() {
  std::shared_ptr<TContext> context = TContext::CreateClient();
  context->SetVerifyNone();
  return context;
}

std::unique_ptr<TmnClientSocket> Connect(const std::string& port, std::shared_ptr<TContext> context,
                                         const std::string& host = "127.0.0.1") {
  return testing::ConnectClient(port, TmnsoOptions{soSSL}, host,
                                [&](TmnClientSocket& client) { client.SetContext(context); });
}

// The message of what Call raises, "" when it raises nothing.
template <typename F>
std::string Raised(F&& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "";
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certificates = std::make_unique<TlsCertificates>(); }
  static void TearDownTestSuite() { certificates.reset(); }

  static std::unique_ptr<TlsCertificates> certificates;
  testing::TempFolder folder{"qm_tls_case"};
};
std::unique_ptr<TlsCertificates> TlsTest::certificates;

TEST_F(TlsTest, LibrariesLoadOnceByTheirLinuxNames) {
  InitTLSLibraries(true);
  InitTLSLibraries(true);
  EXPECT_EQ(OpenSSLLib().LibraryName(), "libssl.so.3");
  EXPECT_EQ(CryptoLib().LibraryName(), "libcrypto.so.3");
  EXPECT_EQ(OpenSSLLib().RefCount(), 1);
  EXPECT_EQ(CryptoLib().RefCount(), 1);
}

// Each way of giving the server its certificate ends in a verified handshake, and the
// connection then carries data both ways and knows that it is secure.
TEST_F(TlsTest, ServerSpeaksTlsWithEveryKindOfCertificateFile) {
  const std::string upper_pfx = folder.File("server.PFX");
  std::filesystem::copy_file(certificates->ServerPFX(), upper_pfx);
  struct Case {
    const char* name;
    std::string certificate;
    std::string key;
    std::string password;
  };
  const std::vector<Case> cases = {
      {"pem", certificates->ServerCertificate(), certificates->ServerKey(), ""},
      {"pfx", certificates->ServerPFX(), "", TlsCertificates::kPFXPassword},
      {"pfx in capitals", upper_pfx, "", TlsCertificates::kPFXPassword},
      {"pfx: prefix", "pfx:" + certificates->ServerPFX(), "", TlsCertificates::kPFXPassword},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineServer server;
    server.Secure(c.certificate, c.key, c.password);
    server.Start(true);
    ASSERT_TRUE(server.Connected()) << server.Log();
    auto client = Connect(server.UsedPort(), Trusting(certificates->CA()));
    EXPECT_EQ(Ask(*client, "hello"), "echo:hello");
    EXPECT_EQ(Ask(*client, "secure?"), "yes");
    // More than one TLS record and more than the read buffer, both ways.
    const std::string big(40000, 'x');
    EXPECT_TRUE(Ask(*client, big) == "echo:" + big);
    client->Disconnect();
  }
}

TEST_F(TlsTest, CertificateProblemsKeepTheServerFromStarting) {
  const std::string other_key = folder.File("other.key");
  const std::string other_certificate = folder.File("other.pem");
  certificates->MakeServer(other_certificate, other_key);
  struct Case {
    const char* name;
    std::string certificate;
    std::string key;
    std::string password;
    std::string raised;  // the start of what Start raises, or "" when it only logs
    std::string logged;
  };
  const std::string missing = folder.File("missing.pem");
  const std::vector<Case> cases = {
      {"wrong pfx password", certificates->ServerPFX(), "", "wrong",
       "Error PKCS12_parse, maybe the pfx password [\r\n", ""},
      // The library compares key and certificate as it takes the key.
      {"key of another certificate", certificates->ServerCertificate(), other_key, "",
       "fail to load private key", ""},
      // A store of the platform is refused by name, before any file is looked for.
      {"system store", "system:My", "", "",
       "CertificateFile: \"system:My\" names a certificate store", ""},
      {"system store in capitals", "SYSTEM:Root", certificates->ServerKey(), "",
       "CertificateFile: \"SYSTEM:Root\" names a certificate store", ""},
      {"missing certificate", missing, certificates->ServerKey(), "", "",
       "CertificateFile not exists:" + missing},
      {"missing key", certificates->ServerCertificate(), missing, "", "",
       "PrivateKeyFile not exists:" + missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineServer server;
    server.Secure(c.certificate, c.key, c.password);
    const std::string raised = Raised([&] { server.Start(true); });
    EXPECT_EQ(raised.substr(0, c.raised.size()), c.raised) << raised;
    EXPECT_EQ(raised.empty(), c.raised.empty()) << raised;
    if (!c.logged.empty()) {
      EXPECT_NE(server.Log().find(c.logged), std::string::npos) << server.Log();
    }
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.Listener(), nullptr);
  }
}

// Old tools encrypt PFX bundles with RC2 and 3DES, which only the legacy provider has. Such a
// bundle still loads, while the process-wide library context stays without that provider.
TEST_F(TlsTest, OldPFXBundleLoadsWithoutLegacyCiphersForTheProcess) {
  const std::string legacy_pfx = folder.File("legacy.pfx");
  TlsCertificates::Run(
      "openssl pkcs12 -export -legacy -passout pass:" + std::string(TlsCertificates::kPFXPassword) +
      " -inkey " + TlsCertificates::Quote(certificates->ServerKey()) + " -in " +
      TlsCertificates::Quote(certificates->ServerCertificate()) + " -certfile " +
      TlsCertificates::Quote(certificates->CA()) + " -out " + TlsCertificates::Quote(legacy_pfx));
  LineServer server;
  server.Secure(legacy_pfx, "", TlsCertificates::kPFXPassword);
  server.Start(true);
  ASSERT_TRUE(server.Connected()) << server.Log();
  auto client = Connect(server.UsedPort(), Trusting(certificates->CA()));
  EXPECT_EQ(Ask(*client, "old bundle"), "echo:old bundle");

  // The same library file, so the same process-wide state.
  TmnLibrary crypto(TmnCryptoLib::kDefaultName);
  crypto.Load();
  int (*available)(OSSL_LIB_CTX*, const char*) = nullptr;
  crypto.GetAddress(available, "OSSL_PROVIDER_available", true);
  EXPECT_EQ(available(nullptr, "default"), 1);
  EXPECT_EQ(available(nullptr, "legacy"), 0);
  crypto.Release();
}

TEST_F(TlsTest, ClientVerifiesTheServerCertificate) {
  TlsCertificates stranger("qm-stranger");
  const std::string wrong_name_key = folder.File("wrong_name.key");
  const std::string wrong_name = folder.File("wrong_name.pem");
  certificates->MakeServer(wrong_name, wrong_name_key, "DNS:elsewhere.example");
  struct Case {
    const char* name;
    std::string certificate;
    std::string key;
    std::shared_ptr<TContext> client;
    std::string host;
    bool connects;
  };
  const std::vector<Case> cases = {
      {"trusted CA, address in the certificate", certificates->ServerCertificate(),
       certificates->ServerKey(), Trusting(certificates->CA()), "127.0.0.1", true},
      {"trusted CA, name in the certificate", certificates->ServerCertificate(),
       certificates->ServerKey(), Trusting(certificates->CA()), "localhost", true},
      {"another CA", certificates->ServerCertificate(), certificates->ServerKey(),
       Trusting(stranger.CA()), "127.0.0.1", false},
      {"trusted CA, certificate for another host", wrong_name, wrong_name_key,
       Trusting(certificates->CA()), "127.0.0.1", false},
      {"no verification", wrong_name, wrong_name_key, Insecure(), "127.0.0.1", true},
      {"default client context does not verify", wrong_name, wrong_name_key, nullptr, "127.0.0.1",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineServer server;
    server.Secure(c.certificate, c.key);
    server.Start(true);
    ASSERT_TRUE(server.Connected());
    std::unique_ptr<TmnClientSocket> client;
    const std::string raised =
        Raised([&] { client = Connect(server.UsedPort(), c.client, c.host); });
    if (c.connects) {
      EXPECT_EQ(raised, "");
      ASSERT_TRUE(client && client->Connected());
      EXPECT_EQ(Ask(*client, "ping"), "echo:ping");
    } else {
      EXPECT_EQ(raised, "SSL Connect failed");
    }
    // A refused handshake costs only that connection.
    auto good = Connect(server.UsedPort(), Insecure());
    EXPECT_EQ(Ask(*good, "after"), "echo:after");
  }
}

TEST_F(TlsTest, PlainTextClientIsDroppedAndTheServerGoesOn) {
  LineServer server;
  server.Secure(certificates->ServerCertificate(), certificates->ServerKey());
  server.Start(true);
  ASSERT_TRUE(server.Connected());
  // A request line shorter than a TLS record header leaves the server waiting for the rest of
  // the handshake until its time-out.
  for (const char* text : {"hello", "C\r"}) {
    SCOPED_TRACE(text);
    TmnClientSocket plain("127.0.0.1", server.UsedPort());
    plain.SetReadTimeout(3000);
    plain.Connect();
    plain.WriteUTF8Line(text);
    std::string answer;
    // The server answers at most with a TLS alert, never with an echo, and closes.
    plain.ReadUTF8Line(answer);
    EXPECT_EQ(answer.find("echo:"), std::string::npos);
    EXPECT_TRUE(WaitUntil(
        [&] {
          std::string rest;
          plain.ReadUTF8Line(rest);
          return !plain.Connected();
        },
        15000));
  }
  auto client = Connect(server.UsedPort(), Trusting(certificates->CA()));
  EXPECT_EQ(Ask(*client, "still here"), "echo:still here");
  EXPECT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
}

// The openssl command as a foreign TLS client.
TEST_F(TlsTest, OpensslClientTalksToTheServer) {
  LineServer server;
  server.Secure(certificates->ServerPFX(), "", TlsCertificates::kPFXPassword);
  server.Start(true);
  ASSERT_TRUE(server.Connected());
  const std::string command =
      "(printf 'from openssl\\n'; sleep 1) | timeout 20 openssl s_client "
      "-quiet -no_ign_eof -verify_return_error -connect 127.0.0.1:" +
      server.UsedPort() + " -CAfile " + certificates->CA() + " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr)
    output += buffer;
  EXPECT_NE(output.find("echo:from openssl"), std::string::npos) << output;
}

TEST_F(TlsTest, ReplacedCertificateFileIsLoadedForNewConnections) {
  TlsCertificates next("qm-next");
  const std::string certificate = folder.File("live.pem");
  const std::string key = folder.File("live.key");
  std::filesystem::copy_file(certificates->ServerCertificate(), certificate);
  std::filesystem::copy_file(certificates->ServerKey(), key);

  LineServer server;
  server.Secure(certificate, key);
  server.CertificateCheckInterval = 0;  // look at the file on every accepted connection
  server.Start(true);
  ASSERT_TRUE(server.Connected());
  auto before = Connect(server.UsedPort(), Trusting(certificates->CA()));
  EXPECT_EQ(Raised([&] { Connect(server.UsedPort(), Trusting(next.CA())); }), "SSL Connect failed");

  // An unreadable replacement is not taken: the certificate loaded before stays in use.
  const auto replace = [&](const std::string& from_certificate, const std::string& from_key) {
    std::filesystem::copy_file(from_key, key + ".new");
    std::filesystem::rename(key + ".new", key);
    std::filesystem::copy_file(from_certificate, certificate + ".new");
    std::filesystem::rename(certificate + ".new", certificate);
  };
  const std::string garbage = folder.File("garbage.pem");
  { std::ofstream(garbage) << "not a certificate\n"; }
  replace(garbage, garbage);
  auto during = Connect(server.UsedPort(), Trusting(certificates->CA()));
  EXPECT_EQ(Ask(*during, "during"), "echo:during");

  replace(next.ServerCertificate(), next.ServerKey());
  // The accept that notices the change reloads before its own handshake.
  auto after = Connect(server.UsedPort(), Trusting(next.CA()));
  EXPECT_EQ(Ask(*after, "after"), "echo:after");
  EXPECT_EQ(Raised([&] { Connect(server.UsedPort(), Trusting(certificates->CA())); }),
            "SSL Connect failed");
  // Connections made before the change keep their session.
  EXPECT_EQ(Ask(*before, "before"), "echo:before");
}

}  // namespace
}  // namespace qm
