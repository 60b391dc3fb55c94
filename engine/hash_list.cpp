#include "hash_list.h"

#include "handle_registry.h"

#include <algorithm>
#include <utility>

void CHashList::Add(std::shared_ptr<CHashObject> hash) {
  std::lock_guard<std::mutex> guard(lock_);
  hashes_.push_back(std::move(hash));
}

bool CHashList::Remove(const CHashObject* hash, CHandleRegistry& registry) {
  std::shared_ptr<CHashObject> removed;  // destroyed after the lock is left
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find_if(hashes_.begin(), hashes_.end(),
                         [&](const auto& entry) { return entry.get() == hash; });
  if (it == hashes_.end()) return false;
  registry.WithdrawObjectHandles(hash, HK_HASH);
  removed = std::move(*it);
  hashes_.erase(it);
  return true;
}

void CHashList::DestroyAll(CHandleRegistry& registry) {
  std::vector<std::shared_ptr<CHashObject>> doomed;  // destroyed after the lock is left
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& hash : hashes_) registry.WithdrawObjectHandles(hash.get(), HK_HASH);
  doomed.swap(hashes_);
}
