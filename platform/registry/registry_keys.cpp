// The key functions: create, open, close, delete, enumerate, describe.
#include <kavrin/registry.h>

#include <algorithm>
#include <vector>

#include "registry/access_rights.h"
#include "registry/key_handles.h"
#include "registry/key_path.h"
#include "registry/registry_call.h"

using namespace kavrin::platform::registry;

namespace {

using Path = std::vector<std::u16string_view>;

// The right a handle needs to add or remove keys beneath its key.
constexpr REGSAM kChangeSubKeys = KEY_CREATE_SUB_KEY | DELETE;

// Follows path from key through existing keys only.
std::optional<int64_t> FindPath(HiveStore& store, int64_t key, const Path& path) {
  for (const auto part : path) {
    const auto child = store.FindChild(key, part);
    if (!child) return std::nullopt;
    key = *child;
  }
  return key;
}

// A handle for key, opened through parent. A predefined key opened without a
// sub-key is handed back itself, as Windows does.
HKEY NewHandle(HKEY parent, const BoundKey& base, int64_t key, REGSAM access) {
  if (IsPredefinedKey(parent) && key == base.id) return parent;
  return AddKeyHandle(KeyHandle{base.db->hive(), key, access, base.db->file()});
}

LONG OpenKey(HKEY parent, const WCHAR* sub_key, REGSAM desired, HKEY* result) {
  Path path;
  if (const LONG error = SplitKeyPath(sub_key, &path)) return error;
  BoundKey base;
  if (const LONG error = BindKey(parent, &base)) return error;
  HiveStore& store = base.store();
  if (!store.State(base.id).exists) return ERROR_KEY_DELETED;
  const auto key = FindPath(store, base.id, path);
  if (!key) return ERROR_FILE_NOT_FOUND;
  const auto granted = GrantedAccess(desired, store.State(*key).read_only);
  if (!granted) return ERROR_ACCESS_DENIED;
  *result = NewHandle(parent, base, *key, *granted);
  return ERROR_SUCCESS;
}

LONG CreateKey(HKEY parent, const WCHAR* sub_key, REGSAM desired, HKEY* result, DWORD* disposition) {
  Path path;
  if (const LONG error = SplitKeyPath(sub_key, &path)) return error;
  BoundKey base;
  if (const LONG error = BindKey(parent, &base)) return error;
  HiveStore& store = base.store();
  if (!store.State(base.id).exists) return ERROR_KEY_DELETED;
  // Most calls name a key that exists: open it as RegOpenKeyEx would, without
  // waiting for the hive's write lock. A missing key is looked up again under
  // the lock, where another writer may have created it meanwhile.
  if (const auto existing = FindPath(store, base.id, path)) {
    const auto granted = GrantedAccess(desired, store.State(*existing).read_only);
    if (!granted) return ERROR_ACCESS_DENIED;
    *result = NewHandle(parent, base, *existing, *granted);
    if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  }
  WriteScope scope(*base.db);
  if (!store.State(base.id).exists) return ERROR_KEY_DELETED;
  int64_t key = base.id;
  size_t found = 0;
  for (; found < path.size(); ++found) {
    const auto child = store.FindChild(key, path[found]);
    if (!child) break;
    key = *child;
  }
  const bool create = found < path.size();
  if (create) {
    // Intermediate keys are created too, all of them or none.
    if (!base.Has(KEY_CREATE_SUB_KEY) || store.State(key).read_only) return ERROR_ACCESS_DENIED;
    for (; found < path.size(); ++found) key = store.AddChild(key, path[found]);
  }
  const auto granted = GrantedAccess(desired, !create && store.State(key).read_only);
  if (!granted) return ERROR_ACCESS_DENIED;
  scope.Commit();
  *result = NewHandle(parent, base, key, *granted);
  if (disposition != nullptr) *disposition = create ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// Deletes parent\sub_key: one key without sub-keys, or (tree) a whole
// subtree. A tree deletion without sub_key empties parent and keeps it.
LONG DeleteKey(HKEY parent, const WCHAR* sub_key, bool tree) {
  Path path;
  if (const LONG error = SplitKeyPath(sub_key, &path)) return error;
  BoundKey base;
  if (const LONG error = BindKey(parent, &base)) return error;
  const bool keep_root = tree && sub_key == nullptr;
  const bool self = path.empty() && !keep_root;
  if (!base.Has(self ? DELETE : kChangeSubKeys)) return ERROR_ACCESS_DENIED;
  HiveStore& store = base.store();
  WriteScope scope(*base.db);
  if (!store.State(base.id).exists) return ERROR_KEY_DELETED;
  const auto key = FindPath(store, base.id, path);
  if (!key) return ERROR_FILE_NOT_FOUND;
  const KeyState state = store.State(*key);
  if (state.read_only || (state.system && !keep_root)) return ERROR_ACCESS_DENIED;
  // A key with sub-keys is deleted only as a tree.
  if (tree ? store.SubtreeProtected(*key) : store.HasChildren(*key)) return ERROR_ACCESS_DENIED;
  store.DeleteSubtree(*key, keep_root);
  scope.Commit();
  return ERROR_SUCCESS;
}

// Copies text and its terminator into a buffer of *chars characters; on
// success *chars is the length without the terminator.
LONG CopyName(std::u16string_view text, WCHAR* buffer, DWORD* chars) {
  if (text.size() >= *chars) return ERROR_MORE_DATA;
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = u'\0';
  *chars = static_cast<DWORD>(text.size());
  return ERROR_SUCCESS;
}

// Keys have no class: an empty class string where one is asked for.
LONG EmptyClass(WCHAR* buffer, DWORD* chars) {
  if (buffer == nullptr) {
    if (chars != nullptr) *chars = 0;
    return ERROR_SUCCESS;
  }
  if (chars == nullptr) return ERROR_INVALID_PARAMETER;
  return CopyName(u"", buffer, chars);
}

}  // namespace

KAVRIN_BEGIN_DECLS

KAVRIN_API LONG WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  // No sub-key: a new handle to hKey's own key.
  return RegCreateKeyExW(hKey, lpSubKey != nullptr ? lpSubKey : u"", 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr, phkResult,
                         nullptr);
}

KAVRIN_API LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                       DWORD dwOptions, REGSAM samDesired,
                                       const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                       LPDWORD lpdwDisposition) {
  if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  // Every key persists (there is no restart to lose volatile keys at);
  // symbolic links and backup semantics are not offered.
  if ((dwOptions & ~static_cast<DWORD>(REG_OPTION_VOLATILE | REG_OPTION_OPEN_LINK)) != 0) {
    return (dwOptions & (REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE)) ? ERROR_NOT_SUPPORTED
                                                                             : ERROR_INVALID_PARAMETER;
  }
  return Guarded([&]() -> LONG { return CreateKey(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition); });
}

KAVRIN_API LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                     PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if ((ulOptions & ~static_cast<DWORD>(REG_OPTION_OPEN_LINK)) != 0) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG { return OpenKey(hKey, lpSubKey, samDesired, phkResult); });
}

KAVRIN_API LONG WINAPI RegCloseKey(HKEY hKey) {
  if (IsPredefinedKey(hKey)) return ERROR_SUCCESS;
  return Guarded([&]() -> LONG { return RemoveKeyHandle(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; });
}

KAVRIN_API LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG { return DeleteKey(hKey, lpSubKey, false); });
}

KAVRIN_API LONG WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return Guarded([&]() -> LONG { return DeleteKey(hKey, lpSubKey, true); });
}

KAVRIN_API LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                     LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                     struct _FILETIME* lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    BoundKey key;
    if (const LONG error = BindKey(hKey, &key)) return error;
    if (!key.Has(KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    int64_t written = 0;
    const auto name = key.store().ChildAt(key.id, dwIndex, &written);
    if (!name) return NotFound(key, ERROR_NO_MORE_ITEMS);
    if (const LONG error = CopyName(*name, lpName, lpcchName)) return error;
    if (const LONG error = EmptyClass(lpClass, lpcchClass)) return error;
    WriteFileTime(lpftLastWriteTime, written);
    return ERROR_SUCCESS;
  });
}

KAVRIN_API LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                        LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                        LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                        LPDWORD lpcbSecurityDescriptor, struct _FILETIME* lpftLastWriteTime) {
  if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    BoundKey key;
    if (const LONG error = BindKey(hKey, &key)) return error;
    if (!key.Has(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    if (!key.store().State(key.id).exists) return ERROR_KEY_DELETED;
    if (const LONG error = EmptyClass(lpClass, lpcchClass)) return error;
    const KeyInfo info = key.store().Info(key.id);
    const auto put = [](DWORD* out, DWORD value) {
      if (out != nullptr) *out = value;
    };
    put(lpcSubKeys, info.sub_keys);
    put(lpcbMaxSubKeyLen, info.max_sub_key_name);
    put(lpcbMaxClassLen, 0);
    put(lpcValues, info.values);
    put(lpcbMaxValueNameLen, info.max_value_name);
    put(lpcbMaxValueLen, info.max_value_data);
    put(lpcbSecurityDescriptor, 0);
    WriteFileTime(lpftLastWriteTime, info.written);
    return ERROR_SUCCESS;
  });
}

KAVRIN_END_DECLS
