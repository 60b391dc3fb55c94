// A provider module loaded by the host, with its entry points found by name.
//
// Every context of one module shares one ProviderModule; the module stays
// loaded while any of them (or a call in progress) holds it and is freed with
// the last one, so a provider that is no longer used leaves the process.
#pragma once

#include <kavrin/crypt.h>
#include <kavrin/kernel/modules.h>

#include <memory>
#include <string>

namespace kavrin::platform::crypt {

struct ProviderEntryPoints {
#define KAVRIN_HOST_ENTRY_POINT(name, params, args) PFN_##name name = nullptr;
  KAVRIN_CSP_ENTRY_POINTS(KAVRIN_HOST_ENTRY_POINT)
#undef KAVRIN_HOST_ENTRY_POINT
};

class ProviderModule {
 public:
  // The module at image_path, loaded or shared with the contexts that
  // already use it. Null with NTE_PROVIDER_DLL_FAIL when the module cannot be
  // loaded or lacks one of the entry points the host calls.
  static std::shared_ptr<ProviderModule> Open(const std::u16string& image_path);

  explicit ProviderModule(HMODULE module) : module_(module) {}
  ~ProviderModule();
  ProviderModule(const ProviderModule&) = delete;
  ProviderModule& operator=(const ProviderModule&) = delete;

  const ProviderEntryPoints& cp() const { return entries_; }

 private:
  bool FindEntryPoints();

  HMODULE module_;
  ProviderEntryPoints entries_;
};

}  // namespace kavrin::platform::crypt
