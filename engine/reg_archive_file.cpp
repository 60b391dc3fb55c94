#include "reg_archive_file.h"

#include "scoped_handles.h"

bool CRegArchiveFile::SetValueName(const WCHAR* key_path, const WCHAR* value_name) {
  if (key_path == nullptr || value_name == nullptr) return false;
  key_path_ = key_path;
  value_name_ = value_name;
  named_ = true;
  return true;
}

bool CRegArchiveFile::Read(void* buffer, DWORD* size) {
  if (!named_ || size == nullptr || IsStoring()) return false;
  ScopedRegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key_path_.c_str(), 0, KEY_READ, key.out()) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD stored = 0;
  if (RegQueryValueExW(key.get(), value_name_.c_str(), nullptr, nullptr, nullptr, &stored) !=
      ERROR_SUCCESS) {
    return false;
  }
  if (buffer == nullptr) {
    *size = stored;
    return true;
  }
  if (stored > *size) return false;
  DWORD read = stored;
  if (RegQueryValueExW(key.get(), value_name_.c_str(), nullptr, nullptr,
                       static_cast<BYTE*>(buffer), &read) != ERROR_SUCCESS) {
    return false;
  }
  *size = read;
  return true;
}

bool CRegArchiveFile::Write(const void* buffer, DWORD size) {
  if (!named_ || !IsStoring() || (buffer == nullptr && size != 0)) return false;
  ScopedRegKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key_path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, key.out(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  static const BYTE kNothing = 0;  // an empty item is an empty value, not a missing one
  const BYTE* bytes = size != 0 ? static_cast<const BYTE*>(buffer) : &kNothing;
  return RegSetValueExW(key.get(), value_name_.c_str(), 0, REG_BINARY, bytes, size) ==
         ERROR_SUCCESS;
}
