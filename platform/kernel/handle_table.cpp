#include "internal/handle_table.h"

#include <kavrin/kernel/files.h>

#include <mutex>
#include <unordered_map>

namespace kavrin::platform {
namespace {

class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(mutex_);
    next_ += 4;
    objects_.emplace(next_, std::move(object));
    return reinterpret_cast<HANDLE>(next_);
  }

  std::shared_ptr<KernelObject> Find(HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
  }

  // The object is released outside the lock: closing a file may take time.
  bool Remove(HANDLE handle) {
    std::shared_ptr<KernelObject> object;
    {
      std::lock_guard lock(mutex_);
      auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
      if (it == objects_.end()) return false;
      object = std::move(it->second);
      objects_.erase(it);
    }
    return true;
  }

 private:
  std::mutex mutex_;
  uintptr_t next_ = 0;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
};

HandleTable& Table() {
  static auto* table = new HandleTable();  // never destroyed: handles may be closed during exit
  return *table;
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) { return Table().Add(std::move(object)); }

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) { return Table().Find(handle); }

bool RemoveHandle(HANDLE handle) { return Table().Remove(handle); }

}  // namespace kavrin::platform

KAVRIN_EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (!kavrin::platform::RemoveHandle(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
