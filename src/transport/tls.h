#pragma once

// TLS over the run-time loaded OpenSSL 3 libraries: methods, contexts (certificate and key from
// a PFX bundle or PEM files, peer verification) and the per-socket session TSSL that sits
// beneath a socket's receive and send.
//
// Thread-safety: a context is not changed once sessions use it (a listener that reloads its
// certificate makes a new context and hands that to later connections), so one context may be
// shared by the sessions of many threads. A session belongs to its socket's thread.

#include <cstdint>
#include <memory>
#include <string>

#include "support/enum_set.h"
#include "support/exception.h"
#include "transport/openssl_owners.h"
#include "transport/sockets.h"

typedef struct ssl_method_st SSL_METHOD;

namespace qm {

// The file a certificate setting names: "pfx:" removed.
std::string CertificateFilePath(const std::string& CertificateFile);
// True when the setting names a certificate store of the platform ("system:" prefix, any case),
// which this server cannot read: such a setting is refused.
bool IsSystemStoreCertificate(const std::string& CertificateFile);
// Why such a setting is refused, to follow the quoted value.
extern const char* const kSystemStoreReason;
// The whole refusal: "CertificateFile: "<value>" " and the reason.
std::string SystemStoreRefusal(const std::string& CertificateFile);
// True when the setting names a PFX bundle ("pfx:" prefix or a ".pfx" extension, any case).
bool IsPFXCertificate(const std::string& CertificateFile);

// Message, then " [" with every error text waiting in the calling thread's OpenSSL error queue,
// each after "\r\n", then "]". The queue is emptied.
EmnOpenSSLException CreateLastError(const std::string& Message);

// The library's method handle for one side of a connection (version negotiated by the library).
class TSSLMethod {
 public:
  TSSLMethod(const TSSLMethod&) = delete;
  TSSLMethod& operator=(const TSSLMethod&) = delete;
  virtual ~TSSLMethod() = default;
  const SSL_METHOD* Handle() const { return FHandle; }

 protected:
  // Raises "Can not create Method: <ClassName>" when Handle is null.
  TSSLMethod(const SSL_METHOD* Handle, const char* ClassName);

 private:
  const SSL_METHOD* FHandle;
};

class TTLS_SSLServerMethod : public TSSLMethod {
 public:
  TTLS_SSLServerMethod();
};

class TTLS_SSLClientMethod : public TSSLMethod {
 public:
  TTLS_SSLClientMethod();
};

enum TContextOption { coServer, coNoCompressing };
using TContextOptions = EnumSet<TContextOption>;

// A TLS context: the method, the protocol options, the certificate with its key, and the
// trusted certificates for verifying the peer. Every loading failure raises
// EmnOpenSSLException.
class TContext {
 public:
  // Raises "Can not create CTX handle" when the library gives no context.
  TContext(std::unique_ptr<TSSLMethod> Method, TContextOptions Options = {});
  TContext(const TContext&) = delete;
  TContext& operator=(const TContext&) = delete;

  // A server context (coServer, coNoCompressing) or a client context (no options).
  static std::shared_ptr<TContext> CreateServer();
  static std::shared_ptr<TContext> CreateClient();

  void LoadPFXFile(const std::string& FileName, const std::string& Password);
  void LoadFullChainFile(const std::string& CertificateFile, const std::string& PrivateKeyFile);
  void CheckPrivateKey();
  // Trusted certificates for verifying the peer: a PEM file, or the system's default store.
  void SetVerifyFile(const std::string& FileName);
  void SetVerifySystem();
  void SetVerifyNone();
  void SetVerifyPeer();
  bool VerifyPeer() const { return FVerifyPeer; }

  SSL_CTX* Handle() const { return FHandle.get(); }
  TContextOptions Options() const { return FOptions; }

 private:
  void LoadPFXFromBio(BIO* Bio, const std::string& Password);

  std::unique_ptr<TSSLMethod> FMethod;
  PSSLContext FHandle;
  TContextOptions FOptions;
  PPrivateKey FPrivateKey;  // from a PFX bundle
  PX509 FCertificate;       // from a PFX bundle
  bool FVerifyPeer = false;
};

enum TsslError { seSuccess, seTimeout, seClosed, seInvalid };

// One TLS session over a socket handle. Its reads and writes go straight to the handle with
// send/recv (never raising SIGPIPE); a handle time-out shows as seTimeout.
class TSSL : public ImnSocketTLS {
 public:
  // A new session from Context (kept alive by the session).
  explicit TSSL(std::shared_ptr<TContext> Context);
  ~TSSL() override;

  // The server name indication (a client's host name).
  void SetHostName(const std::string& HostName);
  // The name or numeric address the peer's certificate must match when the context verifies.
  void SetExpectedHost(const std::string& Host);
  bool SetSocket(int Handle);
  bool ClientHandshake();
  bool ServerHandshake();
  void SetVerifyNone();
  void SetVerifyPeer();
  TsslError Read(void* Buffer, std::int64_t Size, std::int64_t& ReadSize);
  bool Write(const void* Buffer, std::int64_t Size, std::int64_t& WriteSize);
  // The reason of the last failed handshake, read or write ("" when none).
  const std::string& LastError() const { return FLastError; }

  bool Active() const override { return FActive; }
  TmnError Receive(void* Buffer, std::int64_t& Count) override;
  TmnError Send(const void* Buffer, std::int64_t& Count) override;
  bool Pending() override;
  void Shutdown() override;

 private:
  std::string ErrorText(int Result);

  std::shared_ptr<TContext> CTX;  // outlives the session made from it
  PSSLSession FHandle;
  int FSocket = -1;
  bool FActive = false;
  std::string FLastError;
};

}  // namespace qm
