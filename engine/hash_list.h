// The process-wide list of hash objects. Hash objects never outlive the
// release of any context of the process: every release empties the list.
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
  // Withdraws the handles of every hash object and destroys them.
  void DestroyAll(CHandleRegistry& registry);

 private:
  std::mutex lock_;
  std::vector<std::shared_ptr<CHashObject>> hashes_;
};
