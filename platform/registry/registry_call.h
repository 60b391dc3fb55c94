// What every registry function does first: turn the handle into a key of the
// calling thread's hive connection, and turn storage failures into error
// codes at the C boundary.
#pragma once

#include <kavrin/registry.h>

#include <new>

#include "registry/hive_database.h"

namespace kavrin::platform::registry {

struct BoundKey {
  HiveDatabase* db = nullptr;
  int64_t id = 0;
  REGSAM access = 0;

  HiveStore& store() const { return db->store(); }
  bool Has(REGSAM right) const { return (access & right) != 0; }
};

// ERROR_INVALID_HANDLE for a handle that is not open, or that was opened under
// another machine root.
LONG BindKey(HKEY key, BoundKey* out);

// Before a change to the key: ERROR_KEY_DELETED when it is gone,
// ERROR_ACCESS_DENIED when it (or an ancestor) is read-only.
LONG CheckWritable(const BoundKey& key);

// The error for a lookup in the key that found nothing: `missing` while the
// key exists, ERROR_KEY_DELETED once it is gone.
LONG NotFound(const BoundKey& key, LONG missing);

void WriteFileTime(struct _FILETIME* out, int64_t ticks);

// Runs one registry function, turning a storage failure into
// ERROR_REGISTRY_IO_FAILED and exhausted memory into ERROR_NOT_ENOUGH_MEMORY.
template <class Body>
LONG Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_REGISTRY_IO_FAILED;
  }
}

}  // namespace kavrin::platform::registry
