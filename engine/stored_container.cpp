#include "stored_container.h"

#include "container_manager.h"
#include "engine_module.h"

#include <kavrin/errors.h>

CStoredContainer::CStoredContainer(const CKeyContainer& container) : lock_(container.Name()) {
  if (!lock_.Held()) return;
  stored_.SetName(container.Name());
  const DWORD kind = container.IsFileContainer() ? CContainerManager::kStorageFile
                                                 : CContainerManager::kStorageRegistry;
  status_ = Engine().Containers().LoadKeyContainer(stored_, kind) == 0 ? 0 : NTE_KEYSET_ENTRY_BAD;
}

DWORD CStoredContainer::Save() {
  if (status_ != 0) return NTE_FAIL;
  return SaveKeyContainer(stored_) == 0 ? 0 : NTE_FAIL;
}

void AdoptStoredCounters(CKeyContainer& memory, CKeyContainer& stored, DWORD key_spec) {
  memory.SetCounters(key_spec, stored.GetCounters(key_spec));
}

void AdoptStoredSlot(CKeyContainer& memory, CKeyContainer& stored, DWORD key_spec) {
  AdoptStoredCounters(memory, stored, key_spec);
  CKeyObject* mine = memory.GetKeySlot(key_spec, true);
  CKeyObject* theirs = stored.GetKeySlot(key_spec, true);
  if (mine == nullptr || theirs == nullptr) return;
  if (!mine->HasKeyData() || mine->HasSamePublicKey(*theirs)) mine->TakeKeyFrom(*theirs);
}

DWORD StoreSlotKey(CKeyContainer& container, DWORD key_spec, CKeyObject& key) {
  CKeyObject* slot = container.GetKeySlot(key_spec, true);
  if (slot == nullptr || !key.HasMaskedBlob()) return NTE_FAIL;
  CStoredContainer stored(container);
  if (stored.Status() != 0) return NTE_FAIL;
  stored.Stored().GetKeySlot(key_spec, true)->CopyKeyFrom(key);
  if (stored.Save() != 0) return NTE_FAIL;
  slot->TakeKeyFrom(key);
  AdoptStoredCounters(container, stored.Stored(), key_spec);
  return 0;
}
