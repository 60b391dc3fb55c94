// Buffers for typed secrets (PINs): their memory is wiped before it is
// released, also when a buffer grows and moves. Vectors rather than strings so
// that no short-string storage escapes the wiping.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <new>
#include <string_view>
#include <vector>

namespace kavrin::platform::ui {

template <class T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept {
    OPENSSL_cleanse(p, n * sizeof(T));
    ::operator delete(p);
  }

  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// UTF-8 bytes of a secret, as the pinentry program and the script carry it.
using SecretUtf8 = std::vector<char, WipingAllocator<char>>;
// UTF-16 text of a secret, as the caller receives it.
using SecretUtf16 = std::vector<char16_t, WipingAllocator<char16_t>>;

inline std::string_view View(const SecretUtf8& bytes) { return {bytes.data(), bytes.size()}; }

// Converts a secret to UTF-16 without leaving an unwiped copy behind.
SecretUtf16 SecretToUtf16(std::string_view utf8);

}  // namespace kavrin::platform::ui
