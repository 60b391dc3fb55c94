// CPExportKey: a key of the engine as a CryptoAPI blob.
#include "engine_module.h"
#include "pin_policy.h"
#include "prov_context.h"
#include "rsa_key_blob.h"

#include <kavrin/errors.h>

#include <algorithm>
#include <cstring>

namespace {

DWORD Fail(DWORD code) {
  SetLastError(code);
  return code;
}

bool IsRsaAlgid(ALG_ID algid) { return algid == CALG_RSA_SIGN || algid == CALG_RSA_KEYX; }
bool IsSessionAlgid(ALG_ID algid) { return algid == CALG_RC2 || algid == CALG_RC4; }

// A SIMPLEBLOB: BLOBHEADER, the wrapping key's algid, the wrapped block.
constexpr size_t kBlobHeaderSize = 8;
constexpr size_t kWrappingAlgidOffset = 8;
constexpr DWORD kSimpleBlobHeaderSize = 12;

DWORD KeySpecOf(ALG_ID algid) { return algid == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE; }

// The blob type's own checks on the exported key and the export key.
DWORD CheckBlobType(DWORD blob_type, const CKeyObject& key, const CKeyObject* exp_key) {
  const ALG_ID algid = key.Algid();
  switch (blob_type) {
    case SIMPLEBLOB:
      if (!IsSessionAlgid(algid)) return NTE_BAD_TYPE;
      if (exp_key == nullptr || exp_key->Algid() != CALG_RSA_KEYX) return NTE_NO_KEY;
      return 0;
    case PUBLICKEYBLOB:
      if (exp_key != nullptr) return ERROR_INVALID_PARAMETER;
      return IsRsaAlgid(algid) ? 0 : NTE_BAD_TYPE;
    case PRIVATEKEYBLOB:
      if (!IsRsaAlgid(algid)) return NTE_BAD_TYPE;
      // A public key has no private blob to give, and no PIN to ask for.
      return key.IsPrivateKey() ? 0 : NTE_BAD_KEY_STATE;
    default:
      return NTE_BAD_TYPE;
  }
}

// The blob's size, and the room the caller must give beyond it for the
// padding of an export key's cipher.
DWORD BlobSize(DWORD blob_type, const CKeyObject& key, const CKeyObject* exp_key) {
  switch (blob_type) {
    case SIMPLEBLOB:
      return static_cast<DWORD>(12 + exp_key->ModulusBytes());
    case PUBLICKEYBLOB:
      return static_cast<DWORD>(RsaPublicBlobSize(key.ModulusBytes()));
    default:
      return key.Length();
  }
}

DWORD BlobSlack(DWORD blob_type, const CKeyObject* exp_key) {
  constexpr DWORD kRc2BlockSize = 8;
  return blob_type == PRIVATEKEYBLOB && exp_key != nullptr && exp_key->Algid() == CALG_RC2
             ? kRc2BlockSize
             : 0;
}

// The first ceil(b / 8) bytes of the session key's material, b being its key
// bits, wrapped in one PKCS#1 v1.5 block under the exchange key's public key.
DWORD WrapSessionKey(CKeyObject& key, CKeyObject& exchange_key, SecureBytes* out) {
  const DWORD bits = key.KeyBits();
  const DWORD bytes = (bits + 7) / 8;
  const DWORD modulus = static_cast<DWORD>(exchange_key.ModulusBytes());
  SecureBytes blob(kSimpleBlobHeaderSize + std::max(bytes, modulus));
  BYTE* block = blob.data() + kSimpleBlobHeaderSize;
  if (!key.CopyOut(block, bytes, CKeyObject::kFormMaterial)) return Fail(NTE_FAIL);
  if (bits % 8 != 0) block[bits / 8] &= static_cast<BYTE>(0xFF00 >> (bits % 8 + 1));
  DWORD block_len = bytes;
  const DWORD result =
      exchange_key.EncryptBlock(true, block, &block_len, static_cast<DWORD>(blob.size()) - 12,
                                CKeyObject::EF_RSA_PUBLIC_ENCRYPT);
  if (result != 0) return result;
  blob[kBlobTypeOffset] = SIMPLEBLOB;
  blob[kBlobVersionOffset] = CUR_BLOB_VERSION;
  WriteLittleEndian32(blob.data() + kBlobAlgidOffset, key.Algid());
  WriteLittleEndian32(blob.data() + kWrappingAlgidOffset, exchange_key.Algid());
  blob.resize(kSimpleBlobHeaderSize + block_len);
  *out = std::move(blob);
  return 0;
}

// A public or private blob of size bytes. A private blob exported under a
// session key has everything after its 8-byte header encrypted with that
// key's chain, as one final message (RC2 adds its padding).
DWORD KeyBlob(CKeyObject& key, DWORD blob_type, DWORD size, CKeyObject* session_key,
              SecureBytes* out) {
  const DWORD slack = BlobSlack(blob_type, session_key);
  SecureBytes blob(size + slack);
  if (!key.CopyOut(blob.data(), size, blob_type)) return NTE_FAIL;
  DWORD length = size;
  if (session_key != nullptr) {
    DWORD body = size - kBlobHeaderSize;
    const DWORD result = session_key->EncryptBlock(true, blob.data() + kBlobHeaderSize, &body,
                                                   body + slack, 0);
    if (result != 0) return result;
    length = kBlobHeaderSize + body;
  }
  blob.resize(length);
  *out = std::move(blob);
  return 0;
}

}  // namespace

DWORD CProvContext::ExportKey(HCRYPTKEY key, HCRYPTKEY exp_key, DWORD blob_type, DWORD flags,
                              BYTE* data, DWORD* data_len) {
  const CHandleRegistry& registry = Engine().Registry();
  const auto object = registry.Resolve<CKeyObject>(key, HK_KEY);
  const auto wrapping = exp_key != 0 ? registry.Resolve<CKeyObject>(exp_key, HK_KEY) : nullptr;
  if (!object || (exp_key != 0 && !wrapping)) return Fail(NTE_BAD_KEY);
  if (DWORD error = CheckBlobType(blob_type, *object, wrapping.get()); error != 0) return Fail(error);

  const ALG_ID algid = object->Algid();
  // The PIN asked for is that of this context's container: a slot of
  // another container cannot be exported through it.
  if (blob_type == PRIVATEKEYBLOB && object->HasAttribute(CKeyObject::KEYF_CONTAINER_SLOT)) {
    const auto container = Container();
    if (!container || container->GetKeySlot(KeySpecOf(algid), true) != object.get()) {
      return Fail(NTE_BAD_KEY);
    }
  }
  const DWORD archivable = algid == CALG_RSA_SIGN ? CTXF_SIG_ARCHIVABLE : CTXF_EXCH_ARCHIVABLE;
  if (blob_type == PRIVATEKEYBLOB && (Flags() & archivable) == 0) {
    if (!object->IsExportable(flags)) return NTE_BAD_KEY_STATE;
    if (!EnsureKeyPinVerified(*this, *object, KeySpecOf(algid))) return Fail(NTE_BAD_KEY_STATE);
  }

  const DWORD size = BlobSize(blob_type, *object, wrapping.get());
  const DWORD needed = size + BlobSlack(blob_type, wrapping.get());
  if (data == nullptr) {
    *data_len = needed;
    return 0;
  }
  if (*data_len < needed) {
    *data_len = size;
    return Fail(ERROR_MORE_DATA);
  }
  SecureBytes blob;
  const DWORD result = blob_type == SIMPLEBLOB
                           ? WrapSessionKey(*object, *wrapping, &blob)
                           : KeyBlob(*object, blob_type, size, wrapping.get(), &blob);
  if (result != 0) return result;
  std::memcpy(data, blob.data(), blob.size());
  *data_len = static_cast<DWORD>(blob.size());
  return 0;
}
