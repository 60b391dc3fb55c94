// What every application function shares: failing with a code, staying
// exception-free, and finding the records behind application handles.
#pragma once

#include "crypt/crypt_handles.h"

#include <kavrin/errors.h>

#include <new>

namespace kavrin::platform::crypt {

inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Runs an application function; no exception leaves the layer.
template <class Body>
BOOL Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    SetLastError(NTE_NO_MEMORY);
  } catch (...) {
    SetLastError(NTE_FAIL);
  }
  return FALSE;
}

// The record behind an optional key or hash handle passed along with another
// one: 0 stays 0; otherwise it must be a handle of that kind from the same
// provider module, since a provider knows only its own handles.
inline bool InnerOfOptional(uintptr_t handle, HandleKind kind, const ProviderContext& owner,
                            uintptr_t* inner) {
  *inner = 0;
  if (handle == 0) return true;
  const auto record = FindHandle(handle, kind);
  if (!record || record->context->module != owner.module) return false;
  *inner = record->inner;
  return true;
}

// Hands the caller an application handle for a key or hash the provider has
// just made; if no handle can be issued the provider's object is destroyed.
template <class Destroy>
BOOL WrapNew(HandleKind kind, const std::shared_ptr<ProviderContext>& context, uintptr_t inner,
             uintptr_t* out, Destroy destroy) {
  const uintptr_t handle = IssueHandle(kind, context, inner);
  if (handle == 0) {
    destroy(*context, inner);
    return Fail(NTE_NO_MEMORY);
  }
  *out = handle;
  return TRUE;
}

}  // namespace kavrin::platform::crypt
