// Read-only keys: the stand-in for an access-control list that grants the
// user only read access to a key and everything beneath it.
#include <kavrin/registry.h>

#include <vector>

#include "registry/key_path.h"
#include "registry/registry_call.h"

using namespace kavrin::platform::registry;

namespace {

LONG SetReadOnly(HKEY root, const WCHAR* sub_key, bool read_only) {
  std::vector<std::u16string_view> path;
  if (const LONG error = SplitKeyPath(sub_key, &path)) return error;
  BoundKey base;
  if (const LONG error = BindKey(root, &base)) return error;
  HiveStore& store = base.store();
  WriteScope scope(*base.db);
  if (!store.State(base.id).exists) return ERROR_KEY_DELETED;
  // An administrator's act, so marks above do not stop it.
  int64_t key = base.id;
  for (const auto part : path) {
    const auto child = store.FindChild(key, part);
    if (!child && !read_only) return ERROR_FILE_NOT_FOUND;
    key = child ? *child : store.AddChild(key, part);
  }
  store.SetFlag(key, kKeyReadOnly, read_only);
  scope.Commit();
  return ERROR_SUCCESS;
}

}  // namespace

KAVRIN_BEGIN_DECLS

KAVRIN_API LONG WINAPI KavrinRegSetKeyReadOnly(HKEY root, LPCWSTR subKey, BOOL readOnly) {
  return Guarded([&]() -> LONG { return SetReadOnly(root, subKey, readOnly != FALSE); });
}

KAVRIN_END_DECLS
