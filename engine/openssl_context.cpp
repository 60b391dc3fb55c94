#include "openssl_context.h"

#include <openssl/provider.h>
#include <openssl/rand.h>

COpenSslContext::COpenSslContext() {
  libctx_ = OSSL_LIB_CTX_new();
  if (libctx_ == nullptr) return;
  default_ = OSSL_PROVIDER_load(libctx_, "default");
  // Missing legacy algorithms only fail the operations that need them.
  legacy_ = OSSL_PROVIDER_load(libctx_, "legacy");
}

COpenSslContext::~COpenSslContext() {
  if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
  if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
  if (libctx_ != nullptr) OSSL_LIB_CTX_free(libctx_);
}

bool COpenSslContext::RandomBytes(void* out, size_t len) const {
  if (libctx_ == nullptr) return false;
  return RAND_bytes_ex(libctx_, static_cast<unsigned char*>(out), len, 0) == 1;
}
