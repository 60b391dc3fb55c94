// CPGenKey of a key pair: a new RSA key imported into the container slot of
// its type, as CPImportKey would import its private blob.
#include "engine_module.h"
#include "openssl_ptr.h"
#include "prov_context.h"
#include "rsa_key_blob.h"

#include <kavrin/errors.h>

#include <openssl/rsa.h>

#include <cstdio>

namespace {

constexpr DWORD kDefaultKeyBits = 1024;
constexpr unsigned int kPublicExponent = 65537;

DWORD Fail(DWORD code) {
  SetLastError(code);
  return code;
}

EvpPkeyPtr GenerateRsaKey(OSSL_LIB_CTX* libctx, DWORD bits) {
  EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(libctx, "RSA", nullptr));
  BignumPtr exponent(BN_new());
  if (!context || !exponent || BN_set_word(exponent.get(), kPublicExponent) != 1 ||
      EVP_PKEY_keygen_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), static_cast<int>(bits)) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context.get(), exponent.get()) != 1) {
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_generate(context.get(), &key) != 1) return nullptr;
  return EvpPkeyPtr(key);
}

}  // namespace

DWORD CProvContext::GenKey(ALG_ID algid, DWORD flags, HCRYPTKEY* key) {
  if ((Flags() & CTXF_VERIFYCONTEXT) != 0) return Fail(NTE_PERM);
  if ((Flags() & CTXF_SILENT) != 0 && (flags & CRYPT_USER_PROTECTED) != 0) {
    return Fail(NTE_SILENT_CONTEXT);
  }
  if ((flags & CRYPT_ARCHIVABLE) != 0) {
    AddFlags(algid == AT_SIGNATURE ? CTXF_SIG_ARCHIVABLE : CTXF_EXCH_ARCHIVABLE);
  }
  const DWORD requested = flags >> 16;
  const DWORD bits = requested != 0 ? requested : kDefaultKeyBits;

  OSSL_LIB_CTX* libctx = Engine().OpenSsl().LibCtx();
  const EvpPkeyPtr pair = GenerateRsaKey(libctx, bits);
  if (!pair) {
    std::fputs("RSA_generate_key_ex failed!\n", stdout);
    return Fail(NTE_FAIL);
  }
  if (!IsConsistentRsaKey(libctx, pair.get())) {
    std::fputs("RSA key is unavailable!\n", stdout);
    return Fail(NTE_FAIL);
  }
  SecureBytes blob;
  const ALG_ID key_algid = algid == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  if (!RsaPrivateBlobFromKey(pair.get(), key_algid, &blob)) return Fail(NTE_FAIL);
  if (ImportKey(blob.data(), static_cast<DWORD>(blob.size()), 0, flags, key) != 0) {
    return Fail(NTE_FAIL);
  }
  return 0;
}
