#include "transport/tls.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "support/log.h"
#include "support/metrics.h"
#include "transport/openssl_api.h"

namespace qm {

namespace {

// How long an accepted client may take over the handshake, and over the rest of a TLS record
// once its first bytes came: a silent or stalled peer must not hold its thread for ever.
constexpr int kServerRecordTimeoutMs = 10000;

constexpr const char* kTLS12Ciphers = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL";

bool FileExists(const std::string& FileName) {
  std::error_code ec;
  return std::filesystem::is_regular_file(FileName, ec);
}

std::string QueuedErrors() {
  TmnCryptoLib& crypto = CryptoLib();
  std::string text;
  while (const unsigned long code = crypto.ERR_get_error()) {
    char buffer[256] = {};
    crypto.ERR_error_string_n(code, buffer, sizeof buffer);
    text += "\r\n";
    text += buffer;
  }
  return text;
}

// ---- a socket BIO that never raises SIGPIPE ----
// OpenSSL's own socket BIO writes with write(2), which kills a process that does not ignore
// SIGPIPE when the peer has gone; this one sends with MSG_NOSIGNAL.

int HandleOf(BIO* Bio) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(CryptoLib().BIO_get_data(Bio)));
}

void SetRetry(BIO* Bio, int Flag, ssize_t Result) {
  TmnCryptoLib& crypto = CryptoLib();
  crypto.BIO_clear_flags(Bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  if (Result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    crypto.BIO_set_flags(Bio, Flag | BIO_FLAGS_SHOULD_RETRY);
}

int SocketBioWrite(BIO* Bio, const char* Data, int Size) {
  const ssize_t n = ::send(HandleOf(Bio), Data, static_cast<std::size_t>(Size), MSG_NOSIGNAL);
  SetRetry(Bio, BIO_FLAGS_WRITE, n);
  return static_cast<int>(n);
}

int SocketBioRead(BIO* Bio, char* Data, int Size) {
  const ssize_t n = ::recv(HandleOf(Bio), Data, static_cast<std::size_t>(Size), 0);
  SetRetry(Bio, BIO_FLAGS_READ, n);
  return static_cast<int>(n);
}

long SocketBioCtrl(BIO* /*Bio*/, int Command, long /*Num*/, void* /*Ptr*/) {
  return Command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    TmnCryptoLib& crypto = CryptoLib();
    BIO_METHOD* m =
        crypto.BIO_meth_new(crypto.BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qm socket");
    if (m != nullptr) {
      crypto.BIO_meth_set_write(m, SocketBioWrite);
      crypto.BIO_meth_set_read(m, SocketBioRead);
      crypto.BIO_meth_set_ctrl(m, SocketBioCtrl);
    }
    return m;
  }();
  return method;
}

void SetTimeouts(int Handle, int Milliseconds) {
  timeval tv{};
  tv.tv_sec = Milliseconds / 1000;
  tv.tv_usec = (Milliseconds % 1000) * 1000;
  setsockopt(Handle, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace

EmnOpenSSLException CreateLastError(const std::string& Message) {
  return EmnOpenSSLException(Message + " [" + QueuedErrors() + "]");
}

// ---- TSSLMethod ----

TSSLMethod::TSSLMethod(const SSL_METHOD* Handle, const char* ClassName) : FHandle(Handle) {
  if (FHandle == nullptr)
    throw EmnOpenSSLException(std::string("Can not create Method: ") + ClassName);
}

namespace {

const SSL_METHOD* ServerMethod() {
  InitTLSLibraries(true);
  return OpenSSLLib().TLS_server_method();
}

const SSL_METHOD* ClientMethod() {
  InitTLSLibraries(true);
  return OpenSSLLib().TLS_client_method();
}

}  // namespace

TTLS_SSLServerMethod::TTLS_SSLServerMethod() : TSSLMethod(ServerMethod(), "TTLS_SSLServerMethod") {}

TTLS_SSLClientMethod::TTLS_SSLClientMethod() : TSSLMethod(ClientMethod(), "TTLS_SSLClientMethod") {}

// ---- TContext ----

TContext::TContext(std::unique_ptr<TSSLMethod> Method, TContextOptions Options)
    : FMethod(std::move(Method)), FOptions(Options) {
  InitTLSLibraries(true);
  TmnOpenSSLLib& ssl = OpenSSLLib();
  FHandle.reset(ssl.SSL_CTX_new(FMethod->Handle()));
  if (FHandle == nullptr)
    throw CreateLastError("Can not create CTX handle");
  // The library's own bug work-arounds, no compression, no renegotiation, nothing older than
  // TLS 1.2. Options that weaken the protocol (no extended master secret, unsafe legacy
  // renegotiation, key exchange without forward secrecy) stay off.
  std::uint64_t options = SSL_OP_ALL | SSL_OP_NO_SSLv3 | SSL_OP_NO_RENEGOTIATION;
  if (Options.Contains(coNoCompressing))
    options |= SSL_OP_NO_COMPRESSION;
  if (Options.Contains(coServer))
    options |= SSL_OP_CIPHER_SERVER_PREFERENCE;
  ssl.SSL_CTX_set_options(Handle(), options);
  ssl.SSL_CTX_ctrl(Handle(), SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  // TLS 1.2 only with an ephemeral key exchange (a stolen key must not open recorded traffic)
  // and authenticated encryption (no CBC with its padding oracles, no SHA-1 MACs). TLS 1.3
  // suites are all of that kind and keep the library's list.
  if (ssl.SSL_CTX_set_cipher_list(Handle(), kTLS12Ciphers) != 1)
    throw CreateLastError("Can not set the TLS 1.2 cipher list");
}

std::shared_ptr<TContext> TContext::CreateServer() {
  return std::make_shared<TContext>(std::make_unique<TTLS_SSLServerMethod>(),
                                    TContextOptions{coServer, coNoCompressing});
}

std::shared_ptr<TContext> TContext::CreateClient() {
  return std::make_shared<TContext>(std::make_unique<TTLS_SSLClientMethod>());
}

void TContext::LoadPFXFile(const std::string& FileName, const std::string& Password) {
  if (!FileExists(FileName))
    throw CreateLastError("PFX file not exist:" + FileName);
  PBIO bio(CryptoLib().BIO_new_file(FileName.c_str(), "rb"));
  if (bio == nullptr)
    throw CreateLastError("Error reading file by BIO_new_file");
  LoadPFXFromBio(bio.get(), Password);
}

void TContext::LoadPFXFromBio(BIO* Bio, const std::string& Password) {
  TmnCryptoLib& crypto = CryptoLib();
  TmnOpenSSLLib& ssl = OpenSSLLib();
  PPrivateKey key;
  PX509 certificate;
  PX509Stack extra;
  {
    // The bundle is decoded and decrypted with the legacy ciphers at hand, and only here.
    TLegacyCiphersScope legacy;
    PPKCS12 bundle(crypto.d2i_PKCS12_bio(Bio, nullptr));
    if (bundle == nullptr)
      throw CreateLastError("Fail to load pfx certificate");
    FPrivateKey.reset();
    FCertificate.reset();
    EVP_PKEY* parsed_key = nullptr;
    X509* parsed_certificate = nullptr;
    STACK_OF(X509)* parsed_extra = nullptr;
    const int parsed =
        crypto.PKCS12_parse(bundle.get(), Password.empty() ? nullptr : Password.c_str(),
                            &parsed_key, &parsed_certificate, &parsed_extra);
    key.reset(parsed_key);
    certificate.reset(parsed_certificate);
    extra.reset(parsed_extra);
    if (parsed != 1)
      throw CreateLastError("Error PKCS12_parse, maybe the pfx password");
  }
  // The context keeps its own references to key and certificate.
  if (ssl.SSL_CTX_use_PrivateKey(Handle(), key.get()) != 1)
    throw EmnOpenSSLException("fail to load private key");
  if (ssl.SSL_CTX_use_certificate(Handle(), certificate.get()) != 1)
    throw CreateLastError("Error SSL_CTX_use_certificate");
  FPrivateKey = std::move(key);
  FCertificate = std::move(certificate);
  // The chain in the bundle's order; the context takes each certificate it accepts.
  auto* stack = reinterpret_cast<OPENSSL_STACK*>(extra.get());
  while (stack != nullptr) {
    PX509 next(static_cast<X509*>(crypto.OPENSSL_sk_shift(stack)));
    if (next == nullptr)
      break;
    if (ssl.SSL_CTX_ctrl(Handle(), SSL_CTRL_EXTRA_CHAIN_CERT, 0, next.get()) != 1)
      throw CreateLastError("Error SSL_CTX_add_extra_chain_cert");
    (void)next.release();
  }
  CheckPrivateKey();
}

void TContext::LoadFullChainFile(const std::string& CertificateFile,
                                 const std::string& PrivateKeyFile) {
  TmnOpenSSLLib& ssl = OpenSSLLib();
  if (!FileExists(CertificateFile))
    throw CreateLastError("Full chain certificate file not exist:" + CertificateFile);
  if (ssl.SSL_CTX_use_certificate_chain_file(Handle(), CertificateFile.c_str()) != 1)
    throw CreateLastError("fail to load full chain certificate");
  if (!FileExists(PrivateKeyFile))
    throw CreateLastError("Private key file not exist:" + PrivateKeyFile);
  if (ssl.SSL_CTX_use_PrivateKey_file(Handle(), PrivateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    CryptoLib().ERR_clear_error();
    throw EmnOpenSSLException("fail to load private key");
  }
  CheckPrivateKey();
}

void TContext::CheckPrivateKey() {
  if (OpenSSLLib().SSL_CTX_check_private_key(Handle()) != 1)
    throw CreateLastError("Private key does not match the public certificate");
}

void TContext::SetVerifyFile(const std::string& FileName) {
  if (OpenSSLLib().SSL_CTX_load_verify_locations(Handle(), FileName.c_str(), nullptr) != 1)
    throw CreateLastError("SSL_CTX_load_verify_locations");
}

void TContext::SetVerifySystem() {
  if (OpenSSLLib().SSL_CTX_set_default_verify_paths(Handle()) != 1)
    throw CreateLastError("SSL_CTX_set_default_verify_paths");
}

void TContext::SetVerifyNone() {
  OpenSSLLib().SSL_CTX_set_verify(Handle(), SSL_VERIFY_NONE, nullptr);
  FVerifyPeer = false;
}

void TContext::SetVerifyPeer() {
  OpenSSLLib().SSL_CTX_set_verify(Handle(), SSL_VERIFY_PEER, nullptr);
  FVerifyPeer = true;
}

// ---- TSSL ----

TSSL::TSSL(std::shared_ptr<TContext> Context) : CTX(std::move(Context)) {
  FHandle.reset(OpenSSLLib().SSL_new(CTX->Handle()));
  if (FHandle == nullptr)
    throw CreateLastError("Can not create SSL handle");
  FActive = true;
}

TSSL::~TSSL() = default;

std::string TSSL::ErrorText(int Result) {
  const int code = OpenSSLLib().SSL_get_error(FHandle.get(), Result);
  std::string text = QueuedErrors();
  if (text.empty()) {
    text = "SSL error " + std::to_string(code);
    if (code == SSL_ERROR_SYSCALL && errno != 0)
      text += " (errno " + std::to_string(errno) + ")";
  } else {
    text.erase(0, 2);  // the first "\r\n"
  }
  const long verify = OpenSSLLib().SSL_get_verify_result(FHandle.get());
  if (verify != X509_V_OK)
    text += std::string(": ") + CryptoLib().X509_verify_cert_error_string(verify);
  FLastError = text;
  return text;
}

void TSSL::SetHostName(const std::string& HostName) {
  OpenSSLLib().SSL_ctrl(FHandle.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                        const_cast<char*>(HostName.c_str()));
}

void TSSL::SetExpectedHost(const std::string& Host) {
  std::string host = Host;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  // A numeric address must be among the certificate's IP addresses; a name among its names.
  X509_VERIFY_PARAM* param = OpenSSLLib().SSL_get0_param(FHandle.get());
  // Names only from the subject alternative names: a name in the subject's common name is
  // the old practice that lets a certificate vouch for names its issuer never checked.
  CryptoLib().X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  if (CryptoLib().X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
    CryptoLib().ERR_clear_error();
    OpenSSLLib().SSL_set1_host(FHandle.get(), host.c_str());
  }
}

bool TSSL::SetSocket(int Handle) {
  FSocket = Handle;
  BIO_METHOD* method = SocketBioMethod();
  PBIO bio(method == nullptr ? nullptr : CryptoLib().BIO_new(method));
  if (bio == nullptr) {
    WriteLog("ServerHandshake: " + QueuedErrors());
    return false;
  }
  CryptoLib().BIO_set_data(bio.get(), reinterpret_cast<void*>(static_cast<std::intptr_t>(Handle)));
  CryptoLib().BIO_set_init(bio.get(), 1);
  // The session takes the BIO over, for reading and writing alike.
  BIO* taken = bio.release();
  OpenSSLLib().SSL_set_bio(FHandle.get(), taken, taken);
  return true;
}

bool TSSL::ServerHandshake() {
  CryptoLib().ERR_clear_error();
  const int result = OpenSSLLib().SSL_accept(FHandle.get());
  if (result > 0)
    return true;
  WriteLog("ServerHandshake: " + ErrorText(result));
  return false;
}

bool TSSL::ClientHandshake() {
  CryptoLib().ERR_clear_error();
  const int result = OpenSSLLib().SSL_connect(FHandle.get());
  if (result > 0)
    return true;
  const std::string text = ErrorText(result);
  if (result < 0)
    WriteLog("Connect: " + text);
  return false;
}

void TSSL::SetVerifyNone() {
  OpenSSLLib().SSL_set_verify(FHandle.get(), SSL_VERIFY_NONE, nullptr);
}

void TSSL::SetVerifyPeer() {
  OpenSSLLib().SSL_set_verify(FHandle.get(), SSL_VERIFY_PEER, nullptr);
}

TsslError TSSL::Read(void* Buffer, std::int64_t Size, std::int64_t& ReadSize) {
  if (!FActive)
    throw EmnOpenSSLException("SSL object is not Active");
  TmnOpenSSLLib& ssl = OpenSSLLib();
  CryptoLib().ERR_clear_error();
  const int asked = Size > INT32_MAX ? INT32_MAX : static_cast<int>(Size);
  const int result = ssl.SSL_read(FHandle.get(), Buffer, asked);
  if (result > 0) {
    ReadSize = result;
    return seSuccess;
  }
  ReadSize = 0;
  const int code = ssl.SSL_get_error(FHandle.get(), result);
  switch (code) {
    case SSL_ERROR_ZERO_RETURN:
      return seClosed;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return seTimeout;  // the handle's receive time-out passed
    case SSL_ERROR_SYSCALL: {
      int pending = 0;
      socklen_t size = sizeof pending;
      getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &pending, &size);
      WriteLog("Read: " + ErrorText(result) + ", Socket Error: " + std::to_string(pending));
      return seInvalid;
    }
    default:
      WriteLog("Read: " + ErrorText(result));
      return seInvalid;
  }
}

bool TSSL::Write(const void* Buffer, std::int64_t Size, std::int64_t& WriteSize) {
  if (!FActive)
    throw EmnOpenSSLException("SSL object is not Active");
  CryptoLib().ERR_clear_error();
  const int asked = Size > INT32_MAX ? INT32_MAX : static_cast<int>(Size);
  const int result = OpenSSLLib().SSL_write(FHandle.get(), Buffer, asked);
  if (result > 0) {
    WriteSize = result;
    return true;
  }
  WriteSize = 0;
  WriteLog("Write: " + ErrorText(result));
  return false;
}

TmnError TSSL::Receive(void* Buffer, std::int64_t& Count) {
  std::int64_t read = 0;
  const TsslError result = Read(Buffer, Count, read);
  Count = read;
  switch (result) {
    case seSuccess:
      return erSuccess;
    case seTimeout:
      return erTimeout;
    case seClosed:
      return erClosed;
    default:
      return erInvalid;
  }
}

TmnError TSSL::Send(const void* Buffer, std::int64_t& Count) {
  std::int64_t written = 0;
  const bool ok = Write(Buffer, Count, written);
  Count = written;
  return ok ? erSuccess : erInvalid;
}

bool TSSL::Pending() {
  return FActive && OpenSSLLib().SSL_pending(FHandle.get()) > 0;
}

void TSSL::Shutdown() {
  if (FActive && FHandle != nullptr) {
    CryptoLib().ERR_clear_error();
    OpenSSLLib().SSL_shutdown(FHandle.get());
    CryptoLib().ERR_clear_error();
  }
  FActive = false;
}

// ---- TLS on a socket ----

void TmnCustomSocket::SetContext(std::shared_ptr<TContext> Value) {
  Context = std::move(Value);
}

void TmnCustomSocket::EnableSSL() {
  if (FKind == skListener || SSLActive())
    return;
  FOptions.Include(soWaitBeforeRead).Include(soSSL);
  if (!Context)
    Context = FKind == skServer ? TContext::CreateServer() : TContext::CreateClient();
  auto session = std::make_unique<TSSL>(Context);
  if (!FHostName.empty())
    session->SetHostName(FHostName);
  if (FKind == skClient && Context->VerifyPeer())
    session->SetExpectedHost(FHostName.empty() ? FHostAddress : FHostName);
  if (!session->SetSocket(FHandle.Get())) {
    if (FKind != skServer)
      throw EmnSocketException("SSL Connect failed");
    Close();
    return;
  }
  if (FKind == skServer) {
    SetTimeouts(FHandle.Get(), kServerRecordTimeoutMs);
    if (!session->ServerHandshake()) {
      ++TServerMetrics::Instance().RefusedTLS;
      Close();  // that connection ends; the server goes on
      return;
    }
  } else if (!session->ClientHandshake()) {
    throw EmnSocketException("SSL Connect failed");
  }
  SSL = std::move(session);
}

}  // namespace qm
