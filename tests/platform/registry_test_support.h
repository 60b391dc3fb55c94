// Small helpers for the registry tests: owned key handles, typed reads and
// writes, enumeration, and child processes.
#pragma once

#include <kavrin/registry.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace kavrin::test {

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

inline Key CreateKey(HKEY root, const std::u16string& path, REGSAM access = KEY_ALL_ACCESS,
                     LONG* error = nullptr, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  const LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                                  disposition);
  if (error != nullptr) *error = rc;
  return Key(rc == ERROR_SUCCESS ? key : nullptr);
}

inline Key OpenKey(HKEY root, const std::u16string& path, REGSAM access = KEY_READ, LONG* error = nullptr) {
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExW(root, path.c_str(), 0, access, &key);
  if (error != nullptr) *error = rc;
  return Key(rc == ERROR_SUCCESS ? key : nullptr);
}

using Bytes = std::vector<BYTE>;

inline Bytes BytesOf(const void* data, size_t size) {
  const auto* p = static_cast<const BYTE*>(data);
  return Bytes(p, p + size);
}

// A UTF-16 string's bytes with its terminator, as REG_SZ stores text.
inline Bytes TextBytes(const std::u16string& text) { return BytesOf(text.c_str(), (text.size() + 1) * 2); }

inline LONG SetValue(HKEY key, const char16_t* name, DWORD type, const Bytes& data) {
  return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

inline LONG SetDword(HKEY key, const char16_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

struct Value {
  DWORD type = 0;
  Bytes data;
};

// The value, or the error that RegQueryValueExW gave.
inline std::optional<Value> QueryValue(HKEY key, const char16_t* name, LONG* error = nullptr) {
  DWORD type = 0;
  DWORD size = 0;
  LONG rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  Value value{type, Bytes(size)};
  if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
  if (error != nullptr) *error = rc;
  if (rc != ERROR_SUCCESS) return std::nullopt;
  value.data.resize(size);
  return value;
}

inline std::optional<DWORD> QueryDword(HKEY key, const char16_t* name) {
  const auto value = QueryValue(key, name);
  if (!value || value->data.size() != sizeof(DWORD)) return std::nullopt;
  DWORD out = 0;
  std::memcpy(&out, value->data.data(), sizeof(out));
  return out;
}

inline std::vector<std::u16string> SubKeyNames(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD index = 0;; ++index) {
    WCHAR name[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  return names;
}

inline std::vector<std::u16string> ValueNames(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD index = 0;; ++index) {
    WCHAR name[256];
    DWORD chars = 256;
    if (RegEnumValueW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  return names;
}

// Runs body in a forked child; the child exits with body's result. SQLite's
// file locks belong to processes, so the parent must hold no hive open at
// the fork: do earlier registry work on a thread that has ended.
inline pid_t StartChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

// The child's exit status, or -1 when it did not exit normally.
inline int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace kavrin::test
