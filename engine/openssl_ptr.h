// Owners for the OpenSSL objects the engine creates: one std::unique_ptr type
// per object kind, each freeing with the kind's own function.
#pragma once

#include <openssl/evp.h>

#include <memory>

namespace openssl_ptr_detail {

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const noexcept { Free(object); }
};

}  // namespace openssl_ptr_detail

using EvpMdPtr = std::unique_ptr<EVP_MD, openssl_ptr_detail::Deleter<EVP_MD, EVP_MD_free>>;
using EvpMdCtxPtr =
    std::unique_ptr<EVP_MD_CTX, openssl_ptr_detail::Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using EvpCipherPtr =
    std::unique_ptr<EVP_CIPHER, openssl_ptr_detail::Deleter<EVP_CIPHER, EVP_CIPHER_free>>;
using EvpCipherCtxPtr =
    std::unique_ptr<EVP_CIPHER_CTX,
                    openssl_ptr_detail::Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, openssl_ptr_detail::Deleter<EVP_PKEY, EVP_PKEY_free>>;
using EvpPkeyCtxPtr =
    std::unique_ptr<EVP_PKEY_CTX, openssl_ptr_detail::Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
