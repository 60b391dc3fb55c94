#include "engine_location.h"

#include "front_messages.h"

#include <kavrin/registry.h>

#include <cstring>
#include <vector>

namespace {

class ProviderKey {
 public:
  ProviderKey() = default;
  ~ProviderKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ProviderKey(const ProviderKey&) = delete;
  ProviderKey& operator=(const ProviderKey&) = delete;

  // Opens the key, creating it when missing.
  bool Open() {
    return RegCreateKeyW(HKEY_LOCAL_MACHINE, orvex::kProviderKey, &key_) == ERROR_SUCCESS;
  }

  bool Has(const char16_t* name) const {
    return RegQueryValueExW(key_, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }

  // A REG_SZ value up to its first null; nullopt when missing or of another type.
  std::optional<std::u16string> Text(const char16_t* name) const {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
      return std::nullopt;
    }
    std::vector<char16_t> text(size / sizeof(char16_t) + 1, u'\0');
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
      return std::nullopt;
    }
    return std::u16string(text.data());
  }

  std::optional<orvex::ImageDigest> Digest(const char16_t* name) const {
    orvex::ImageDigest digest{};
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(digest.size());
    if (RegQueryValueExW(key_, name, nullptr, &type, digest.data(), &size) != ERROR_SUCCESS ||
        type != REG_BINARY || size != digest.size()) {
      return std::nullopt;
    }
    return digest;
  }

 private:
  HKEY key_ = nullptr;
};

std::nullopt_t Refuse(const char16_t* text) {
  ShowFrontMessage(text);
  return std::nullopt;
}

}  // namespace

std::optional<EngineLocation> LocateEngine() {
  ProviderKey key;
  if (!key.Open()) return Refuse(kNoProviderKeyText);
  if (!key.Has(orvex::kImagePathValue)) return Refuse(kNoImagePathText);
  auto path = key.Text(orvex::kEngineImagePathValue);
  if (!path) return Refuse(kNoEnginePathText);
  return EngineLocation{std::move(*path), key.Digest(orvex::kEngineImageDigestValue)};
}
