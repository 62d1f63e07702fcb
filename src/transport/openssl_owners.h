#pragma once

// Owners for the OpenSSL objects the transport makes. Each frees its object exactly once, through
// the run-time binding, when it goes out of scope; `release()` hands the object to the library
// where a call takes it over (SSL_set_bio, the extra chain certificates).
//
// The header names the library's types without its headers, so that users of the TLS classes
// need none of them.

#include <memory>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct PKCS12_st PKCS12;
struct stack_st_X509;

namespace qm {

struct TOpenSSLFree {
  void operator()(SSL_CTX* Object) const;
  void operator()(SSL* Object) const;
  void operator()(BIO* Object) const;
  void operator()(X509* Object) const;
  void operator()(EVP_PKEY* Object) const;
  void operator()(PKCS12* Object) const;
  // The stack and every certificate still on it.
  void operator()(stack_st_X509* Object) const;
};

template <typename T>
using TOpenSSLOwner = std::unique_ptr<T, TOpenSSLFree>;

using PSSLContext = TOpenSSLOwner<SSL_CTX>;
using PSSLSession = TOpenSSLOwner<SSL>;
using PBIO = TOpenSSLOwner<BIO>;
using PX509 = TOpenSSLOwner<X509>;
using PPrivateKey = TOpenSSLOwner<EVP_PKEY>;
using PPKCS12 = TOpenSSLOwner<PKCS12>;
using PX509Stack = TOpenSSLOwner<stack_st_X509>;

}  // namespace qm
