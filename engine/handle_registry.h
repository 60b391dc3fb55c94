// The process-wide table through which every context, key and hash handle is
// issued, resolved and withdrawn.
//
// A handle is the object's address XOR a pointer-wide random mask, so a handle
// never reveals an address, and an entry resolves only for its own kind.
//
// Ownership: a context handle owns its context (the context lives until its
// handle is withdrawn and no call is still using it). Key and hash handles only
// observe objects owned elsewhere (a context's key list, a container's slots,
// the hash list); once such an object is gone its handles no longer resolve,
// even if nobody withdrew them.
//
// Resolution hands out a strong reference, so an object stays alive for the
// whole of a call that resolved it, even when another thread withdraws its
// handle meanwhile.
//
// Lock order: the registry lock is the innermost engine lock. Nothing runs
// under it but the table itself; objects whose entries are removed are
// destroyed after the lock is left.
#pragma once

#include <kavrin/types.h>

#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

class CKeyContainer;
class CProvContext;

enum HandleKind : DWORD {
  HK_CONTEXT = 1,
  HK_KEY = 2,
  HK_HASH = 4,
};

class CHandleRegistry {
 public:
  // Fills the buffer with random bytes; false when the generator fails.
  using RandomSource = std::function<bool(void* out, size_t len)>;

  explicit CHandleRegistry(RandomSource random);
  CHandleRegistry(const CHandleRegistry&) = delete;
  CHandleRegistry& operator=(const CHandleRegistry&) = delete;

  // A new handle for the object, or 0 when no mask could be drawn or no
  // memory was left. Handles of the table are never 0 and never equal.
  uintptr_t IssueHandle(const std::shared_ptr<void>& object, DWORD kind);

  // The object of the first entry with this handle value and kind, or null.
  std::shared_ptr<void> ResolveHandle(uintptr_t handle, DWORD kind) const;
  template <class T>
  std::shared_ptr<T> Resolve(uintptr_t handle, DWORD kind) const {
    return std::static_pointer_cast<T>(ResolveHandle(handle, kind));
  }

  // Removes the first entry with this handle value, whatever its kind.
  bool WithdrawHandle(uintptr_t handle);
  // Resolves and removes in one step, so that two threads cannot both take
  // the same handle.
  std::shared_ptr<void> TakeHandle(uintptr_t handle, DWORD kind);
  // Removes every entry of this kind that refers to the object.
  void WithdrawObjectHandles(const void* object, DWORD kind);

  // Releases, as CPReleaseContext does, every context bound to the container,
  // or every context at all.
  void ReleaseContextsOfContainer(const CKeyContainer* container);
  void ReleaseAllContexts();

  // Entries still in the table, expired ones included (tests).
  size_t EntryCount() const;

 private:
  struct Entry {
    const void* object = nullptr;
    uintptr_t mask = 0;
    uintptr_t handle = 0;
    DWORD kind = 0;
    std::shared_ptr<void> owner;  // context handles
    std::weak_ptr<void> life;     // key and hash handles

    bool Matches(uintptr_t value, DWORD wanted_kind) const;
    bool Expired() const { return !owner && life.expired(); }
    std::shared_ptr<void> Strong() const { return owner ? owner : life.lock(); }
  };

  bool DrawMask(const void* object, uintptr_t* mask, uintptr_t* handle) const;
  bool HandleInUse(uintptr_t handle) const;
  std::vector<std::shared_ptr<CProvContext>> TakeContexts(const CKeyContainer* container);

  RandomSource random_;
  mutable std::recursive_mutex lock_;
  std::vector<Entry> entries_;
};
