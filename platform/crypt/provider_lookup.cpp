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

// Opens an HKLM key for reading; the key stays closed when it is missing.
void OpenForReading(const std::u16string& path, RegKey* key) {
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key->out());
}

// A REG_SZ value that is present and not empty.
std::optional<std::u16string> NonEmptyText(const RegKey& key, const char16_t* name) {
  auto text = key.Text(name);
  if (!text || text->empty()) return std::nullopt;
  return text;
}

std::optional<std::u16string> DefaultProviderName(DWORD type) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03u", static_cast<unsigned>(type));
  std::u16string path = kProviderTypes;
  for (const char* c = digits; *c != '\0'; ++c) path += static_cast<char16_t>(*c);
  RegKey key;
  OpenForReading(path, &key);
  if (!key.is_open()) return std::nullopt;
  return NonEmptyText(key, u"Name");
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
  RegKey key;
  OpenForReading(kProviders + provider, &key);
  if (!key.is_open()) return NTE_KEYSET_NOT_DEF;
  const auto registered_type = key.Number(u"Type");
  if (!registered_type) return NTE_PROV_TYPE_ENTRY_BAD;
  if (*registered_type != type) return NTE_PROV_TYPE_NO_MATCH;
  auto image = NonEmptyText(key, u"Image Path");
  if (!image) return NTE_PROV_TYPE_ENTRY_BAD;
  out->name = std::move(provider);
  out->image_path = std::move(*image);
  return 0;
}

}  // namespace kavrin::platform::crypt
