// CPImportKey: public key blobs become key objects of the context; private
// key blobs go into the container slot of their algorithm.
#include "engine_module.h"
#include "pin_policy.h"
#include "prov_context.h"
#include "rsa_key_blob.h"
#include "stored_container.h"

#include <kavrin/errors.h>
#include <orvex/provider.h>

#include <algorithm>
#include <new>

namespace {

constexpr DWORD kMinBlobSize = 12;
constexpr size_t kWrappingAlgidOffset = 8;
constexpr size_t kBlobHeaderSize = 8;
// What a caller's flags may say about a key; the slot and PIN attributes
// describe the engine's own state and are never taken from a caller.
constexpr DWORD kCallerAttributes = CKeyObject::KEYF_EXPORTABLE | CKeyObject::KEYF_EXPORT_GUARDED;

DWORD Fail(DWORD code) {
  SetLastError(code);
  return code;
}

bool IsRsaAlgid(ALG_ID algid) { return algid == CALG_RSA_SIGN || algid == CALG_RSA_KEYX; }
bool IsSessionAlgid(ALG_ID algid) { return algid == CALG_RC2 || algid == CALG_RC4; }

// The checks of the blob's header, in order; 0 or the error.
DWORD CheckBlobHeader(const BYTE* data, DWORD data_len, HCRYPTKEY pub_key) {
  if (data == nullptr || data_len < kMinBlobSize) return ERROR_INVALID_PARAMETER;
  const ALG_ID algid = ReadLittleEndian32(data + kBlobAlgidOffset);
  if (!IsRsaAlgid(algid) && !IsSessionAlgid(algid)) return NTE_BAD_ALGID;
  switch (data[kBlobTypeOffset]) {
    case SIMPLEBLOB:
      if (!IsSessionAlgid(algid)) return ERROR_INVALID_PARAMETER;
      if (ReadLittleEndian32(data + kWrappingAlgidOffset) != CALG_RSA_KEYX) return NTE_BAD_ALGID;
      break;
    case PUBLICKEYBLOB:
      if (pub_key != 0) return NTE_BAD_DATA;
      if (!IsRsaAlgid(algid)) return ERROR_INVALID_PARAMETER;
      break;
    case PRIVATEKEYBLOB:
      if (!IsRsaAlgid(algid)) return ERROR_INVALID_PARAMETER;
      break;
    default:
      return NTE_BAD_TYPE;
  }
  if (data[kBlobVersionOffset] != CUR_BLOB_VERSION) return NTE_BAD_VER;
  return 0;
}

// The length word LoadKey takes: the byte length in its low 16 bits.
DWORD LengthWord(size_t size) { return static_cast<DWORD>(std::min<size_t>(size, 0xFFFF)); }

// A blob decrypted with the import key, as one final message: a SIMPLEBLOB's
// wrapped block (RSA private decryption) becomes the key material; a private
// blob's body (a session key's chain) follows its 8-byte header again. The
// error is set as the last error.
DWORD Unwrap(CKeyObject& unwrapping, const BYTE* data, DWORD data_len, SecureBytes* out) {
  const bool simple = data[kBlobTypeOffset] == SIMPLEBLOB;
  const size_t offset = simple ? kMinBlobSize : kBlobHeaderSize;
  SecureBytes body(data + offset, data + data_len);
  DWORD length = static_cast<DWORD>(body.size());
  const DWORD flags = simple ? CKeyObject::DF_RSA_PRIVATE_DECRYPT : 0;
  if (DWORD error = unwrapping.DecryptBlock(true, flags, body.data(), &length); error != 0) {
    return error;
  }
  body.resize(length);
  if (simple) {
    *out = std::move(body);
  } else {
    out->assign(data, data + kBlobHeaderSize);
    out->insert(out->end(), body.begin(), body.end());
  }
  return 0;
}

}  // namespace

DWORD CProvContext::ImportKey(const BYTE* data, DWORD data_len, HCRYPTKEY pub_key, DWORD flags,
                              HCRYPTKEY* key) {
  if (pub_key != 0 && !Engine().Registry().Resolve<CKeyObject>(pub_key, HK_KEY)) {
    return Fail(NTE_BAD_KEY);
  }
  if (DWORD error = CheckBlobHeader(data, data_len, pub_key); error != 0) return Fail(error);
  const ALG_ID algid = ReadLittleEndian32(data + kBlobAlgidOffset);
  const BYTE blob_type = data[kBlobTypeOffset];
  SecureBytes unwrapped;
  if (pub_key != 0) {
    const auto unwrapping = Engine().Registry().Resolve<CKeyObject>(pub_key, HK_KEY);
    if (!unwrapping) return Fail(NTE_BAD_KEY);
    if (DWORD error = Unwrap(*unwrapping, data, data_len, &unwrapped); error != 0) return error;
    data = unwrapped.data();
    data_len = static_cast<DWORD>(unwrapped.size());
  }
  if (blob_type == PRIVATEKEYBLOB) {
    return ImportPrivateKey(std::span<const BYTE>(data, data_len), algid, flags, key);
  }

  std::shared_ptr<CKeyObject> object;
  try {
    object = std::make_shared<CKeyObject>();
  } catch (const std::bad_alloc&) {
    return Fail(NTE_NO_MEMORY);
  }
  // A SIMPLEBLOB without an unwrapping key is its own material; an
  // unwrapped one has no key length of its own.
  if (!object->LoadKey(data, LengthWord(data_len), algid)) return Fail(NTE_FAIL);
  object->SetAttributes(flags & kCallerAttributes);
  const HCRYPTKEY handle = AddKeyHandle(std::move(object));
  if (handle == 0) return Fail(NTE_FAIL);
  *key = handle;
  return 0;
}

// The new key is prepared apart and replaces the slot's key only once it is
// as the flags want it: stored under the default PIN, kept in memory for a
// PIN set later, or masked under the PIN the user gives now. A refusal
// leaves the slot as it was.
DWORD CProvContext::ImportPrivateKey(std::span<const BYTE> blob, ALG_ID algid, DWORD flags,
                                     HCRYPTKEY* key) {
  const auto container = Container();
  if (!container) return Fail(NTE_BAD_PROVIDER);
  const DWORD key_spec = algid == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE;
  CKeyObject* slot = container->GetKeySlot(key_spec, true);
  if (slot == nullptr) return NTE_FAIL;

  CKeyObject incoming;
  if (!incoming.LoadKey(blob.data(), LengthWord(blob.size()), algid)) return Fail(NTE_FAIL);
  incoming.SetAttributes(flags & kCallerAttributes);
  incoming.SetAttributes(CKeyObject::KEYF_CONTAINER_SLOT | CKeyObject::KEYF_EXPORT_GUARDED);

  if ((flags & CRYPT_USER_PROTECTED) != 0) {
    CKeyObject previous;
    previous.TakeKeyFrom(*slot);
    slot->TakeKeyFrom(incoming);
    if (!AskNewKeyPin(*this, key_spec)) {
      slot->TakeKeyFrom(previous);
      return Fail(NTE_FAIL);
    }
    // Set only now: a refused import must not leave the previous key of the
    // slot counted as verified.
    SetKeyPinVerified(key_spec);
  } else if ((flags & orvex::GF_PIN_LATER) != 0) {
    SetKeyPinVerified(key_spec);
    slot->TakeKeyFrom(incoming);
  } else {
    if (!incoming.MaskDefault()) return Fail(NTE_FAIL);
    incoming.SetAttributes(CKeyObject::KEYF_DEFAULT_PIN);
    if (StoreSlotKey(*container, key_spec, incoming) != 0) return Fail(NTE_FAIL);
  }

  const HCRYPTKEY handle = AddKeyHandle(container->SlotReference(slot));
  if (handle == 0) return Fail(NTE_FAIL);
  *key = handle;
  return 0;
}
