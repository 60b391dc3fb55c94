#include "key_object.h"

#include <utility>

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

void CKeyObject::SetMaskedBlob(SecureBytes blob) {
  length_ = static_cast<DWORD>(blob.size());
  masked_ = std::move(blob);
  SecureBytes().swap(clear_);
}

void CKeyObject::SetClearBlob(SecureBytes blob) {
  length_ = static_cast<DWORD>(blob.size());
  clear_ = std::move(blob);
  SecureBytes().swap(masked_);
}

void CKeyObject::Destroy() {
  SecureBytes().swap(masked_);
  SecureBytes().swap(clear_);
  attributes_ = 0;
  length_ = 0;
  algid_ = 0;
}
