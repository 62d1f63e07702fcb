#include "transport/openssl_api.h"

#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace qm {

void TmnOpenSSLLib::Link() {
  QM_SSL_ENTRY_POINTS(QM_BIND_REQUIRED)
}

void TmnCryptoLib::Link() {
  QM_CRYPTO_ENTRY_POINTS(QM_BIND_REQUIRED)
}

namespace {

// Never destroyed: sessions freed during process exit may still call through them.
template <typename T>
T& Immortal() {
  union NoDestructor {
    NoDestructor() : lib() {}
    ~NoDestructor() {}
    T lib;
  };
  static NoDestructor holder;
  return holder.lib;
}

}  // namespace

TmnOpenSSLLib& OpenSSLLib() {
  return Immortal<TmnOpenSSLLib>();
}

TmnCryptoLib& CryptoLib() {
  return Immortal<TmnCryptoLib>();
}

void InitTLSLibraries(bool Full) {
  // The load state alone would let two threads initialise at once, and a half-done first
  // attempt (one library missing) must be retried whole: one lock and one flag.
  static std::mutex lock;
  static bool initialised = false;
  std::lock_guard<std::mutex> guard(lock);
  if (initialised)
    return;
#if defined(__SANITIZE_ADDRESS__)
  // What the libraries allocate for themselves here (providers, tables) lives as long as the
  // process and is not all freed at exit; it is not ours to report.
  __lsan::ScopedDisabler lsan_off;
#endif
  TmnOpenSSLLib& ssl = OpenSSLLib();
  ssl.Load(false);
  ssl.OPENSSL_init_ssl(Full ? OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS : 0,
                       nullptr);
  TmnCryptoLib& crypto = CryptoLib();
  crypto.Load(false);
  crypto.OPENSSL_init_crypto(
      Full ? OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CONFIG
           : 0,
      nullptr);
  crypto.OSSL_PROVIDER_load(nullptr, "default");
  crypto.ERR_clear_error();
  initialised = true;
}

namespace {

// The private context with the legacy provider, made on first use. Never freed: keys and
// certificates read inside a scope refer to its providers for as long as they live.
OSSL_LIB_CTX* LegacyLibContext() {
  static OSSL_LIB_CTX* const context = []() -> OSSL_LIB_CTX* {
    InitTLSLibraries(true);
#if defined(__SANITIZE_ADDRESS__)
    __lsan::ScopedDisabler lsan_off;  // lives as long as the process, on purpose
#endif
    TmnCryptoLib& crypto = CryptoLib();
    OSSL_LIB_CTX* made = crypto.OSSL_LIB_CTX_new();
    // A context with a provider loaded by hand no longer loads "default" by itself.
    if (made == nullptr || crypto.OSSL_PROVIDER_load(made, "default") == nullptr ||
        crypto.OSSL_PROVIDER_load(made, "legacy") == nullptr)
      return nullptr;  // a half-made context is kept (it cannot be taken apart safely)
    return made;
  }();
  return context;
}

}  // namespace

TLegacyCiphersScope::TLegacyCiphersScope() {
  OSSL_LIB_CTX* legacy = LegacyLibContext();
  if (legacy == nullptr) {
    // Without the provider only old bundles fail, with the parser's own error.
    CryptoLib().ERR_clear_error();
    return;
  }
  FPrevious = CryptoLib().OSSL_LIB_CTX_set0_default(legacy);
}

TLegacyCiphersScope::~TLegacyCiphersScope() {
  if (FPrevious != nullptr)
    CryptoLib().OSSL_LIB_CTX_set0_default(FPrevious);
}

}  // namespace qm
