// The process-wide list of hash objects. Hash objects never outlive the
// release of any context of the process: every release empties the list.
//
// The list owns the objects; their handles only observe them. An object taken
// out of the list is destroyed once no call still uses it.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

class CHandleRegistry;
class CHashObject;

class CHashList {
 public:
  CHashList() = default;
  CHashList(const CHashList&) = delete;
  CHashList& operator=(const CHashList&) = delete;

  void Add(std::shared_ptr<CHashObject> hash);
  // Takes the object out of the list and withdraws its handles; false when
  // it is not in the list (destroyed already, or by another thread).
  bool Remove(const CHashObject* hash, CHandleRegistry& registry);
  // Withdraws the handles of every hash object and destroys them.
  void DestroyAll(CHandleRegistry& registry);

 private:
  std::mutex lock_;
  std::vector<std::shared_ptr<CHashObject>> hashes_;
};
