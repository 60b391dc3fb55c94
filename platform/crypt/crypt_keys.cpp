// Keys: generating, deriving, importing, fetching, exporting and destroying
// them, their parameters, and encryption.
#include "crypt/crypt_call.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>

using namespace kavrin::platform::crypt;

namespace {

void DestroyKey(const ProviderContext& context, uintptr_t key) {
  context.cp().CPDestroyKey(context.prov, key);
}

}  // namespace

KAVRIN_EXTERN_C BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags,
                                        HCRYPTKEY* phKey) {
  return Guarded([&] {
    if (phKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const auto record = FindHandle(hProv, HandleKind::kContext);
    if (!record) return Fail(NTE_BAD_UID);
    const ProviderContext& context = *record->context;
    HCRYPTKEY key = 0;
    if (!context.cp().CPGenKey(context.prov, Algid, dwFlags, &key)) return FALSE;
    return WrapNew(HandleKind::kKey, record->context, key, phKey, DestroyKey);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData,
                                           DWORD dwFlags, HCRYPTKEY* phKey) {
  return Guarded([&] {
    if (phKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const auto record = FindHandle(hProv, HandleKind::kContext);
    if (!record) return Fail(NTE_BAD_UID);
    const ProviderContext& context = *record->context;
    HCRYPTHASH hash = 0;
    if (hBaseData == 0 || !InnerOfOptional(hBaseData, HandleKind::kHash, context, &hash)) {
      return Fail(NTE_BAD_HASH);
    }
    HCRYPTKEY key = 0;
    if (!context.cp().CPDeriveKey(context.prov, Algid, hash, dwFlags, &key)) return FALSE;
    return WrapNew(HandleKind::kKey, record->context, key, phKey, DestroyKey);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec,
                                            HCRYPTKEY* phUserKey) {
  return Guarded([&] {
    if (phUserKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const auto record = FindHandle(hProv, HandleKind::kContext);
    if (!record) return Fail(NTE_BAD_UID);
    const ProviderContext& context = *record->context;
    HCRYPTKEY key = 0;
    if (!context.cp().CPGetUserKey(context.prov, dwKeySpec, &key)) return FALSE;
    return WrapNew(HandleKind::kKey, record->context, key, phUserKey, DestroyKey);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen,
                                           HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey) {
  return Guarded([&] {
    if (phKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *phKey = 0;
    const auto record = FindHandle(hProv, HandleKind::kContext);
    if (!record) return Fail(NTE_BAD_UID);
    const ProviderContext& context = *record->context;
    HCRYPTKEY unwrap = 0;
    if (!InnerOfOptional(hPubKey, HandleKind::kKey, context, &unwrap)) return Fail(NTE_BAD_KEY);
    HCRYPTKEY key = 0;
    if (!context.cp().CPImportKey(context.prov, pbData, dwDataLen, unwrap, dwFlags, &key)) {
      return FALSE;
    }
    return WrapNew(HandleKind::kKey, record->context, key, phKey, DestroyKey);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                                           DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
  return Guarded([&] {
    const auto record = FindHandle(hKey, HandleKind::kKey);
    if (!record) return Fail(NTE_BAD_KEY);
    const ProviderContext& context = *record->context;
    HCRYPTKEY wrap = 0;
    if (!InnerOfOptional(hExpKey, HandleKind::kKey, context, &wrap)) return Fail(NTE_BAD_KEY);
    return context.cp().CPExportKey(context.prov, record->inner, wrap, dwBlobType, dwFlags, pbData,
                                    pdwDataLen);
  });
}

// The handle is gone afterwards whatever the provider answers.
KAVRIN_EXTERN_C BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
  return Guarded([&] {
    const auto record = WithdrawHandle(hKey, HandleKind::kKey);
    if (!record) return Fail(NTE_BAD_KEY);
    const ProviderContext& context = *record->context;
    return context.cp().CPDestroyKey(context.prov, record->inner);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                                             DWORD dwFlags) {
  return Guarded([&] {
    const auto record = FindHandle(hKey, HandleKind::kKey);
    if (!record) return Fail(NTE_BAD_KEY);
    const ProviderContext& context = *record->context;
    return context.cp().CPSetKeyParam(context.prov, record->inner, dwParam,
                                      const_cast<BYTE*>(pbData), dwFlags);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                             DWORD* pdwDataLen, DWORD dwFlags) {
  return Guarded([&] {
    const auto record = FindHandle(hKey, HandleKind::kKey);
    if (!record) return Fail(NTE_BAD_KEY);
    const ProviderContext& context = *record->context;
    return context.cp().CPGetKeyParam(context.prov, record->inner, dwParam, pbData, pdwDataLen,
                                      dwFlags);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                         DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                                         DWORD dwBufLen) {
  return Guarded([&] {
    const auto record = FindHandle(hKey, HandleKind::kKey);
    if (!record) return Fail(NTE_BAD_KEY);
    const ProviderContext& context = *record->context;
    HCRYPTHASH hash = 0;
    if (!InnerOfOptional(hHash, HandleKind::kHash, context, &hash)) return Fail(NTE_BAD_HASH);
    return context.cp().CPEncrypt(context.prov, record->inner, hash, Final, dwFlags, pbData,
                                  pdwDataLen, dwBufLen);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                         DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
  return Guarded([&] {
    const auto record = FindHandle(hKey, HandleKind::kKey);
    if (!record) return Fail(NTE_BAD_KEY);
    const ProviderContext& context = *record->context;
    HCRYPTHASH hash = 0;
    if (!InnerOfOptional(hHash, HandleKind::kHash, context, &hash)) return Fail(NTE_BAD_HASH);
    return context.cp().CPDecrypt(context.prov, record->inner, hash, Final, dwFlags, pbData,
                                  pdwDataLen);
  });
}
