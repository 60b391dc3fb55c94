#include "crypt/provider_module.h"

#include <kavrin/errors.h>

#include <map>
#include <mutex>
#include <string_view>

namespace kavrin::platform::crypt {
namespace {

// The modules that contexts hold now, by module handle. Entries whose module
// was freed expire by themselves.
class LoadedProviders {
 public:
  std::shared_ptr<ProviderModule> Find(HMODULE module) {
    std::lock_guard lock(mutex_);
    const auto it = modules_.find(module);
    return it == modules_.end() ? nullptr : it->second.lock();
  }

  void Remember(HMODULE module, const std::shared_ptr<ProviderModule>& provider) {
    std::lock_guard lock(mutex_);
    for (auto it = modules_.begin(); it != modules_.end();) {
      it = it->second.expired() ? modules_.erase(it) : std::next(it);
    }
    modules_[module] = provider;
  }

 private:
  std::mutex mutex_;
  std::map<HMODULE, std::weak_ptr<ProviderModule>> modules_;
};

LoadedProviders& Loaded() {
  static auto* loaded = new LoadedProviders;
  return *loaded;
}

}  // namespace

std::shared_ptr<ProviderModule> ProviderModule::Open(const std::u16string& image_path) {
  const HMODULE module = LoadLibraryW(image_path.c_str());
  if (module == nullptr) {
    SetLastError(NTE_PROVIDER_DLL_FAIL);
    return nullptr;
  }
  // A module that contexts hold already keeps the reference they share.
  if (auto shared = Loaded().Find(module)) {
    FreeLibrary(module);
    return shared;
  }
  auto provider = std::make_shared<ProviderModule>(module);
  if (!provider->FindEntryPoints()) {
    provider.reset();
    SetLastError(NTE_PROVIDER_DLL_FAIL);
    return nullptr;
  }
  Loaded().Remember(module, provider);
  return provider;
}

// The last context of a module may go at the end of any application call; the
// caller's last error is the provider's, whatever unloading the module does.
ProviderModule::~ProviderModule() {
  const DWORD error = GetLastError();
  FreeLibrary(module_);
  SetLastError(error);
}

bool ProviderModule::FindEntryPoints() {
#define KAVRIN_HOST_FIND_ENTRY_POINT(name, params, args) \
  entries_.name = reinterpret_cast<PFN_##name>(GetProcAddress(module_, #name));
  KAVRIN_CSP_ENTRY_POINTS(KAVRIN_HOST_FIND_ENTRY_POINT)
#undef KAVRIN_HOST_FIND_ENTRY_POINT
  // The host enters a provider through the ANSI acquire, as Windows does; the
  // wide one is optional. The rest of the provider interface must be there.
  bool complete = true;
#define KAVRIN_HOST_REQUIRE_ENTRY_POINT(name, params, args) \
  complete = complete && (entries_.name != nullptr || std::string_view(#name) == "CPAcquireContextW");
  KAVRIN_CSP_ENTRY_POINTS(KAVRIN_HOST_REQUIRE_ENTRY_POINT)
#undef KAVRIN_HOST_REQUIRE_ENTRY_POINT
  return complete;
}

}  // namespace kavrin::platform::crypt
