#include "registry/key_handles.h"

#include <kavrin/registry.h>

#include <mutex>
#include <unordered_map>

namespace kavrin::platform::registry {
namespace {

// Every right a key can grant: the predefined keys are opened with all of them.
constexpr REGSAM kAllRights = KEY_ALL_ACCESS | KEY_NOTIFY | KEY_CREATE_LINK;

class HandleTable {
 public:
  HKEY Add(KeyHandle handle) {
    std::lock_guard lock(mutex_);
    // Small multiples of four, far from the predefined values.
    next_ += 4;
    handles_.emplace(next_, std::move(handle));
    return reinterpret_cast<HKEY>(next_);
  }

  std::optional<KeyHandle> Find(HKEY key) {
    std::lock_guard lock(mutex_);
    const auto found = handles_.find(reinterpret_cast<uintptr_t>(key));
    if (found == handles_.end()) return std::nullopt;
    return found->second;
  }

  bool Remove(HKEY key) {
    std::lock_guard lock(mutex_);
    return handles_.erase(reinterpret_cast<uintptr_t>(key)) != 0;
  }

 private:
  std::mutex mutex_;
  uintptr_t next_ = 0x1000;
  std::unordered_map<uintptr_t, KeyHandle> handles_;
};

HandleTable& Handles() {
  // Never destroyed: handles may still be closed while the process exits.
  static auto* table = new HandleTable;
  return *table;
}

}  // namespace

std::optional<KeyHandle> PredefinedKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return KeyHandle{Hive::kLocalMachine, kRootKeyId, kAllRights, {}};
  if (key == HKEY_CURRENT_USER) return KeyHandle{Hive::kCurrentUser, kRootKeyId, kAllRights, {}};
  if (key == HKEY_CLASSES_ROOT) return KeyHandle{Hive::kLocalMachine, kClassesRootKey, kAllRights, {}};
  return std::nullopt;
}

bool IsPredefinedKey(HKEY key) {
  const auto value = reinterpret_cast<intptr_t>(key);
  return value >= static_cast<int32_t>(0x80000000u) && value <= static_cast<int32_t>(0x800000FFu);
}

HKEY AddKeyHandle(KeyHandle handle) { return Handles().Add(std::move(handle)); }

std::optional<KeyHandle> FindKeyHandle(HKEY key) {
  if (const auto predefined = PredefinedKey(key)) return predefined;
  return Handles().Find(key);
}

bool RemoveKeyHandle(HKEY key) { return Handles().Remove(key); }

}  // namespace kavrin::platform::registry
