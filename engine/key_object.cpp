#include "key_object.h"

#include "engine_module.h"
#include "pin_mask.h"
#include "rsa_key_blob.h"

#include <kavrin/errors.h>
#include <orvex/provider.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// CPGetKeyParam asks for the key length with this value (the block length's
// number in CryptoAPI). Answers are fixed per algorithm.
constexpr DWORD kKeyLengthParam = KP_BLOCKLEN;
constexpr DWORD kRc2KeyLength = 64;
constexpr DWORD kRc4KeyLength = 0;

OSSL_LIB_CTX* LibCtx() { return Engine().OpenSsl().LibCtx(); }

bool IsRsaAlgid(ALG_ID algid) { return algid == CALG_RSA_SIGN || algid == CALG_RSA_KEYX; }

// The part of a private blob that a PIN masks: everything after the header
// and the modulus. Empty for a blob that is not a well-formed private blob.
std::span<BYTE> MaskedRegion(SecureBytes& blob) {
  if (!IsWellFormedRsaBlob(blob) || RsaBlobType(blob) != PRIVATEKEYBLOB) return {};
  const size_t clear = RsaPublicBlobSize(RsaBlobModulusBytes(blob));
  return std::span<BYTE>(blob).subspan(clear);
}

// A copy of the private blob with its masked region run through the PIN's
// key stream; false when the blob is not a private blob or the PIN is refused.
bool Remask(const SecureBytes& blob, const WCHAR* pin, DWORD pin_bytes, SecureBytes* out) {
  SecureBytes copy = blob;
  const std::span<BYTE> region = MaskedRegion(copy);
  if (region.empty() || !ApplyPinMask(LibCtx(), pin, pin_bytes, region)) return false;
  *out = std::move(copy);
  return true;
}

bool RemaskDefault(const SecureBytes& blob, SecureBytes* out) {
  return Remask(blob, kDefaultPin, PinByteLength(kDefaultPin, 0), out);
}

}  // namespace

bool CKeyObject::IsRsaKey() const { return IsRsaAlgid(Algid()); }

void CKeyObject::SetAttributes(DWORD flags) {
  constexpr DWORD kPinBits = KEYF_USER_PIN | KEYF_DEFAULT_PIN;
  constexpr DWORD kAddedBits = KEYF_EXPORTABLE | KEYF_EXPORT_GUARDED | KEYF_CONTAINER_SLOT;
  if ((flags & kPinBits) == kPinBits) return;
  DWORD current = attributes_.load();
  DWORD wanted;
  do {
    wanted = current | (flags & kAddedBits);
    if ((flags & kPinBits) != 0) wanted = (wanted & ~kPinBits) | (flags & kPinBits);
  } while (!attributes_.compare_exchange_weak(current, wanted));
}

DWORD CKeyObject::Length() const {
  std::lock_guard<std::mutex> guard(lock_);
  return length_;
}

size_t CKeyObject::ModulusBytes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return RsaBlobModulusBytes(ShapeBlob());
}

bool CKeyObject::IsPrivateKey() const {
  std::lock_guard<std::mutex> guard(lock_);
  return IsRsaKey() && RsaBlobType(ShapeBlob()) == PRIVATEKEYBLOB;
}

SecureBytes CKeyObject::MaskedBlob() const {
  std::lock_guard<std::mutex> guard(lock_);
  return masked_;
}

bool CKeyObject::HasMaskedBlob() const {
  std::lock_guard<std::mutex> guard(lock_);
  return !masked_.empty();
}

void CKeyObject::SetMaskedBlob(SecureBytes blob) {
  std::lock_guard<std::mutex> guard(lock_);
  length_ = static_cast<DWORD>(blob.size());
  masked_ = std::move(blob);
  SecureBytes().swap(clear_);
  rsa_.reset();
}

SecureBytes CKeyObject::ClearBlob() const {
  std::lock_guard<std::mutex> guard(lock_);
  return clear_;
}

bool CKeyObject::HasClearBlob() const {
  std::lock_guard<std::mutex> guard(lock_);
  return !clear_.empty();
}

void CKeyObject::SetClearBlob(SecureBytes blob) {
  std::lock_guard<std::mutex> guard(lock_);
  length_ = static_cast<DWORD>(blob.size());
  clear_ = std::move(blob);
  SecureBytes().swap(masked_);
  rsa_.reset();
}

bool CKeyObject::HasKeyData() const {
  std::lock_guard<std::mutex> guard(lock_);
  return length_ != 0 || !clear_.empty() || !masked_.empty();
}

void CKeyObject::ResetLocked() {
  SecureBytes().swap(masked_);
  SecureBytes().swap(clear_);
  rsa_.reset();
  attributes_ = 0;
  length_ = 0;
  algid_ = 0;
  key_bits_ = 0;
}

bool CKeyObject::LoadKey(const BYTE* material, DWORD length_word, ALG_ID algid) {
  if (algid == CALG_RC2 || algid == CALG_RC4) return LoadSessionKey(material, length_word, algid);
  const size_t length = length_word & 0xFFFF;
  if (material == nullptr || !IsRsaAlgid(algid) || length < kRsaBlobHeaderSize) return false;
  const std::span<const BYTE> given(material, length);
  const size_t n = RsaBlobModulusBytes(given);
  const size_t wanted =
      RsaBlobType(given) == PRIVATEKEYBLOB ? RsaPrivateBlobSize(n) : RsaPublicBlobSize(n);
  if (length < wanted || !IsWellFormedRsaBlob(given.first(wanted))) return false;

  SecureBytes blob(material, material + wanted);
  std::lock_guard<std::mutex> guard(lock_);
  ResetLocked();
  cipher_.Reset();
  algid_ = algid;
  length_ = static_cast<DWORD>(blob.size());
  clear_ = std::move(blob);
  return true;
}

bool CKeyObject::CopyOut(BYTE* buffer, DWORD length, DWORD form) {
  std::lock_guard<std::mutex> guard(lock_);
  switch (form) {
    case kFormMaterial:
      if (clear_.empty() || clear_.size() < length) return false;
      std::memcpy(buffer, clear_.data(), length);
      return true;
    case kFormPublicBlob: {
      const SecureBytes& source = clear_.empty() ? masked_ : clear_;
      const size_t size = RsaPublicBlobSize(RsaBlobModulusBytes(source));
      if (!IsWellFormedRsaBlob(source) || length != size) return false;
      std::memcpy(buffer, source.data(), size);
      buffer[kBlobTypeOffset] = PUBLICKEYBLOB;
      WriteLittleEndian32(buffer + kBlobMagicOffset, RSA1_MAGIC);
      return true;
    }
    case kFormPrivateBlob:
      if (length != length_ || RsaBlobType(ShapeBlob()) != PRIVATEKEYBLOB) return false;
      if (clear_.empty() && (HasAttribute(KEYF_USER_PIN) || !UnmaskDefaultLocked())) return false;
      if (clear_.size() != length) return false;
      std::memcpy(buffer, clear_.data(), length);
      return true;
    default:
      SetLastError(NTE_BAD_TYPE);
      return false;
  }
}

bool CKeyObject::MaskDefault() {
  std::lock_guard<std::mutex> guard(lock_);
  if (HasAttribute(KEYF_USER_PIN) || !masked_.empty()) return true;
  return RemaskDefault(clear_, &masked_);
}

bool CKeyObject::UnmaskDefaultLocked() {
  if (HasAttribute(KEYF_USER_PIN) || !clear_.empty()) return true;
  if (!HasAttribute(KEYF_DEFAULT_PIN)) return true;
  return RemaskDefault(masked_, &clear_);
}

bool CKeyObject::UnmaskDefault() {
  std::lock_guard<std::mutex> guard(lock_);
  return UnmaskDefaultLocked();
}

bool CKeyObject::SetPin(const WCHAR* pin, DWORD pin_len) {
  const DWORD pin_bytes = PinByteLength(pin, pin_len);
  if (pin == nullptr || pin_bytes > kMaxPinBytes) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (clear_.empty()) {
    if (!HasAttribute(KEYF_DEFAULT_PIN) || !UnmaskDefaultLocked() || clear_.empty()) return false;
  }
  return Remask(clear_, pin, pin_bytes, &masked_);
}

bool CKeyObject::VerifyPin(const WCHAR* pin, DWORD pin_len) {
  const DWORD pin_bytes = PinByteLength(pin, pin_len);
  if (pin == nullptr || pin_bytes > kMaxPinBytes) return false;
  SecureBytes masked;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (masked_.empty()) return false;
    masked = masked_;
  }
  // The slow check runs outside the lock; the candidate is taken only if the
  // key was not replaced meanwhile.
  SecureBytes candidate;
  if (!Remask(masked, pin, pin_bytes, &candidate)) return false;
  EvpPkeyPtr key = RsaKeyFromBlob(LibCtx(), candidate);
  if (!IsConsistentRsaKey(LibCtx(), key.get())) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (masked_ != masked) return false;
  clear_ = std::move(candidate);
  rsa_ = std::move(key);
  return true;
}

EvpPkeyPtr CKeyObject::GetRsa() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!IsRsaKey()) return nullptr;
  if (RsaBlobType(ShapeBlob()) == PRIVATEKEYBLOB && clear_.empty()) {
    if (!HasAttribute(KEYF_DEFAULT_PIN) || !UnmaskDefaultLocked() || clear_.empty()) return nullptr;
  }
  // A private key is checked once, when it is built from the clear blob; the
  // kept key is dropped whenever the clear blob changes, so the key handed
  // out is always one that passed the check, without checking it again.
  if (!rsa_) {
    EvpPkeyPtr built = RsaKeyFromBlob(LibCtx(), clear_);
    if (RsaBlobType(clear_) == PRIVATEKEYBLOB && !IsConsistentRsaKey(LibCtx(), built.get())) {
      return nullptr;
    }
    rsa_ = std::move(built);
  }
  return ShareKey(rsa_.get());
}

bool CKeyObject::IsExportable(DWORD export_flags) const {
  const DWORD attributes = Attributes();
  const bool guarded_allowed = (attributes & KEYF_EXPORT_GUARDED) == 0 ||
                               (export_flags & orvex::XF_ALLOW_GUARDED) != 0;
  if ((attributes & KEYF_EXPORTABLE) != 0 && guarded_allowed) return true;
  SetLastError(NTE_BAD_KEY_STATE);
  return false;
}

bool CKeyObject::GetKeyParam(DWORD param, BYTE* data, DWORD* data_len) const {
  DWORD value = 0;
  const ALG_ID algid = Algid();
  if (param == KP_ALGID) {
    value = algid;
  } else if (param == kKeyLengthParam) {
    if (IsRsaAlgid(algid)) {
      value = static_cast<DWORD>(ModulusBytes() * 8);
    } else if (algid == CALG_RC2) {
      value = kRc2KeyLength;
    } else if (algid == CALG_RC4) {
      value = kRc4KeyLength;
    } else {
      return false;
    }
  } else {
    SetLastError(NTE_BAD_TYPE);
    return false;
  }
  if (data_len == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (data == nullptr) {
    *data_len = sizeof value;
    return true;
  }
  if (*data_len < sizeof value) return false;
  WriteLittleEndian32(data, value);
  *data_len = sizeof value;
  return true;
}

void CKeyObject::Destroy() {
  std::lock_guard<std::mutex> guard(lock_);
  ResetLocked();
  cipher_.Reset();
}

bool CKeyObject::HasSamePublicKey(const CKeyObject& other) const {
  if (&other == this) return true;
  std::scoped_lock guard(lock_, other.lock_);
  const SecureBytes& mine = ShapeBlob();
  const SecureBytes& theirs = other.ShapeBlob();
  if (!IsWellFormedRsaBlob(mine) || !IsWellFormedRsaBlob(theirs)) return false;
  const size_t size = RsaPublicBlobSize(RsaBlobModulusBytes(mine));
  if (size != RsaPublicBlobSize(RsaBlobModulusBytes(theirs))) return false;
  // The magic differs between public and private blobs; the rest of the
  // header and the modulus name the key.
  return std::equal(mine.begin() + kBlobAlgidOffset, mine.begin() + kBlobMagicOffset,
                    theirs.begin() + kBlobAlgidOffset) &&
         std::equal(mine.begin() + kBlobBitlenOffset, mine.begin() + static_cast<std::ptrdiff_t>(size),
                    theirs.begin() + kBlobBitlenOffset);
}

void CKeyObject::CopyKeyFrom(const CKeyObject& other) {
  if (&other == this) return;
  std::scoped_lock guard(lock_, other.lock_);
  masked_ = other.masked_;
  clear_ = other.clear_;
  rsa_ = ShareKey(other.rsa_.get());
  length_ = other.length_;
  algid_ = other.algid_.load();
  attributes_ = other.attributes_.load();
}

void CKeyObject::TakeKeyFrom(CKeyObject& other) {
  if (&other == this) return;
  std::scoped_lock guard(lock_, other.lock_);
  masked_ = std::move(other.masked_);
  clear_ = std::move(other.clear_);
  rsa_ = std::move(other.rsa_);
  length_ = other.length_;
  algid_ = other.algid_.load();
  attributes_ = other.attributes_.load();
  other.ResetLocked();
}
