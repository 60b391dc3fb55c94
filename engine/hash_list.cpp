#include "hash_list.h"

#include "handle_registry.h"

#include <utility>

void CHashList::Add(std::shared_ptr<CHashObject> hash) {
  std::lock_guard<std::mutex> guard(lock_);
  hashes_.push_back(std::move(hash));
}

void CHashList::DestroyAll(CHandleRegistry& registry) {
  std::vector<std::shared_ptr<CHashObject>> doomed;  // destroyed after the lock is left
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& hash : hashes_) registry.WithdrawObjectHandles(hash.get(), HK_HASH);
  doomed.swap(hashes_);
}
