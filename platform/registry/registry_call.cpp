#include "registry/registry_call.h"

#include <cstring>

#include "registry/key_handles.h"

namespace kavrin::platform::registry {

LONG BindKey(HKEY key, BoundKey* out) {
  const auto handle = FindKeyHandle(key);
  if (!handle) return ERROR_INVALID_HANDLE;
  HiveDatabase& db = ThreadHive(handle->hive);
  if (!handle->file.empty() && handle->file != db.file()) return ERROR_INVALID_HANDLE;
  out->db = &db;
  out->id = handle->key == kClassesRootKey ? db.ClassesRoot() : handle->key;
  out->access = handle->access;
  return ERROR_SUCCESS;
}

LONG CheckWritable(const BoundKey& key) {
  const KeyState state = key.store().State(key.id);
  if (!state.exists) return ERROR_KEY_DELETED;
  return state.read_only ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

LONG NotFound(const BoundKey& key, LONG missing) {
  return key.store().State(key.id).exists ? missing : ERROR_KEY_DELETED;
}

void WriteFileTime(struct _FILETIME* out, int64_t ticks) {
  if (out == nullptr) return;
  // Low DWORD first, as the structure lays it out.
  const DWORD parts[2] = {static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu),
                          static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32)};
  std::memcpy(static_cast<void*>(out), parts, sizeof(parts));
}

}  // namespace kavrin::platform::registry
