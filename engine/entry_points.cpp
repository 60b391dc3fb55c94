// The 24 provider entry points. Each makes its argument checks in a fixed
// order, resolves the context, runs the context's operation and reports the
// result as a BOOL plus the thread's last error. No exception leaves them.
#include "engine_module.h"
#include "handle_registry.h"
#include "hash_object.h"
#include "prov_context.h"
#include "random_generator.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>
#include <kavrin/kernel/text.h>

#include <new>
#include <type_traits>
#include <vector>

#define ORVEX_ENTRY extern "C" __attribute__((visibility("default")))

namespace {

constexpr DWORD kVerifyContextBits = 0xF0000000;

template <class Body>
BOOL Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    SetLastError(NTE_NO_MEMORY);
  } catch (...) {
    SetLastError(NTE_FAIL);
  }
  return FALSE;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::shared_ptr<CProvContext> ResolveContext(HCRYPTPROV prov) {
  return Engine().Registry().Resolve<CProvContext>(prov, HK_CONTEXT);
}

bool IsKeyHandle(HCRYPTKEY key) {
  return Engine().Registry().ResolveHandle(key, HK_KEY) != nullptr;
}

bool IsHashHandle(HCRYPTHASH hash) {
  return Engine().Registry().ResolveHandle(hash, HK_HASH) != nullptr;
}

// The operation's code is already the last error.
BOOL Succeeded(DWORD result) { return result == 0 ? TRUE : FALSE; }

// The operation's nonzero code becomes the last error.
BOOL Reported(DWORD result) {
  if (result == 0) return TRUE;
  SetLastError(result);
  return FALSE;
}

// Hash and signature rows report every later failure as NTE_NO_MEMORY.
BOOL OutOfMemoryOnFailure(DWORD result) {
  if (result == 0) return TRUE;
  SetLastError(NTE_NO_MEMORY);
  return FALSE;
}

// Rows that write into the caller's buffer or read a hash value keep two
// answers of their own: a buffer too small (ERROR_MORE_DATA, with the needed
// length given back) and a value released by a verification
// (NTE_BAD_HASH_STATE). Every other failure is NTE_NO_MEMORY.
BOOL OutOfMemoryUnlessSized(DWORD result) {
  if (result == ERROR_MORE_DATA || result == static_cast<DWORD>(NTE_BAD_HASH_STATE)) {
    SetLastError(result);
    return FALSE;
  }
  return OutOfMemoryOnFailure(result);
}

}  // namespace

ORVEX_ENTRY BOOL WINAPI CPAcquireContextW(HCRYPTPROV* phProv, LPWSTR pszContainer, DWORD dwFlags,
                                          PVTableProvStrucW pVTable) {
  return Guarded([&] {
    if (phProv == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *phProv = 0;
    if ((dwFlags & kVerifyContextBits) != 0 && pszContainer != nullptr) return Fail(NTE_BAD_FLAGS);
    if ((dwFlags & CRYPT_DELETEKEYSET) != 0 && (dwFlags & CRYPT_NEWKEYSET) != 0) {
      return Fail(NTE_BAD_FLAGS);
    }
    if ((dwFlags & CRYPT_DELETEKEYSET) != 0 && (dwFlags & kVerifyContextBits) != 0) {
      return Fail(NTE_BAD_FLAGS);
    }
    return AcquireProvContext(pszContainer, dwFlags, phProv);
  });
}

ORVEX_ENTRY BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPSTR pszContainer, DWORD dwFlags,
                                         PVTableProvStruc pVTable) {
  return Guarded([&] {
    if (pszContainer == nullptr) return CPAcquireContextW(phProv, nullptr, dwFlags, nullptr);
    const int needed = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED | MB_ERR_INVALID_CHARS,
                                           pszContainer, -1, nullptr, 0);
    if (needed <= 0) {
      // Bytes that are not text in the ANSI code page name no container.
      if (phProv != nullptr) *phProv = 0;
      return Fail(NTE_BAD_KEYSET_PARAM);
    }
    std::vector<WCHAR> name(static_cast<size_t>(needed) + 1, 0);
    MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED | MB_ERR_INVALID_CHARS, pszContainer, -1,
                        name.data(), needed);
    return CPAcquireContextW(phProv, name.data(), dwFlags, nullptr);
  });
}

ORVEX_ENTRY BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  return Guarded([&] {
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    if (hProv == 0) return Fail(NTE_BAD_UID);
    return ReleaseProvContext(hProv);
  });
}

ORVEX_ENTRY BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
  return Guarded([&] {
    if (hProv == 0) return Fail(ERROR_INVALID_HANDLE);
    if (Algid != AT_KEYEXCHANGE && Algid != AT_SIGNATURE && Algid != CALG_RC2 &&
        Algid != CALG_RC4) {
      return Fail(NTE_BAD_ALGID);
    }
    // Session keys are made by derivation or import only; the caller's last
    // error stays as it was.
    if (Algid == CALG_RC2 || Algid == CALG_RC4) return FALSE;
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    if (phKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Succeeded(context->GenKey(Algid, dwFlags, phKey));
  });
}

ORVEX_ENTRY BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData,
                                    DWORD dwFlags, HCRYPTKEY* phKey) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    if (hBaseData == 0 || !IsHashHandle(hBaseData)) return Fail(NTE_BAD_HASH);
    if (phKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Reported(context->DeriveKey(Algid, hBaseData, dwFlags, phKey));
  });
}

ORVEX_ENTRY BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    if (!IsKeyHandle(hKey)) return Fail(NTE_BAD_KEY);
    return Succeeded(context->DestroyKey(hKey));
  });
}

ORVEX_ENTRY BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                      DWORD dwFlags) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    if (!IsKeyHandle(hKey)) return Fail(NTE_BAD_KEY);
    // No key parameter can be set from outside.
    return Fail(NTE_BAD_TYPE);
  });
}

ORVEX_ENTRY BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                      DWORD* pdwDataLen, DWORD dwFlags) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    if (!IsKeyHandle(hKey)) return Fail(NTE_BAD_KEY);
    return Succeeded(context->GetKeyParam(hKey, dwParam, pbData, pdwDataLen, dwFlags));
  });
}

ORVEX_ENTRY BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                       DWORD dwFlags) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    return Succeeded(context->SetProvParam(dwParam, pbData, dwFlags));
  });
}

ORVEX_ENTRY BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                       DWORD* pdwDataLen, DWORD dwFlags) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    return Succeeded(context->GetProvParam(dwParam, pbData, pdwDataLen, dwFlags));
  });
}

ORVEX_ENTRY BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam,
                                       BYTE* pbData, DWORD dwFlags) {
  return Guarded([&] {
    if (dwParam != HP_HASHVAL) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    return OutOfMemoryOnFailure(context->SetHashParam(hHash, dwParam, pbData, dwFlags));
  });
}

ORVEX_ENTRY BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam,
                                       BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
  return Guarded([&] {
    if (dwParam != HP_ALGID && dwParam != HP_HASHVAL && dwParam != HP_HASHSIZE) {
      return Fail(NTE_BAD_TYPE);
    }
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    return OutOfMemoryUnlessSized(
        context->GetHashParam(hHash, dwParam, pbData, pdwDataLen, dwFlags));
  });
}

ORVEX_ENTRY BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey,
                                    DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                                    DWORD* pdwDataLen) {
  return Guarded([&] {
    if (hProv == 0) return Fail(ERROR_INVALID_HANDLE);
    if (hKey == 0) return Fail(ERROR_INVALID_HANDLE);
    if ((dwBlobType & 1) == 0 && (dwBlobType & 6) != 6) return Fail(NTE_BAD_TYPE);
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Succeeded(context->ExportKey(hKey, hPubKey, dwBlobType, dwFlags, pbData, pdwDataLen));
  });
}

ORVEX_ENTRY BOOL WINAPI CPImportKey(HCRYPTPROV hProv, CONST BYTE* pbData, DWORD dwDataLen,
                                    HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey) {
  return Guarded([&] {
    if (phKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const auto context = ResolveContext(hProv);
    if (!context) {
      *phKey = 0;
      return Fail(NTE_BAD_PROVIDER);
    }
    const DWORD result = context->ImportKey(pbData, dwDataLen, hPubKey, dwFlags, phKey);
    if (result != 0) *phKey = 0;
    return Succeeded(result);
  });
}

ORVEX_ENTRY BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                  DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    if (!IsKeyHandle(hKey)) return Fail(NTE_BAD_KEY);
    if (hHash != 0 && !IsHashHandle(hHash)) return Fail(NTE_BAD_HASH);
    if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Reported(
        context->Encrypt(hKey, hHash, Final, dwFlags, pbData, pdwDataLen, dwBufLen));
  });
}

ORVEX_ENTRY BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                  DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    if (!IsKeyHandle(hKey)) return Fail(NTE_BAD_KEY);
    if (hHash != 0 && !IsHashHandle(hHash)) return Fail(NTE_BAD_HASH);
    if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Reported(context->Decrypt(hKey, hHash, Final, dwFlags, pbData, pdwDataLen));
  });
}

ORVEX_ENTRY BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                     HCRYPTHASH* phHash) {
  return Guarded([&] {
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    if (!CHashObject::IsSupported(Algid)) return Fail(NTE_BAD_ALGID);
    if (hKey != 0) return Fail(NTE_BAD_KEY);
    const auto context = ResolveContext(hProv);
    if (!context || phHash == nullptr) return Fail(NTE_NO_MEMORY);
    return OutOfMemoryOnFailure(context->CreateHash(Algid, hKey, dwFlags, phHash));
  });
}

ORVEX_ENTRY BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, CONST BYTE* pbData,
                                   DWORD dwDataLen, DWORD dwFlags) {
  return Guarded([&] {
    if (dwFlags == CRYPT_USERDATA && dwDataLen != 0) return Fail(NTE_BAD_LEN);
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_NO_MEMORY);
    const DWORD result = context->HashData(hHash, pbData, dwDataLen, dwFlags);
    // A cancelled data entry fails without an error of its own.
    if (result == CProvContext::kFailedWithoutError) return FALSE;
    return OutOfMemoryOnFailure(result);
  });
}

ORVEX_ENTRY BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey,
                                         DWORD dwFlags) {
  return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

ORVEX_ENTRY BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec,
                                   LPCWSTR sDescription, DWORD dwFlags, BYTE* pbSignature,
                                   DWORD* pdwSigLen) {
  return Guarded([&] {
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    const auto context = ResolveContext(hProv);
    if (!context || pdwSigLen == nullptr) return Fail(NTE_NO_MEMORY);
    return OutOfMemoryUnlessSized(
        context->SignHash(hHash, dwKeySpec, sDescription, dwFlags, pbSignature, pdwSigLen));
  });
}

ORVEX_ENTRY BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_NO_MEMORY);
    return OutOfMemoryOnFailure(context->DestroyHash(hHash));
  });
}

ORVEX_ENTRY BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash,
                                          CONST BYTE* pbSignature, DWORD dwSigLen,
                                          HCRYPTKEY hPubKey, LPCWSTR sDescription,
                                          DWORD dwFlags) {
  return Guarded([&] {
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    if (hPubKey == 0) return Fail(NTE_BAD_KEY);
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_NO_MEMORY);
    return OutOfMemoryUnlessSized(context->VerifySignature(hHash, pbSignature, dwSigLen, hPubKey,
                                                           sDescription, dwFlags));
  });
}

ORVEX_ENTRY BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
  return Guarded([&] {
    if (dwLen == 0 || pbBuffer == nullptr) return FALSE;
    return GenRandom(pbBuffer, dwLen) ? TRUE : Fail(NTE_FAIL);
  });
}

ORVEX_ENTRY BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
  return Guarded([&] {
    const auto context = ResolveContext(hProv);
    if (!context) return Fail(NTE_BAD_PROVIDER);
    if (phUserKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Succeeded(context->GetUserKey(dwKeySpec, phUserKey));
  });
}

// Every entry point has exactly the signature the forwarders call it with.
#define ORVEX_CHECK_SIGNATURE(name, params, args) \
  static_assert(std::is_same_v<decltype(&name), PFN_##name>, #name " signature");
KAVRIN_CSP_ENTRY_POINTS(ORVEX_CHECK_SIGNATURE)
#undef ORVEX_CHECK_SIGNATURE
