// The provider's registration: the key under which CryptoAPI finds the
// provider, the values the front module and the engine store there, and the
// digest of the engine file that the front module checks before it loads the
// engine.
#pragma once

#include <kavrin/kernel/text.h>
#include <kavrin/types.h>

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvex {

// Under HKEY_LOCAL_MACHINE.
inline constexpr char16_t kProviderParentKey[] =
    u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
inline constexpr char16_t kProviderKey[] =
    u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Kavrin Orvex v1.0 Dorvel";

// Written by the front module's registration.
inline constexpr char16_t kImagePathValue[] = u"Image Path";
inline constexpr char16_t kTypeValue[] = u"Type";
inline constexpr char16_t kSigInFileValue[] = u"SigInFile";
inline constexpr char16_t kSignatureValue[] = u"Signature";
// Written by the engine's registration: where the engine lives, and the
// SHA-256 digest of that file when it was registered.
inline constexpr char16_t kEngineImagePathValue[] = u"Orvex Image Path";
inline constexpr char16_t kEngineImageDigestValue[] = u"Orvex Image Digest";

using ImageDigest = std::array<unsigned char, 32>;

// A module path as stored in the registry, as the native path that module
// loading opens: UTF-8, with '\' taken as a separator.
inline std::string NativeImagePath(std::u16string_view path) {
  const int length = static_cast<int>(path.size());
  const int size = WideCharToMultiByte(CP_UTF8, 0, path.data(), length, nullptr, 0, nullptr, nullptr);
  std::string native(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, path.data(), length, native.data(), size, nullptr, nullptr);
  }
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

// SHA-256 of everything readable from fd; nullopt when reading or hashing fails.
inline std::optional<ImageDigest> DigestOfOpenFile(int fd, OSSL_LIB_CTX* libctx) {
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(libctx, "SHA256", nullptr),
                                                     &EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!md || !ctx || EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr) != 1) return std::nullopt;
  std::array<unsigned char, 64 * 1024> buffer;
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got == 0) break;
    if (got < 0) return std::nullopt;
    if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(got)) != 1) {
      return std::nullopt;
    }
  }
  ImageDigest digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1 || size != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

// SHA-256 of the file at a registered module path.
inline std::optional<ImageDigest> DigestOfImageFile(std::u16string_view path, OSSL_LIB_CTX* libctx) {
  const int fd = open(NativeImagePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  auto digest = DigestOfOpenFile(fd, libctx);
  close(fd);
  return digest;
}

}  // namespace orvex
