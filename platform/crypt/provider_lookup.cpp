#include "crypt/provider_lookup.h"

#include <kavrin/errors.h>
#include <kavrin/registry.h>

#include <cstdio>
#include <optional>
#include <vector>

namespace kavrin::platform::crypt {
namespace {

constexpr char16_t kProviders[] = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
constexpr char16_t kProviderTypes[] =
    u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type ";

class ReadKey {
 public:
  explicit ReadKey(const std::u16string& path) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~ReadKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ReadKey(const ReadKey&) = delete;
  ReadKey& operator=(const ReadKey&) = delete;

  bool is_open() const { return key_ != nullptr; }

  // A REG_SZ value without its terminator; nullopt when missing, empty or of
  // another type.
  std::optional<std::u16string> Text(const char16_t* name) const {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ || size < sizeof(char16_t)) {
      return std::nullopt;
    }
    std::vector<char16_t> text(size / sizeof(char16_t) + 1, u'\0');
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
      return std::nullopt;
    }
    std::u16string value(text.data());
    if (value.empty()) return std::nullopt;
    return value;
  }

  std::optional<DWORD> Number(const char16_t* name) const {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value) {
      return std::nullopt;
    }
    return value;
  }

 private:
  HKEY key_ = nullptr;
};

std::optional<std::u16string> DefaultProviderName(DWORD type) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03u", static_cast<unsigned>(type));
  std::u16string path = kProviderTypes;
  for (const char* c = digits; *c != '\0'; ++c) path += static_cast<char16_t>(*c);
  ReadKey key(path);
  if (!key.is_open()) return std::nullopt;
  return key.Text(u"Name");
}

}  // namespace

DWORD LookUpProvider(const char16_t* name, DWORD type, ProviderRegistration* out) {
  std::u16string provider;
  if (name != nullptr) {
    provider = name;
  } else if (auto by_type = DefaultProviderName(type)) {
    provider = std::move(*by_type);
  } else {
    return NTE_PROV_TYPE_NOT_DEF;
  }
  // A name holding a separator would reach another key than the provider's.
  if (provider.empty() || provider.find(u'\\') != std::u16string::npos) return NTE_KEYSET_NOT_DEF;
  ReadKey key(kProviders + provider);
  if (!key.is_open()) return NTE_KEYSET_NOT_DEF;
  const auto registered_type = key.Number(u"Type");
  if (!registered_type) return NTE_PROV_TYPE_ENTRY_BAD;
  if (*registered_type != type) return NTE_PROV_TYPE_NO_MATCH;
  auto image = key.Text(u"Image Path");
  if (!image) return NTE_PROV_TYPE_ENTRY_BAD;
  out->name = std::move(provider);
  out->image_path = std::move(*image);
  return 0;
}

}  // namespace kavrin::platform::crypt
