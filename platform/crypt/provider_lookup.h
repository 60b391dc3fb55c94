// Finding a provider by its registration under HKEY_LOCAL_MACHINE
// "SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>".
#pragma once

#include <kavrin/crypt.h>

#include <string>

namespace kavrin::platform::crypt {

struct ProviderRegistration {
  std::u16string name;        // as registered
  std::u16string image_path;  // "Image Path": the module to load
};

// Looks up the provider `name` (null: the default provider of `type`, from
// "Defaults\Provider Types\Type NNN" value "Name") and checks that it is
// registered with `type`. 0, or the CryptoAPI code for the caller:
// NTE_PROV_TYPE_NOT_DEF (no default for the type), NTE_KEYSET_NOT_DEF (no such
// provider), NTE_PROV_TYPE_ENTRY_BAD ("Type" or "Image Path" missing or of the
// wrong kind), NTE_PROV_TYPE_NO_MATCH (registered with another type).
DWORD LookUpProvider(const char16_t* name, DWORD type, ProviderRegistration* out);

}  // namespace kavrin::platform::crypt
