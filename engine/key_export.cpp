// CPExportKey: a key of the engine as a CryptoAPI blob.
#include "engine_module.h"
#include "pin_policy.h"
#include "prov_context.h"
#include "rsa_key_blob.h"

#include <kavrin/errors.h>

#include <cstring>

namespace {

DWORD Fail(DWORD code) {
  SetLastError(code);
  return code;
}

bool IsRsaAlgid(ALG_ID algid) { return algid == CALG_RSA_SIGN || algid == CALG_RSA_KEYX; }
bool IsSessionAlgid(ALG_ID algid) { return algid == CALG_RC2 || algid == CALG_RC4; }

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
  // A session key cannot be wrapped and a blob cannot be encrypted: both
  // need a session key's cipher.
  if (blob_type == SIMPLEBLOB || wrapping) return Fail(NTE_FAIL);
  SecureBytes blob(size);
  if (!object->CopyOut(blob.data(), size, blob_type)) return NTE_FAIL;
  std::memcpy(data, blob.data(), size);
  *data_len = size;
  return 0;
}
