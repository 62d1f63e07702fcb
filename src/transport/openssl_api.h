#pragma once

// The OpenSSL 3 libraries, bound at run time: `TmnOpenSSLLib` loads "libssl.so.3" and
// `TmnCryptoLib` "libcrypto.so.3" through the library loader. The OpenSSL headers supply only
// types and constants; nothing links against the libraries, every call goes through a member.
//
// Every listed entry point is required: a library without one fails to load with
// "<name> not found in <library> (<reason>)".
//
// Thread-safety: one binding of each is shared by the whole process. `Load` serialises the
// first load; afterwards the members are only read and may be used from any thread.

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string_view>

#include "transport/library.h"

namespace qm {

#define QM_SSL_ENTRY_POINTS(X)          \
  X(OPENSSL_init_ssl)                   \
  X(TLS_client_method)                  \
  X(TLS_server_method)                  \
  X(SSL_CTX_new)                        \
  X(SSL_CTX_free)                       \
  X(SSL_CTX_set_options)                \
  X(SSL_CTX_ctrl)                       \
  X(SSL_CTX_set_verify)                 \
  X(SSL_CTX_load_verify_locations)      \
  X(SSL_CTX_set_default_verify_paths)   \
  X(SSL_CTX_use_certificate)            \
  X(SSL_CTX_use_certificate_chain_file) \
  X(SSL_CTX_use_PrivateKey)             \
  X(SSL_CTX_use_PrivateKey_file)        \
  X(SSL_CTX_check_private_key)          \
  X(SSL_CTX_set_cipher_list)            \
  X(SSL_new)                            \
  X(SSL_free)                           \
  X(SSL_set_bio)                        \
  X(SSL_connect)                        \
  X(SSL_accept)                         \
  X(SSL_read)                           \
  X(SSL_write)                          \
  X(SSL_pending)                        \
  X(SSL_shutdown)                       \
  X(SSL_get_error)                      \
  X(SSL_ctrl)                           \
  X(SSL_set_verify)                     \
  X(SSL_get_verify_result)              \
  X(SSL_set1_host)                      \
  X(SSL_get0_param)

#define QM_CRYPTO_ENTRY_POINTS(X)    \
  X(OPENSSL_init_crypto)             \
  X(OSSL_LIB_CTX_new)                \
  X(OSSL_LIB_CTX_set0_default)       \
  X(OSSL_PROVIDER_load)              \
  X(ERR_get_error)                   \
  X(ERR_error_string_n)              \
  X(ERR_clear_error)                 \
  X(BIO_new)                         \
  X(BIO_new_file)                    \
  X(BIO_free)                        \
  X(BIO_get_new_index)               \
  X(BIO_meth_new)                    \
  X(BIO_meth_set_write)              \
  X(BIO_meth_set_read)               \
  X(BIO_meth_set_ctrl)               \
  X(BIO_set_data)                    \
  X(BIO_get_data)                    \
  X(BIO_set_init)                    \
  X(BIO_set_flags)                   \
  X(BIO_clear_flags)                 \
  X(d2i_PKCS12_bio)                  \
  X(PKCS12_parse)                    \
  X(PKCS12_free)                     \
  X(X509_free)                       \
  X(EVP_PKEY_free)                   \
  X(OPENSSL_sk_shift)                \
  X(OPENSSL_sk_pop_free)             \
  X(X509_VERIFY_PARAM_set1_ip_asc)   \
  X(X509_VERIFY_PARAM_set_hostflags) \
  X(X509_verify_cert_error_string)

class TmnOpenSSLLib : public TmnLibrary {
 public:
  static constexpr std::string_view kDefaultName = "libssl.so.3";
  explicit TmnOpenSSLLib(std::string_view library_name = kDefaultName) : TmnLibrary(library_name) {}
  QM_SSL_ENTRY_POINTS(QM_DECLARE_ENTRY)

 protected:
  void Link() override;
};

class TmnCryptoLib : public TmnLibrary {
 public:
  static constexpr std::string_view kDefaultName = "libcrypto.so.3";
  explicit TmnCryptoLib(std::string_view library_name = kDefaultName) : TmnLibrary(library_name) {}
  QM_CRYPTO_ENTRY_POINTS(QM_DECLARE_ENTRY)

 protected:
  void Link() override;
};

// The process-wide bindings, never freed before the process ends.
TmnOpenSSLLib& OpenSSLLib();
TmnCryptoLib& CryptoLib();

// Loads and initialises both libraries once per process: error strings (when Full), ciphers,
// digests and the configuration, then the "default" provider. A missing library raises
// "Can not load library ...". Safe from any thread.
void InitTLSLibraries(bool Full = true);

// While it lives, the calling thread's OpenSSL calls use a private library context that has the
// "legacy" provider beside the "default" one: old PFX bundles are encrypted with ciphers (RC2,
// RC4) that only the legacy provider has. Everything else, and every other thread, keeps the
// process-wide context without them. When the private context cannot be made, nothing changes
// (and only old bundles fail to parse). Objects made inside stay usable after it ends: the
// context is never freed.
class TLegacyCiphersScope {
 public:
  TLegacyCiphersScope();
  ~TLegacyCiphersScope();
  TLegacyCiphersScope(const TLegacyCiphersScope&) = delete;
  TLegacyCiphersScope& operator=(const TLegacyCiphersScope&) = delete;

 private:
  OSSL_LIB_CTX* FPrevious = nullptr;  // the thread's context before; null when not switched
};

}  // namespace qm
