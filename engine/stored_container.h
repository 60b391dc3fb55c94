// A container's stored state, loaded afresh under the container's storage
// lock (container_lock.h) for one read-modify-write.
//
// Changes that reach storage are made to this copy and saved whole, so that
// whatever another thread or process stored meanwhile — the other slot, a PIN
// set elsewhere, the counters — is kept and never overwritten by an older
// picture held in memory. The lock is held for the object's whole life, so
// the caller decides on the stored counters, checks a PIN and stores the
// outcome as one step; it then brings the container in memory up to date
// while still holding it.
#pragma once

#include "container_lock.h"
#include "key_container.h"

#include <kavrin/errors.h>
#include <kavrin/types.h>

class CStoredContainer {
 public:
  // Takes the lock and loads the storage of the container's kind.
  explicit CStoredContainer(const CKeyContainer& container);
  CStoredContainer(const CStoredContainer&) = delete;
  CStoredContainer& operator=(const CStoredContainer&) = delete;

  // 0 once locked and loaded; NTE_FAIL when the lock could not be taken;
  // NTE_KEYSET_ENTRY_BAD when the storage is gone or cannot be read.
  DWORD Status() const { return status_; }

  CKeyContainer& Stored() { return stored_; }
  // Saves the stored copy whole; 0 or NTE_FAIL.
  DWORD Save();

 private:
  CContainerLock lock_;
  CKeyContainer stored_;
  DWORD status_ = NTE_FAIL;
};

// Brings one slot of the container in memory up to its stored copy: the
// counters always; the key when the memory slot holds no key or the same key
// pair (a key generated or imported here and not stored yet is kept). The
// stored copy's key is moved, not copied.
void AdoptStoredCounters(CKeyContainer& memory, CKeyContainer& stored, DWORD key_spec);
void AdoptStoredSlot(CKeyContainer& memory, CKeyContainer& stored, DWORD key_spec);

// Stores key as the slot's key (algid, attributes and masked blob; the stored
// counters and the other slot stay as stored) and, once stored, moves it
// into the container's slot in memory. 0, or NTE_FAIL with nothing changed
// when the key has no masked blob or storage could not be read or written.
DWORD StoreSlotKey(CKeyContainer& container, DWORD key_spec, CKeyObject& key);
