// Byte buffers for key material: every block the buffer gives back to the heap
// is overwritten first, including the blocks left behind when it grows.
#pragma once

#include <kavrin/types.h>

#include <openssl/crypto.h>

#include <cstddef>
#include <memory>
#include <vector>

template <class T>
struct CleansingAllocator {
  using value_type = T;

  CleansingAllocator() noexcept = default;
  template <class U>
  CleansingAllocator(const CleansingAllocator<U>&) noexcept {}

  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }

  template <class U>
  bool operator==(const CleansingAllocator<U>&) const noexcept {
    return true;
  }
};

using SecureBytes = std::vector<BYTE, CleansingAllocator<BYTE>>;
