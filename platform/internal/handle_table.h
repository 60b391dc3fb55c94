// The process's table of kernel handles (files now; other kinds derive from
// KernelObject). A HANDLE is a key into the table, never a pointer, so a
// stale or forged value is refused with ERROR_INVALID_HANDLE instead of being
// dereferenced. Values are multiples of 4 and are not reused.
#pragma once

#include <kavrin/types.h>

#include <memory>

namespace kavrin::platform {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
};

// Registers object and returns its new handle.
HANDLE AddHandle(std::shared_ptr<KernelObject> object);

// The object behind handle, or null.
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);

// Removes handle; the object dies when its last user lets go of it. False
// when handle is not in the table.
bool RemoveHandle(HANDLE handle);

// The object behind handle if it is of kind T; otherwise null with the last
// error set to ERROR_INVALID_HANDLE.
template <class T>
std::shared_ptr<T> LookupHandle(HANDLE handle);

}  // namespace kavrin::platform

#include <kavrin/errors.h>

template <class T>
std::shared_ptr<T> kavrin::platform::LookupHandle(HANDLE handle) {
  auto object = std::dynamic_pointer_cast<T>(FindHandle(handle));
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}
