// A provider context: what one successful CPAcquireContext returns a handle
// for. It is bound to one container (holding a reference on it), owns the key
// objects created through it, and records in its flags what was granted in it.
//
// Behind each entry point the resolved context offers an operation of the same
// name; each returns 0 or an NTE_ code, with the last error set.
//
// Lock order: the context lock guards the key list only and is taken after
// the container-list lock and before the hash-list and registry locks.
#pragma once

#include "key_container.h"
#include "key_object.h"
#include "pin_verifier.h"

#include <kavrin/crypt.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

class CHandleRegistry;
class CHashObject;

class CProvContext {
 public:
  // Context flags.
  static constexpr DWORD CTXF_VERIFYCONTEXT = 0xF0000000;
  static constexpr DWORD CTXF_SILENT = 0x00000040;
  static constexpr DWORD CTXF_SIG_ARCHIVABLE = 0x00000100;
  static constexpr DWORD CTXF_EXCH_ARCHIVABLE = 0x00000200;
  static constexpr DWORD CTXF_SIG_PIN_OK = 0x00001000;
  static constexpr DWORD CTXF_EXCH_PIN_OK = 0x00002000;

  // An operation's result when it failed without an error of its own: the
  // entry point returns FALSE and leaves the caller's last error as it was.
  static constexpr DWORD kFailedWithoutError = 0xFFFFFFFF;

  CProvContext() = default;
  CProvContext(const CProvContext&) = delete;
  CProvContext& operator=(const CProvContext&) = delete;

  DWORD Flags() const { return flags_.load(); }
  // Flags are only ever added during a context's life.
  void AddFlags(DWORD flags) { flags_ |= flags; }
  // The context flags that the acquire flags grant.
  void AddAcquireFlags(DWORD acquire_flags);
  // The key type's PIN counts as verified: its bit is set and the context is
  // not verify-only.
  bool IsKeyPinVerified(DWORD key_spec) const;
  // CTXF_SIG_PIN_OK or CTXF_EXCH_PIN_OK for a key spec (or RSA algid), else 0.
  static DWORD PinVerifiedBit(DWORD key_spec);
  // Records that the key type's PIN was verified in this context.
  void SetKeyPinVerified(DWORD key_spec) { AddFlags(PinVerifiedBit(key_spec)); }

  // Binds the context and its PIN verifier to the container whose reference
  // it takes over.
  void Bind(std::shared_ptr<CKeyContainer> container);
  // The container the context was bound to; never changes once bound, so it
  // can be compared without the context lock.
  const CKeyContainer* BoundContainer() const { return bound_; }
  // A reference to the container, null once the context was released.
  std::shared_ptr<CKeyContainer> Container() const;

  // The record through which the PIN flows reach the context's container.
  CPinVerifier& PinVerifier() { return verifier_; }

  // Puts a key object made through this context on its key list.
  void AddKey(std::shared_ptr<CKeyObject> key);
  // Issues a key handle for the object and puts it on the key list; 0 when
  // no handle could be issued (the list is then unchanged).
  HCRYPTKEY AddKeyHandle(std::shared_ptr<CKeyObject> key);

  // Releases everything the context holds: the handles of its keys, its keys
  // (slots excepted), its container reference and every hash of the process.
  // The caller has already taken the context's handle out of the registry.
  void Release(CHandleRegistry& registry);

  // Operations behind the entry points.
  DWORD GenKey(ALG_ID algid, DWORD flags, HCRYPTKEY* key);
  DWORD DeriveKey(ALG_ID algid, HCRYPTHASH base_data, DWORD flags, HCRYPTKEY* key);
  DWORD DestroyKey(HCRYPTKEY key);
  DWORD GetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* data_len, DWORD flags);
  DWORD GetProvParam(DWORD param, BYTE* data, DWORD* data_len, DWORD flags);
  DWORD SetProvParam(DWORD param, BYTE* data, DWORD flags);
  DWORD ExportKey(HCRYPTKEY key, HCRYPTKEY exp_key, DWORD blob_type, DWORD flags, BYTE* data,
                  DWORD* data_len);
  DWORD ImportKey(const BYTE* data, DWORD data_len, HCRYPTKEY pub_key, DWORD flags,
                  HCRYPTKEY* key);
  DWORD Encrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                DWORD* data_len, DWORD buf_len);
  DWORD Decrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                DWORD* data_len);
  DWORD CreateHash(ALG_ID algid, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
  DWORD HashData(HCRYPTHASH hash, const BYTE* data, DWORD data_len, DWORD flags);
  DWORD DestroyHash(HCRYPTHASH hash);
  DWORD GetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* data_len, DWORD flags);
  DWORD SetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD flags);
  DWORD SignHash(HCRYPTHASH hash, DWORD key_spec, LPCWSTR description, DWORD flags,
                 BYTE* signature, DWORD* sig_len);
  DWORD VerifySignature(HCRYPTHASH hash, const BYTE* signature, DWORD sig_len,
                        HCRYPTKEY pub_key, LPCWSTR description, DWORD flags);
  DWORD GetUserKey(DWORD key_spec, HCRYPTKEY* user_key);

 private:
  // A private key blob goes into the container slot of its algorithm.
  DWORD ImportPrivateKey(std::span<const BYTE> blob, ALG_ID algid, DWORD flags, HCRYPTKEY* key);
  // CPHashData's user-data mode: the user types the data in the PIN dialog.
  DWORD HashUserData(CHashObject& hash);

  std::atomic<DWORD> flags_{0};
  const CKeyContainer* bound_ = nullptr;
  mutable std::mutex lock_;
  std::shared_ptr<CKeyContainer> container_;
  std::vector<std::shared_ptr<CKeyObject>> keys_;
  CPinVerifier verifier_;
};

// CPAcquireContextW after its argument checks: opens, creates or deletes the
// container and issues a context handle. TRUE or FALSE with the last error set.
BOOL AcquireProvContext(const WCHAR* container_name, DWORD flags, HCRYPTPROV* prov);
// CPReleaseContext after its argument checks.
BOOL ReleaseProvContext(HCRYPTPROV prov);
