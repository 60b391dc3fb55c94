// The object behind a hash handle: a running digest, its value once finished,
// and the signature and verification of that value with an RSA key.
//
// A hash is open until its value is read, set or signed; it is finished from
// then on and takes no more data. A verification releases the value: the
// object then answers NTE_BAD_HASH_STATE to everything that needs the value,
// until a new value is set.
//
// Every operation takes the object's own lock, so two threads that use one
// hash at once cannot corrupt it (callers are still expected not to).
#pragma once

#include "openssl_ptr.h"
#include "secure_buffer.h"

#include <kavrin/crypt.h>

#include <memory>
#include <mutex>

// SHA-256 under the engine's own algorithm identifier (not CALG_SHA_256).
inline constexpr ALG_ID ALGID_SHA256 = 0x02A0;

struct HashAlgorithm;

class CHashObject {
 public:
  static constexpr DWORD kFinished = 0x1;

  // True for the four algorithms a hash can be created for.
  static bool IsSupported(ALG_ID algid);
  // A new hash object of a supported algorithm, its digest started (or, for
  // CALG_SSL3_SHAMD5, finished and waiting for its value). A digest that
  // cannot be started leaves an object whose later digest steps fail.
  // Null when the algorithm is not supported or no memory is left.
  static std::shared_ptr<CHashObject> Create(OSSL_LIB_CTX* libctx, ALG_ID algid);

  ~CHashObject();
  CHashObject(const CHashObject&) = delete;
  CHashObject& operator=(const CHashObject&) = delete;

  ALG_ID Algid() const { return algid_; }
  DWORD Size() const { return size_; }

  // Adds data to the running digest. NTE_BAD_HASH_STATE once finished;
  // NTE_FAIL when the digest fails.
  DWORD Update(const BYTE* data, DWORD length);
  // Finishes the digest if it is still open and copies min(*length, size)
  // bytes of the value to out, setting *length to the count copied.
  // NTE_BAD_HASH_STATE when a verification released the value.
  DWORD CopyValue(BYTE* out, DWORD* length);
  // Finishes the digest if it is still open and returns the whole value.
  DWORD GetValue(SecureBytes* value);
  // Takes size bytes as the value, discarding any data hashed so far.
  DWORD SetValue(const BYTE* value);

  // Signs the value (finishing the digest first) with the private key:
  // PKCS#1 v1.5, byte-reversed. out has room for the key's modulus length,
  // which *length receives.
  DWORD Sign(EVP_PKEY* key, BYTE* out, DWORD* length);
  // Checks a byte-reversed signature of the value with the key, and releases
  // the value whatever the outcome.
  DWORD Verify(EVP_PKEY* key, const BYTE* signature, DWORD length);

 private:
  CHashObject(OSSL_LIB_CTX* libctx, const HashAlgorithm& algorithm);
  void Start();
  DWORD FinishLocked();
  EvpPkeyCtxPtr KeyContext(EVP_PKEY* key) const;

  ALG_ID algid_;
  DWORD size_;
  SecureBytes value_;
  bool value_released_ = false;
  EvpMdCtxPtr md_ctx_;
  EvpMdPtr md_;
  DWORD state_ = 0;
  OSSL_LIB_CTX* libctx_;
  const HashAlgorithm& algorithm_;
  mutable std::mutex lock_;
};
