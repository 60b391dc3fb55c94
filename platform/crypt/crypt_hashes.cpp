// Hashes: creating, feeding, reading and setting them, signing and verifying
// signatures, destroying them.
#include "crypt/crypt_call.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>

using namespace kavrin::platform::crypt;

namespace {

void DestroyHash(const ProviderContext& context, uintptr_t hash) {
  context.cp().CPDestroyHash(context.prov, hash);
}

}  // namespace

KAVRIN_EXTERN_C BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                                            DWORD dwFlags, HCRYPTHASH* phHash) {
  return Guarded([&] {
    if (phHash == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const auto record = FindHandle(hProv, HandleKind::kContext);
    if (!record) return Fail(NTE_BAD_UID);
    const ProviderContext& context = *record->context;
    HCRYPTKEY key = 0;
    if (!InnerOfOptional(hKey, HandleKind::kKey, context, &key)) return Fail(NTE_BAD_KEY);
    HCRYPTHASH hash = 0;
    if (!context.cp().CPCreateHash(context.prov, Algid, key, dwFlags, &hash)) return FALSE;
    return WrapNew(HandleKind::kHash, record->context, hash, phHash, DestroyHash);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                          DWORD dwFlags) {
  return Guarded([&] {
    const auto record = FindHandle(hHash, HandleKind::kHash);
    if (!record) return Fail(NTE_BAD_HASH);
    const ProviderContext& context = *record->context;
    return context.cp().CPHashData(context.prov, record->inner, pbData, dwDataLen, dwFlags);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                              DWORD* pdwDataLen, DWORD dwFlags) {
  return Guarded([&] {
    const auto record = FindHandle(hHash, HandleKind::kHash);
    if (!record) return Fail(NTE_BAD_HASH);
    const ProviderContext& context = *record->context;
    return context.cp().CPGetHashParam(context.prov, record->inner, dwParam, pbData, pdwDataLen,
                                       dwFlags);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                                              DWORD dwFlags) {
  return Guarded([&] {
    const auto record = FindHandle(hHash, HandleKind::kHash);
    if (!record) return Fail(NTE_BAD_HASH);
    const ProviderContext& context = *record->context;
    return context.cp().CPSetHashParam(context.prov, record->inner, dwParam,
                                       const_cast<BYTE*>(pbData), dwFlags);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec,
                                           LPCWSTR szDescription, DWORD dwFlags,
                                           BYTE* pbSignature, DWORD* pdwSigLen) {
  return Guarded([&] {
    const auto record = FindHandle(hHash, HandleKind::kHash);
    if (!record) return Fail(NTE_BAD_HASH);
    const ProviderContext& context = *record->context;
    return context.cp().CPSignHash(context.prov, record->inner, dwKeySpec, szDescription, dwFlags,
                                   pbSignature, pdwSigLen);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature,
                                                  DWORD dwSigLen, HCRYPTKEY hPubKey,
                                                  LPCWSTR szDescription, DWORD dwFlags) {
  return Guarded([&] {
    const auto record = FindHandle(hHash, HandleKind::kHash);
    if (!record) return Fail(NTE_BAD_HASH);
    const ProviderContext& context = *record->context;
    HCRYPTKEY key = 0;
    if (!InnerOfOptional(hPubKey, HandleKind::kKey, context, &key)) return Fail(NTE_BAD_KEY);
    return context.cp().CPVerifySignature(context.prov, record->inner, pbSignature, dwSigLen, key,
                                          szDescription, dwFlags);
  });
}

// The handle is gone afterwards whatever the provider answers.
KAVRIN_EXTERN_C BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
  return Guarded([&] {
    const auto record = WithdrawHandle(hHash, HandleKind::kHash);
    if (!record) return Fail(NTE_BAD_HASH);
    const ProviderContext& context = *record->context;
    return context.cp().CPDestroyHash(context.prov, record->inner);
  });
}
