// Owners for the OpenSSL objects the engine creates: one std::unique_ptr
// type per object kind, so that no raw pointer ever owns one.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>

#include <memory>

namespace openssl_ptr_detail {

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};

}  // namespace openssl_ptr_detail

template <class T, void (*Free)(T*)>
using OpenSslPtr = std::unique_ptr<T, openssl_ptr_detail::Deleter<T, Free>>;

using EvpPkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtxPtr = OpenSslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpMdPtr = OpenSslPtr<EVP_MD, EVP_MD_free>;
using EvpMdCtxPtr = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using EvpCipherPtr = OpenSslPtr<EVP_CIPHER, EVP_CIPHER_free>;
using EvpCipherCtxPtr = OpenSslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using OsslParamBldPtr = OpenSslPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using OsslParamPtr = OpenSslPtr<OSSL_PARAM, OSSL_PARAM_free>;
// Big numbers that may hold private key parts are wiped when freed.
using BignumPtr = OpenSslPtr<BIGNUM, BN_clear_free>;

// A second owner of the same key.
inline EvpPkeyPtr ShareKey(EVP_PKEY* key) {
  if (key == nullptr || EVP_PKEY_up_ref(key) != 1) return nullptr;
  return EvpPkeyPtr(key);
}
