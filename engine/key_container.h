// A named key container: the two key slots and, per slot, the three lock
// counters. Shared by every context of the process that opens the same name;
// its lifetime is that of the last std::shared_ptr to it.
//
// Counter arrays are indexed by key spec minus one: index 0 belongs to the
// exchange key, index 1 to the signature key.
#pragma once

#include "counter_mask.h"
#include "key_object.h"
#include "serializable_object.h"

#include <kavrin/crypt.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class CKeyContainer final : public ISerializableObject,
                            public std::enable_shared_from_this<CKeyContainer> {
 public:
  CKeyContainer();

  void SetName(std::u16string name) { name_ = std::move(name); }
  const std::u16string& Name() const { return name_; }

  DWORD Flags() const { return flags_; }
  bool IsFileContainer() const;
  // Marks the container as a file container when the acquire flags ask for one.
  bool SetFileFlag(DWORD acquire_flags);

  // The slot of the key spec. Without any_slot the slot must hold a key of the
  // spec's algorithm; otherwise it is returned even when empty. None:
  // last error NTE_NO_KEY, null.
  CKeyObject* GetKeySlot(DWORD key_spec, bool any_slot);
  // A reference to a slot that keeps the container alive while it is held.
  std::shared_ptr<CKeyObject> SlotReference(CKeyObject* slot);

  // Counters. Key spec 1 or CALG_RSA_KEYX: exchange slot; 2 or CALG_RSA_SIGN:
  // signature slot; any other value: setters false, getters 0.
  LONG GetRestrictTimes(DWORD key_spec) const;
  bool SetRestrictTimes(DWORD key_spec, LONG value);
  int64_t GetLockTime(DWORD key_spec) const;
  bool SetLockTime(DWORD key_spec, int64_t value);
  DWORD GetDeadlockTimes(DWORD key_spec) const;
  bool SetDeadlockTimes(DWORD key_spec, DWORD value);
  // Both slots to the never-failed state.
  void ResetCounters();
  // The three counters of one slot together; a zero record for other specs.
  SlotCounters GetCounters(DWORD key_spec) const;
  bool SetCounters(DWORD key_spec, const SlotCounters& counters);

  // Masks the slot's private key under a new PIN (pin_len bytes, 0: measure)
  // and marks it KEYF_USER_PIN. 0, or NTE_FAIL with the last error NTE_NO_KEY
  // (no key for that key spec) or NTE_FAIL (the key refused the PIN).
  DWORD SetKeyPin(DWORD key_spec, const WCHAR* pin, DWORD pin_len);
  // Checks a PIN against the slot's masked key, which it unlocks when right.
  // 0, or NTE_FAIL with the last error NTE_NO_KEY or NTE_PERM (wrong PIN).
  DWORD VerifyKeyPin(DWORD key_spec, const WCHAR* pin, DWORD pin_len);

  // SaveTo or LoadFrom, as the archive was made for.
  DWORD Serialize(IArchiveFile& archive);
  DWORD SaveTo(IArchiveFile& archive) const override;
  DWORD LoadFrom(IArchiveFile& archive) override;
  // Records that what SaveTo wrote is now in storage.
  void MarkSaved();

 private:
  // A slot as storage holds it: algorithm, flags and the masked blob without
  // the counter masking.
  struct StoredSlot {
    ALG_ID algid = 0;
    DWORD flags = 0;
    SecureBytes data;
  };
  static constexpr int kExchange = 0;
  static constexpr int kSignature = 1;

  static int SlotIndex(DWORD key_spec);
  CKeyObject& Slot(int index) { return index == kSignature ? signature_ : exchange_; }
  const CKeyObject& Slot(int index) const { return index == kSignature ? signature_ : exchange_; }
  SlotCounters Counters(int index) const;
  StoredSlot SlotForSave(int index) const;
  DWORD SaveSlot(IArchiveFile& archive, int index) const;
  DWORD LoadSlot(IArchiveFile& archive, int index);

  std::u16string name_;
  DWORD flags_ = 0;
  CKeyObject signature_;
  CKeyObject exchange_;
  std::array<std::atomic<LONG>, 2> restrict_times_{};
  std::array<std::atomic<int64_t>, 2> lock_time_{};
  std::array<std::atomic<DWORD>, 2> deadlock_times_{};
  // What storage holds for each slot, kept so that a slot whose key has no
  // masked blob yet is saved as it was rather than as a key without data.
  mutable std::mutex stored_lock_;
  std::array<StoredSlot, 2> stored_;
};
