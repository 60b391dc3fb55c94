#include "crypt/crypt_handles.h"

#include <mutex>
#include <new>
#include <vector>
#include <unordered_map>

namespace kavrin::platform::crypt {
namespace {

struct Entry {
  HandleKind kind;
  WrappedHandle record;
};

class HandleTable {
 public:
  uintptr_t Issue(HandleKind kind, std::shared_ptr<ProviderContext> context, uintptr_t inner) {
    std::lock_guard lock(mutex_);
    // Values are not reused while the process lives.
    next_ += kStep;
    entries_.emplace(next_, Entry{kind, WrappedHandle{std::move(context), inner}});
    return next_;
  }

  std::optional<WrappedHandle> Find(uintptr_t handle, HandleKind kind) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(handle);
    if (it == entries_.end() || it->second.kind != kind) return std::nullopt;
    return it->second.record;
  }

  std::optional<WrappedHandle> Withdraw(uintptr_t handle, HandleKind kind) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(handle);
    if (it == entries_.end() || it->second.kind != kind) return std::nullopt;
    WrappedHandle record = std::move(it->second.record);
    entries_.erase(it);
    return record;
  }

  // The records are handed back so that the contexts they hold are let go
  // after the lock: the last one may unload a provider module.
  std::vector<WrappedHandle> WithdrawAllOf(const ProviderContext* context) {
    std::vector<WrappedHandle> withdrawn;
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->second.kind != HandleKind::kContext && it->second.record.context.get() == context) {
        withdrawn.push_back(std::move(it->second.record));
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
    return withdrawn;
  }

 private:
  // Distinct from small integers that a confused caller might pass.
  static constexpr uintptr_t kStep = 8;
  std::mutex mutex_;
  uintptr_t next_ = 0x10000;
  std::unordered_map<uintptr_t, Entry> entries_;
};

HandleTable& Table() {
  static auto* table = new HandleTable;
  return *table;
}

}  // namespace

uintptr_t IssueHandle(HandleKind kind, std::shared_ptr<ProviderContext> context, uintptr_t inner) {
  try {
    return Table().Issue(kind, std::move(context), inner);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

std::optional<WrappedHandle> FindHandle(uintptr_t handle, HandleKind kind) {
  return Table().Find(handle, kind);
}

std::optional<WrappedHandle> WithdrawHandle(uintptr_t handle, HandleKind kind) {
  return Table().Withdraw(handle, kind);
}

void WithdrawHandlesOf(const ProviderContext* context) { Table().WithdrawAllOf(context); }

}  // namespace kavrin::platform::crypt
