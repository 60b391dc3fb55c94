// The object behind every key handle and the type of a container's two key
// slots. This part holds what the container stores: the algorithm, the
// attribute flags and the masked blob (the key blob whose private part is
// masked under the key's PIN). The clear blob never leaves memory.
#pragma once

#include "secure_buffer.h"

#include <kavrin/crypt.h>

#include <atomic>

class CKeyObject {
 public:
  // Attribute flags, stored with a slot as its dwFlags.
  static constexpr DWORD KEYF_EXPORTABLE = 0x0001;
  static constexpr DWORD KEYF_EXPORT_GUARDED = 0x0008;
  static constexpr DWORD KEYF_CONTAINER_SLOT = 0x0010;
  static constexpr DWORD KEYF_USER_PIN = 0x0020;
  static constexpr DWORD KEYF_DEFAULT_PIN = 0x0040;

  CKeyObject() = default;
  CKeyObject(const CKeyObject&) = delete;
  CKeyObject& operator=(const CKeyObject&) = delete;

  ALG_ID Algid() const { return algid_; }
  void SetAlgid(ALG_ID algid) { algid_ = algid; }

  DWORD Attributes() const { return attributes_.load(); }
  // Adds the exportable, guarded and slot bits; a PIN bit replaces the other
  // one. A request naming both PIN bits changes nothing at all.
  void SetAttributes(DWORD flags);
  bool HasAttribute(DWORD flag) const { return (Attributes() & flag) != 0; }

  // Length in bytes of the key blob (both buffers have it).
  DWORD Length() const { return length_; }

  const SecureBytes& MaskedBlob() const { return masked_; }
  bool HasMaskedBlob() const { return !masked_.empty(); }
  // Takes a masked blob read from storage; the clear blob stays empty until a
  // PIN unmasks it.
  void SetMaskedBlob(SecureBytes blob);

  const SecureBytes& ClearBlob() const { return clear_; }
  // Takes a clear key blob (a key just generated or imported); the masked
  // blob is made from it when the key gets its PIN.
  void SetClearBlob(SecureBytes blob);
  // True when the object holds a key, masked or not.
  bool HasKeyData() const { return length_ != 0 || !clear_.empty() || !masked_.empty(); }

  // Wipes and frees everything and returns the object to its empty state.
  void Destroy();

 private:
  SecureBytes masked_;
  std::atomic<DWORD> attributes_{0};
  SecureBytes clear_;
  DWORD length_ = 0;
  ALG_ID algid_ = 0;
};
