// The engine's own OpenSSL library context, with the default provider and the
// legacy provider (RC2 and RC4 live there). Keeping our own context means the
// host program's OpenSSL configuration cannot change what the engine computes.
#pragma once

#include <openssl/types.h>

#include <cstddef>

class COpenSslContext {
 public:
  COpenSslContext();
  ~COpenSslContext();
  COpenSslContext(const COpenSslContext&) = delete;
  COpenSslContext& operator=(const COpenSslContext&) = delete;

  OSSL_LIB_CTX* LibCtx() const { return libctx_; }

  // Fills out with len bytes from the context's generator; false when it fails.
  bool RandomBytes(void* out, size_t len) const;

 private:
  OSSL_LIB_CTX* libctx_ = nullptr;
  OSSL_PROVIDER* default_ = nullptr;
  OSSL_PROVIDER* legacy_ = nullptr;
};
