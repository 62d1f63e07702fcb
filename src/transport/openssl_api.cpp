#include "transport/openssl_api.h"

#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace qm {

#define QM_OPENSSL_LINK(name) \
  name = nullptr;             \
  GetAddress(name, #name, false);

void TmnOpenSSLLib::Link() {
  SetRaiseError(true);
  QM_SSL_ENTRY_POINTS(QM_OPENSSL_LINK)
}

void TmnCryptoLib::Link() {
  SetRaiseError(true);
  QM_CRYPTO_ENTRY_POINTS(QM_OPENSSL_LINK)
}

#undef QM_OPENSSL_LINK

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
  // Old PFX bundles are encrypted with ciphers only the legacy provider has; without it they
  // simply fail to parse.
  crypto.OSSL_PROVIDER_load(nullptr, "legacy");
  crypto.ERR_clear_error();
  initialised = true;
}

}  // namespace qm
