#include "handle_registry.h"

#include "prov_context.h"

#include <algorithm>
#include <new>
#include <utility>

namespace {

// A few draws are enough: a mask is rejected only when it would give the
// handle 0 or a value already issued, which 64 random bits make very rare.
constexpr int kMaskAttempts = 8;

}  // namespace

bool CHandleRegistry::Entry::Matches(uintptr_t value, DWORD wanted_kind) const {
  return handle == value && kind == wanted_kind &&
         handle == (reinterpret_cast<uintptr_t>(object) ^ mask);
}

CHandleRegistry::CHandleRegistry(RandomSource random) : random_(std::move(random)) {}

bool CHandleRegistry::HandleInUse(uintptr_t handle) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const Entry& e) { return e.handle == handle && !e.Expired(); });
}

bool CHandleRegistry::DrawMask(const void* object, uintptr_t* mask, uintptr_t* handle) const {
  for (int attempt = 0; attempt < kMaskAttempts; ++attempt) {
    uintptr_t drawn = 0;
    if (!random_(&drawn, sizeof drawn)) return false;
    const uintptr_t value = reinterpret_cast<uintptr_t>(object) ^ drawn;
    if (drawn == 0 || value == 0 || HandleInUse(value)) continue;
    *mask = drawn;
    *handle = value;
    return true;
  }
  return false;
}

uintptr_t CHandleRegistry::IssueHandle(const std::shared_ptr<void>& object, DWORD kind) {
  if (!object) return 0;
  std::vector<Entry> expired;  // destroyed after the lock is left
  std::lock_guard<std::recursive_mutex> guard(lock_);
  try {
    // Entries whose objects are gone are dropped here rather than by the
    // objects themselves, which may die on any thread under any lock.
    auto dead = std::stable_partition(entries_.begin(), entries_.end(),
                                      [](const Entry& e) { return !e.Expired(); });
    std::move(dead, entries_.end(), std::back_inserter(expired));
    entries_.erase(dead, entries_.end());

    Entry entry;
    entry.object = object.get();
    entry.kind = kind;
    if (!DrawMask(entry.object, &entry.mask, &entry.handle)) return 0;
    if (kind == HK_CONTEXT) {
      entry.owner = object;
    } else {
      entry.life = object;
    }
    entries_.push_back(std::move(entry));
    return entries_.back().handle;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

std::shared_ptr<void> CHandleRegistry::ResolveHandle(uintptr_t handle, DWORD kind) const {
  if (handle == 0) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (const Entry& e : entries_) {
    if (!e.Matches(handle, kind)) continue;
    if (auto object = e.Strong()) return object;
  }
  return nullptr;
}

bool CHandleRegistry::WithdrawHandle(uintptr_t handle) {
  std::shared_ptr<void> removed;  // destroyed after the lock is left
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.handle == handle; });
  if (it == entries_.end()) return false;
  removed = std::move(it->owner);
  entries_.erase(it);
  return true;
}

std::shared_ptr<void> CHandleRegistry::TakeHandle(uintptr_t handle, DWORD kind) {
  if (handle == 0) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (!it->Matches(handle, kind)) continue;
    auto object = it->Strong();
    if (!object) continue;
    entries_.erase(it);
    return object;
  }
  return nullptr;
}

void CHandleRegistry::WithdrawObjectHandles(const void* object, DWORD kind) {
  std::vector<Entry> removed;  // destroyed after the lock is left
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto gone = std::stable_partition(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return !(e.kind == kind && e.object == object);
  });
  std::move(gone, entries_.end(), std::back_inserter(removed));
  entries_.erase(gone, entries_.end());
}

std::vector<std::shared_ptr<CProvContext>> CHandleRegistry::TakeContexts(
    const CKeyContainer* container) {
  std::vector<std::shared_ptr<CProvContext>> taken;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto keep = std::stable_partition(entries_.begin(), entries_.end(), [&](const Entry& e) {
    if (e.kind != HK_CONTEXT) return true;
    const auto* context = static_cast<const CProvContext*>(e.object);
    return container != nullptr && context->BoundContainer() != container;
  });
  for (auto it = keep; it != entries_.end(); ++it) {
    taken.push_back(std::static_pointer_cast<CProvContext>(std::move(it->owner)));
  }
  entries_.erase(keep, entries_.end());
  return taken;
}

// Contexts are taken out of the table under the lock and released after it is
// left: a release reaches the context, hash and container code, which must
// never run inside the registry lock.
void CHandleRegistry::ReleaseContextsOfContainer(const CKeyContainer* container) {
  if (container == nullptr) return;
  for (auto& context : TakeContexts(container)) context->Release(*this);
}

void CHandleRegistry::ReleaseAllContexts() {
  for (auto& context : TakeContexts(nullptr)) context->Release(*this);
}

size_t CHandleRegistry::EntryCount() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return entries_.size();
}
