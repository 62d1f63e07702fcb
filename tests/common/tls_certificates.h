#pragma once

// Throw-away certificates for TLS tests, made with the openssl command at run time: a CA, and
// server certificates signed by it for "localhost", 127.0.0.1 and ::1, as PEM files and as a
// password-protected PFX bundle that carries the CA as its chain.

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/temp_folder.h"

namespace qm::testing {

class TlsCertificates {
 public:
  // A CA named Name, and one server certificate signed by it.
  explicit TlsCertificates(const std::string& Name = "qm-test") : name_(Name) {
    Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=" + Name + " CA'" +
        " -keyout " + Quote(CAKey()) + " -out " + Quote(CA()) +
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign");
    MakeServer(ServerCertificate(), ServerKey());
    Run("openssl pkcs12 -export -passout pass:" + std::string(kPFXPassword) + " -inkey " +
        Quote(ServerKey()) + " -in " + Quote(ServerCertificate()) + " -certfile " + Quote(CA()) +
        " -out " + Quote(ServerPFX()));
  }

  static constexpr const char* kPFXPassword = "pfx-secret";

  std::string CA() const { return folder_.File("ca.pem"); }
  std::string CAKey() const { return folder_.File("ca.key"); }
  std::string ServerCertificate() const { return folder_.File("server.pem"); }
  std::string ServerKey() const { return folder_.File("server.key"); }
  std::string ServerPFX() const { return folder_.File("server.pfx"); }
  const std::string& Folder() const { return folder_.Path(); }

  // Another certificate and key signed by this CA, written to the given files, for the names and
  // addresses of SubjectAltName.
  void MakeServer(const std::string& Certificate, const std::string& Key,
                  const std::string& SubjectAltName = "DNS:localhost,IP:127.0.0.1,IP:::1") const {
    const std::string request = Certificate + ".csr";
    const std::string extensions = Certificate + ".ext";
    Run("openssl req -newkey rsa:2048 -nodes -subj '/CN=localhost' -keyout " + Quote(Key) +
        " -out " + Quote(request));
    std::ofstream(extensions) << "subjectAltName=" << SubjectAltName
                              << "\nextendedKeyUsage=serverAuth\n";
    Run("openssl x509 -req -days 2 -in " + Quote(request) + " -CA " + Quote(CA()) + " -CAkey " +
        Quote(CAKey()) + " -CAcreateserial -extfile " + Quote(extensions) + " -out " +
        Quote(Certificate));
  }

  static void Run(const std::string& Command) {
    if (std::system((Command + " >/dev/null 2>&1").c_str()) != 0)
      throw std::runtime_error("failed: " + Command);
  }
  static std::string Quote(const std::string& Text) { return "'" + Text + "'"; }

 private:
  std::string name_;
  TempFolder folder_{"qm_tls"};
};

}  // namespace qm::testing
