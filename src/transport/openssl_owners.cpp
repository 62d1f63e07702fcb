#include "transport/openssl_owners.h"

#include "transport/openssl_api.h"

namespace qm {

namespace {

// The stack's deleter is called with each certificate as a plain pointer.
void FreeX509(void* Certificate) {
  CryptoLib().X509_free(static_cast<X509*>(Certificate));
}

}  // namespace

void TOpenSSLFree::operator()(SSL_CTX* Object) const {
  OpenSSLLib().SSL_CTX_free(Object);
}

void TOpenSSLFree::operator()(SSL* Object) const {
  OpenSSLLib().SSL_free(Object);
}

void TOpenSSLFree::operator()(BIO* Object) const {
  CryptoLib().BIO_free(Object);
}

void TOpenSSLFree::operator()(X509* Object) const {
  CryptoLib().X509_free(Object);
}

void TOpenSSLFree::operator()(EVP_PKEY* Object) const {
  CryptoLib().EVP_PKEY_free(Object);
}

void TOpenSSLFree::operator()(PKCS12* Object) const {
  CryptoLib().PKCS12_free(Object);
}

void TOpenSSLFree::operator()(stack_st_X509* Object) const {
  CryptoLib().OPENSSL_sk_pop_free(reinterpret_cast<OPENSSL_STACK*>(Object), FreeX509);
}

}  // namespace qm
