// The value functions: query, set, delete, enumerate.
#include <kavrin/registry.h>

#include <algorithm>
#include <span>

#include "registry/key_path.h"
#include "registry/registry_call.h"

using namespace kavrin::platform::registry;

namespace {

// Hands out a value's type and bytes as RegQueryValueExW does: with no buffer
// only the size; with a buffer too small ERROR_MORE_DATA and the size needed.
LONG CopyValue(const StoredValue& value, DWORD* type, BYTE* data, DWORD* size) {
  if (type != nullptr) *type = value.type;
  if (size == nullptr) return ERROR_SUCCESS;
  const auto needed = static_cast<DWORD>(value.data.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) std::copy(value.data.begin(), value.data.end(), data);
  *size = needed;
  return ERROR_SUCCESS;
}

// Binds key for a change by a handle that needs `right`.
LONG BindForWrite(HKEY handle, REGSAM right, BoundKey* key) {
  if (const LONG error = BindKey(handle, key)) return error;
  return key->Has(right) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // namespace

KAVRIN_BEGIN_DECLS

KAVRIN_API LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    BoundKey key;
    if (const LONG error = BindKey(hKey, &key)) return error;
    if (!key.Has(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    const auto value = key.store().Value(key.id, NameOf(lpValueName));
    if (!value) return NotFound(key, ERROR_FILE_NOT_FOUND);
    return CopyValue(*value, lpType, lpData, lpcbData);
  });
}

KAVRIN_API LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                      const BYTE* lpData, DWORD cbData) {
  const auto name = NameOf(lpValueName);
  if ((lpData == nullptr && cbData != 0) || name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    BoundKey key;
    if (const LONG error = BindForWrite(hKey, KEY_SET_VALUE, &key)) return error;
    WriteScope scope(*key.db);
    if (const LONG error = CheckWritable(key)) return error;
    // Stored exactly as given, whatever the type: no terminator is added or checked.
    key.store().SetValue(key.id, name, dwType, std::span<const uint8_t>(lpData, lpData == nullptr ? 0 : cbData));
    scope.Commit();
    return ERROR_SUCCESS;
  });
}

KAVRIN_API LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return Guarded([&]() -> LONG {
    BoundKey key;
    if (const LONG error = BindForWrite(hKey, KEY_SET_VALUE, &key)) return error;
    WriteScope scope(*key.db);
    if (const LONG error = CheckWritable(key)) return error;
    if (!key.store().DeleteValue(key.id, NameOf(lpValueName))) return ERROR_FILE_NOT_FOUND;
    scope.Commit();
    return ERROR_SUCCESS;
  });
}

KAVRIN_API LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                     LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  return Guarded([&]() -> LONG {
    BoundKey key;
    if (const LONG error = BindKey(hKey, &key)) return error;
    if (!key.Has(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    const auto value = key.store().ValueAt(key.id, dwIndex);
    if (!value) return NotFound(key, ERROR_NO_MORE_ITEMS);
    if (value->name.size() >= *lpcchValueName) return ERROR_MORE_DATA;
    std::copy(value->name.begin(), value->name.end(), lpValueName);
    lpValueName[value->name.size()] = u'\0';
    *lpcchValueName = static_cast<DWORD>(value->name.size());
    return CopyValue(*value, lpType, lpData, lpcbData);
  });
}

KAVRIN_END_DECLS
