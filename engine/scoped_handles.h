// Owners for the platform handles the engine opens: a registry key and a file.
#pragma once

#include <kavrin/kernel/files.h>
#include <kavrin/registry.h>

class ScopedRegKey {
 public:
  ScopedRegKey() = default;
  ~ScopedRegKey() { Reset(); }
  ScopedRegKey(const ScopedRegKey&) = delete;
  ScopedRegKey& operator=(const ScopedRegKey&) = delete;

  HKEY get() const { return key_; }
  HKEY* out() {
    Reset();
    return &key_;
  }
  void Reset() {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

class ScopedFileHandle {
 public:
  explicit ScopedFileHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedFileHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedFileHandle(const ScopedFileHandle&) = delete;
  ScopedFileHandle& operator=(const ScopedFileHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};
