// CryptoAPI types and constants shared by the provider modules, the CryptoAPI
// host and the callers of both. Values are the documented CryptoAPI ones.
//
// KAVRIN_CSP_ENTRY_POINTS lists the 24 provider entry points with their
// parameter lists and argument lists, so that a module that forwards them (the
// front provider) or calls them by name (the CryptoAPI host, tests, tools) can
// be written once for all of them.
#pragma once

#include <kavrin/types.h>

typedef uintptr_t HCRYPTPROV;
typedef uintptr_t HCRYPTKEY;
typedef uintptr_t HCRYPTHASH;
typedef unsigned int ALG_ID;

// Algorithm identifiers: class | type | sub-id.
#define ALG_CLASS_ANY 0
#define ALG_CLASS_SIGNATURE (1 << 13)
#define ALG_CLASS_MSG_ENCRYPT (2 << 13)
#define ALG_CLASS_DATA_ENCRYPT (3 << 13)
#define ALG_CLASS_HASH (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define ALG_TYPE_ANY 0
#define ALG_TYPE_DSS (1 << 9)
#define ALG_TYPE_RSA (2 << 9)
#define ALG_TYPE_BLOCK (3 << 9)
#define ALG_TYPE_STREAM (4 << 9)
#define GET_ALG_CLASS(x) ((x) & (7 << 13))
#define GET_ALG_TYPE(x) ((x) & (15 << 9))
#define GET_ALG_SID(x) ((x) & 511)

#define CALG_MD2 0x00008001u
#define CALG_MD4 0x00008002u
#define CALG_MD5 0x00008003u
#define CALG_SHA 0x00008004u
#define CALG_SHA1 0x00008004u
#define CALG_MAC 0x00008005u
#define CALG_SSL3_SHAMD5 0x00008008u
#define CALG_HMAC 0x00008009u
#define CALG_SHA_256 0x0000800Cu
#define CALG_SHA_384 0x0000800Du
#define CALG_SHA_512 0x0000800Eu
#define CALG_RSA_SIGN 0x00002400u
#define CALG_RSA_KEYX 0x0000A400u
#define CALG_DES 0x00006601u
#define CALG_RC2 0x00006602u
#define CALG_3DES 0x00006603u
#define CALG_RC4 0x00006801u

// Key specs.
#define AT_KEYEXCHANGE 1u
#define AT_SIGNATURE 2u

// Provider types and implementation types.
#define PROV_RSA_FULL 1u
#define CRYPT_IMPL_HARDWARE 1u
#define CRYPT_IMPL_SOFTWARE 2u
#define CRYPT_IMPL_MIXED 3u
#define CRYPT_IMPL_UNKNOWN 4u

// CryptAcquireContext flags.
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008u
#define CRYPT_DELETEKEYSET 0x00000010u
#define CRYPT_MACHINE_KEYSET 0x00000020u
#define CRYPT_SILENT 0x00000040u

// CryptGenKey / CryptImportKey flags (the key size lives in the upper 16 bits).
#define CRYPT_EXPORTABLE 0x00000001u
#define CRYPT_USER_PROTECTED 0x00000002u
#define CRYPT_CREATE_SALT 0x00000004u
#define CRYPT_UPDATE_KEY 0x00000008u
#define CRYPT_NO_SALT 0x00000010u
#define CRYPT_PREGEN 0x00000040u
#define CRYPT_ARCHIVABLE 0x00004000u

// CryptHashData flags.
#define CRYPT_USERDATA 1u

// CryptExportKey / CryptImportKey blob types.
#define SIMPLEBLOB 0x1u
#define PUBLICKEYBLOB 0x6u
#define PRIVATEKEYBLOB 0x7u
#define PLAINTEXTKEYBLOB 0x8u
#define OPAQUEKEYBLOB 0x9u
#define PUBLICKEYBLOBEX 0xAu
#define SYMMETRICWRAPKEYBLOB 0xBu
#define CUR_BLOB_VERSION 2u

// CryptGetProvParam / CryptSetProvParam parameters.
#define PP_CLIENT_HWND 1u
#define PP_ENUMALGS 1u
#define PP_ENUMCONTAINERS 2u
#define PP_IMPTYPE 3u
#define PP_NAME 4u
#define PP_VERSION 5u
#define PP_CONTAINER 6u
#define PP_CHANGE_PASSWORD 7u
#define PP_KEYSET_SEC_DESCR 8u
#define PP_CERTCHAIN 9u
#define PP_KEY_TYPE_SUBTYPE 10u
#define PP_CONTEXT_INFO 11u
#define PP_KEYEXCHANGE_KEYSIZE 12u
#define PP_SIGNATURE_KEYSIZE 13u
#define PP_KEYEXCHANGE_ALG 14u
#define PP_SIGNATURE_ALG 15u
#define PP_PROVTYPE 16u
#define PP_KEYSTORAGE 17u
#define PP_APPLI_CERT 18u
#define PP_SYM_KEYSIZE 19u
#define PP_SESSION_KEYSIZE 20u
#define PP_UI_PROMPT 21u
#define PP_ENUMALGS_EX 22u
#define PP_ENUMMANDROOTS 25u
#define PP_ENUMELECTROOTS 26u
#define PP_KEYSET_TYPE 27u
#define PP_ADMIN_PIN 31u
#define PP_KEYEXCHANGE_PIN 32u
#define PP_SIGNATURE_PIN 33u
#define PP_SIG_KEYSIZE_INC 34u
#define PP_KEYX_KEYSIZE_INC 35u
#define PP_UNIQUE_CONTAINER 36u
#define PP_SGC_INFO 37u
#define PP_USE_HARDWARE_RNG 38u
#define PP_KEYSPEC 39u
#define PP_ENUMEX_SIGNING_PROT 40u
#define PP_CRYPT_COUNT_KEY_USE 41u

// CryptGetKeyParam / CryptSetKeyParam parameters.
#define KP_IV 1u
#define KP_SALT 2u
#define KP_PADDING 3u
#define KP_MODE 4u
#define KP_MODE_BITS 5u
#define KP_PERMISSIONS 6u
#define KP_ALGID 7u
#define KP_BLOCKLEN 8u
#define KP_KEYLEN 9u
#define KP_EFFECTIVE_KEYLEN 19u

// CryptGetHashParam / CryptSetHashParam parameters.
#define HP_ALGID 0x0001u
#define HP_HASHVAL 0x0002u
#define HP_HASHSIZE 0x0004u
#define HP_HMAC_INFO 0x0005u

// Key blob header and the RSA public key record that follows it.
typedef struct _PUBLICKEYSTRUC {
  BYTE bType;
  BYTE bVersion;
  WORD reserved;
  ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
  DWORD magic;  // "RSA1" public, "RSA2" private
  DWORD bitlen;
  DWORD pubexp;
} RSAPUBKEY;

#define RSA1_MAGIC 0x31415352u
#define RSA2_MAGIC 0x32415352u

// What the operating system hands a provider at acquisition.
typedef BOOL(WINAPI* CRYPT_VERIFY_IMAGE_A)(LPCSTR szImage, CONST BYTE* pbSigData);
typedef BOOL(WINAPI* CRYPT_VERIFY_IMAGE_W)(LPCWSTR szImage, CONST BYTE* pbSigData);
typedef void(WINAPI* CRYPT_RETURN_HWND)(HWND* phWnd);

typedef struct _VTableProvStruc {
  DWORD Version;
  CRYPT_VERIFY_IMAGE_A FuncVerifyImage;
  CRYPT_RETURN_HWND FuncReturnhWnd;
  DWORD dwProvType;
  BYTE* pbContextInfo;
  DWORD cbContextInfo;
  LPSTR pszProvName;
} VTableProvStruc, *PVTableProvStruc;

typedef struct _VTableProvStrucW {
  DWORD Version;
  CRYPT_VERIFY_IMAGE_W FuncVerifyImage;
  CRYPT_RETURN_HWND FuncReturnhWnd;
  DWORD dwProvType;
  BYTE* pbContextInfo;
  DWORD cbContextInfo;
  LPWSTR pszProvName;
} VTableProvStrucW, *PVTableProvStrucW;

// X(name, (parameter list), (argument list)) for each provider entry point.
#define KAVRIN_CSP_ENTRY_POINTS(X)                                                               \
  X(CPAcquireContext,                                                                            \
    (HCRYPTPROV * phProv, LPSTR pszContainer, DWORD dwFlags, PVTableProvStruc pVTable),          \
    (phProv, pszContainer, dwFlags, pVTable))                                                    \
  X(CPAcquireContextW,                                                                           \
    (HCRYPTPROV * phProv, LPWSTR pszContainer, DWORD dwFlags, PVTableProvStrucW pVTable),        \
    (phProv, pszContainer, dwFlags, pVTable))                                                    \
  X(CPReleaseContext, (HCRYPTPROV hProv, DWORD dwFlags), (hProv, dwFlags))                       \
  X(CPGenKey, (HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY * phKey),                \
    (hProv, Algid, dwFlags, phKey))                                                              \
  X(CPDeriveKey,                                                                                 \
    (HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY * phKey),    \
    (hProv, Algid, hBaseData, dwFlags, phKey))                                                   \
  X(CPDestroyKey, (HCRYPTPROV hProv, HCRYPTKEY hKey), (hProv, hKey))                             \
  X(CPSetKeyParam,                                                                               \
    (HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE * pbData, DWORD dwFlags),             \
    (hProv, hKey, dwParam, pbData, dwFlags))                                                     \
  X(CPGetKeyParam,                                                                               \
    (HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE * pbData, DWORD * pdwDataLen,         \
     DWORD dwFlags),                                                                             \
    (hProv, hKey, dwParam, pbData, pdwDataLen, dwFlags))                                         \
  X(CPSetProvParam, (HCRYPTPROV hProv, DWORD dwParam, BYTE * pbData, DWORD dwFlags),             \
    (hProv, dwParam, pbData, dwFlags))                                                           \
  X(CPGetProvParam,                                                                              \
    (HCRYPTPROV hProv, DWORD dwParam, BYTE * pbData, DWORD * pdwDataLen, DWORD dwFlags),         \
    (hProv, dwParam, pbData, pdwDataLen, dwFlags))                                               \
  X(CPSetHashParam,                                                                              \
    (HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE * pbData, DWORD dwFlags),           \
    (hProv, hHash, dwParam, pbData, dwFlags))                                                    \
  X(CPGetHashParam,                                                                              \
    (HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE * pbData, DWORD * pdwDataLen,       \
     DWORD dwFlags),                                                                             \
    (hProv, hHash, dwParam, pbData, pdwDataLen, dwFlags))                                        \
  X(CPExportKey,                                                                                 \
    (HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,       \
     BYTE * pbData, DWORD * pdwDataLen),                                                         \
    (hProv, hKey, hPubKey, dwBlobType, dwFlags, pbData, pdwDataLen))                             \
  X(CPImportKey,                                                                                 \
    (HCRYPTPROV hProv, CONST BYTE * pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,   \
     HCRYPTKEY * phKey),                                                                         \
    (hProv, pbData, dwDataLen, hPubKey, dwFlags, phKey))                                         \
  X(CPEncrypt,                                                                                   \
    (HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,              \
     BYTE * pbData, DWORD * pdwDataLen, DWORD dwBufLen),                                         \
    (hProv, hKey, hHash, Final, dwFlags, pbData, pdwDataLen, dwBufLen))                          \
  X(CPDecrypt,                                                                                   \
    (HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,              \
     BYTE * pbData, DWORD * pdwDataLen),                                                         \
    (hProv, hKey, hHash, Final, dwFlags, pbData, pdwDataLen))                                    \
  X(CPCreateHash,                                                                                \
    (HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH * phHash),        \
    (hProv, Algid, hKey, dwFlags, phHash))                                                       \
  X(CPHashData,                                                                                  \
    (HCRYPTPROV hProv, HCRYPTHASH hHash, CONST BYTE * pbData, DWORD dwDataLen, DWORD dwFlags),   \
    (hProv, hHash, pbData, dwDataLen, dwFlags))                                                  \
  X(CPHashSessionKey, (HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags),       \
    (hProv, hHash, hKey, dwFlags))                                                               \
  X(CPSignHash,                                                                                  \
    (HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR sDescription, DWORD dwFlags,   \
     BYTE * pbSignature, DWORD * pdwSigLen),                                                     \
    (hProv, hHash, dwKeySpec, sDescription, dwFlags, pbSignature, pdwSigLen))                    \
  X(CPDestroyHash, (HCRYPTPROV hProv, HCRYPTHASH hHash), (hProv, hHash))                         \
  X(CPVerifySignature,                                                                           \
    (HCRYPTPROV hProv, HCRYPTHASH hHash, CONST BYTE * pbSignature, DWORD dwSigLen,               \
     HCRYPTKEY hPubKey, LPCWSTR sDescription, DWORD dwFlags),                                    \
    (hProv, hHash, pbSignature, dwSigLen, hPubKey, sDescription, dwFlags))                       \
  X(CPGenRandom, (HCRYPTPROV hProv, DWORD dwLen, BYTE * pbBuffer), (hProv, dwLen, pbBuffer))     \
  X(CPGetUserKey, (HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY * phUserKey),                    \
    (hProv, dwKeySpec, phUserKey))

// Pointer types PFN_CPAcquireContext ... PFN_CPGetUserKey.
#define KAVRIN_CSP_DECLARE_PFN(name, params, args) typedef BOOL(WINAPI* PFN_##name) params;
KAVRIN_CSP_ENTRY_POINTS(KAVRIN_CSP_DECLARE_PFN)
#undef KAVRIN_CSP_DECLARE_PFN

// The application functions of the CryptoAPI host (advapi32's role).
//
// CryptAcquireContextW/A find the provider under HKEY_LOCAL_MACHINE
// "SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>" (a null name: the
// default provider of the type, "Defaults\Provider Types\Type NNN" value
// "Name"), whose "Type" must equal dwProvType, load the module at its
// "Image Path" and enter it through CPAcquireContext with the container name
// in the ANSI code page. The handles they and the other functions give out
// stand for the provider's handles; every call reaches the provider that
// issued them, so several providers can be used at once. Releasing a context
// makes its key and hash handles invalid; the module is freed with the last
// context that uses it.
//
// Errors of the host itself (the provider sets the rest): ERROR_INVALID_PARAMETER
// for a null handle out-pointer; NTE_BAD_UID, NTE_BAD_KEY, NTE_BAD_HASH for a
// context, key or hash handle that is not valid (or belongs to another
// provider); NTE_KEYSET_NOT_DEF for an unknown provider, NTE_PROV_TYPE_NOT_DEF
// for a type without a default, NTE_PROV_TYPE_ENTRY_BAD for a registration
// without "Type" or "Image Path", NTE_PROV_TYPE_NO_MATCH for a type that does
// not match, NTE_PROVIDER_DLL_FAIL for a module that cannot be loaded or lacks
// an entry point, NTE_BAD_KEYSET_PARAM for a container name that the ANSI code
// page cannot hold.
KAVRIN_BEGIN_DECLS

KAVRIN_API BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer,
                                            LPCWSTR szProvider, DWORD dwProvType, DWORD dwFlags);
KAVRIN_API BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer,
                                            LPCSTR szProvider, DWORD dwProvType, DWORD dwFlags);
// A nonzero dwFlags fails with NTE_BAD_FLAGS, and the context is released all the same.
KAVRIN_API BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
// PP_CLIENT_HWND is accepted for any hProv and ignored: there are no windows.
KAVRIN_API BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                         DWORD dwFlags);
KAVRIN_API BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                         DWORD* pdwDataLen, DWORD dwFlags);
KAVRIN_API BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);

KAVRIN_API BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
KAVRIN_API BOOL WINAPI CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData,
                                      DWORD dwFlags, HCRYPTKEY* phKey);
KAVRIN_API BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
KAVRIN_API BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen,
                                      HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey);
KAVRIN_API BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                                      DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen);
// The handle is invalid afterwards, whatever the provider answers.
KAVRIN_API BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
KAVRIN_API BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                                        DWORD dwFlags);
KAVRIN_API BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                        DWORD* pdwDataLen, DWORD dwFlags);
KAVRIN_API BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,
                                    BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen);
KAVRIN_API BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,
                                    BYTE* pbData, DWORD* pdwDataLen);

KAVRIN_API BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                                       DWORD dwFlags, HCRYPTHASH* phHash);
KAVRIN_API BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                     DWORD dwFlags);
KAVRIN_API BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                         DWORD* pdwDataLen, DWORD dwFlags);
KAVRIN_API BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                                         DWORD dwFlags);
KAVRIN_API BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                                      DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen);
KAVRIN_API BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature,
                                             DWORD dwSigLen, HCRYPTKEY hPubKey,
                                             LPCWSTR szDescription, DWORD dwFlags);
// The handle is invalid afterwards, whatever the provider answers.
KAVRIN_API BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);

KAVRIN_END_DECLS
