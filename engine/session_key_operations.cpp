// The context's session key operations: deriving RC2 and RC4 keys from a
// hash, and encrypting and decrypting with any key of the engine.
#include "engine_module.h"
#include "handle_registry.h"
#include "hash_object.h"
#include "prov_context.h"

#include <kavrin/errors.h>

#include <new>

namespace {

constexpr DWORD kDefaultRc2Bits = 40;
constexpr DWORD kDefaultRc4Bits = 128;

DWORD Fail(DWORD code) {
  if (code != 0) SetLastError(code);
  return code;
}

}  // namespace

DWORD CProvContext::DeriveKey(ALG_ID algid, HCRYPTHASH base_data, DWORD flags, HCRYPTKEY* key) {
  DWORD bits = flags >> 16;
  if (algid == CALG_RC2) {
    if (bits == 0) bits = kDefaultRc2Bits;
  } else if (algid == CALG_RC4) {
    if (bits == 0) bits = kDefaultRc4Bits;
  } else {
    return Fail(NTE_BAD_ALGID);
  }
  const auto hash = Engine().Registry().Resolve<CHashObject>(base_data, HK_HASH);
  if (!hash) return Fail(NTE_BAD_HASH);
  if (hash->Size() < (bits + 7) / 8) return Fail(NTE_FAIL);
  // The whole value is the material, whatever the key length asked for.
  SecureBytes material;
  if (const DWORD result = hash->GetValue(&material); result != 0) return Fail(result);

  std::shared_ptr<CKeyObject> object;
  try {
    object = std::make_shared<CKeyObject>();
  } catch (const std::bad_alloc&) {
    return Fail(NTE_NO_MEMORY);
  }
  const DWORD length_word = (bits << 16) | static_cast<DWORD>(material.size());
  if (!object->LoadKey(material.data(), length_word, algid)) return Fail(NTE_FAIL);
  const HCRYPTKEY handle = AddKeyHandle(std::move(object));
  if (handle == 0) return Fail(NTE_FAIL);
  *key = handle;
  return 0;
}

DWORD CProvContext::Encrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                            DWORD* data_len, DWORD buf_len) {
  CHandleRegistry& registry = Engine().Registry();
  const auto object = registry.Resolve<CKeyObject>(key, HK_KEY);
  if (!object) return Fail(NTE_BAD_KEY);
  const auto digest = hash != 0 ? registry.Resolve<CHashObject>(hash, HK_HASH) : nullptr;
  if (hash != 0 && !digest) return Fail(NTE_BAD_HASH);
  // A size query encrypts nothing and hashes nothing.
  if (data == nullptr) return object->EncryptBlock(final != FALSE, nullptr, data_len, 0, flags);

  if (digest) {
    // A session key's output must be known to fit before the plaintext is
    // hashed: a call refused for its buffer is repeated, and must not hash
    // the same data twice.
    if (object->IsSessionKey() && buf_len >= *data_len) {
      DWORD needed = *data_len;
      if (const DWORD result = object->EncryptBlock(final != FALSE, nullptr, &needed, 0, flags);
          result != 0) {
        return result;
      }
      if (needed > buf_len) {
        *data_len = needed;
        return Fail(ERROR_MORE_DATA);
      }
    }
    if (const DWORD result = digest->Update(data, *data_len); result != 0) return Fail(result);
  }
  return object->EncryptBlock(final != FALSE, data, data_len, buf_len, flags);
}

DWORD CProvContext::Decrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                            DWORD* data_len) {
  CHandleRegistry& registry = Engine().Registry();
  const auto object = registry.Resolve<CKeyObject>(key, HK_KEY);
  if (!object) return Fail(NTE_BAD_KEY);
  // A hash handle is checked but not fed: the plaintext is not hashed.
  if (hash != 0 && !registry.ResolveHandle(hash, HK_HASH)) return Fail(NTE_BAD_HASH);
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return object->DecryptBlock(final != FALSE, flags, data, data_len);
}
