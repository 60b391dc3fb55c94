// The host's handle table. An application handle stands for a provider's
// handle together with the provider context it belongs to, so that handles of
// several providers, and several contexts of one, live side by side. Values
// are keys into the table, never pointers: a stale or forged value, or one of
// another kind, is refused instead of being passed to a provider.
#pragma once

#include "crypt/provider_module.h"

#include <kavrin/crypt.h>

#include <memory>
#include <optional>
#include <string>

namespace kavrin::platform::crypt {

// One acquired provider context.
struct ProviderContext {
  std::shared_ptr<ProviderModule> module;
  HCRYPTPROV prov = 0;  // the provider's own handle
  // Handed to the provider at acquisition; lives as long as the context.
  std::string provider_name_ansi;
  VTableProvStruc vtable{};

  const ProviderEntryPoints& cp() const { return module->cp(); }
};

enum class HandleKind { kContext, kKey, kHash };

struct WrappedHandle {
  std::shared_ptr<ProviderContext> context;
  uintptr_t inner = 0;  // the provider's handle of the key or hash (the context's for kContext)
};

// Issues a new application handle; 0 only if no memory is left.
uintptr_t IssueHandle(HandleKind kind, std::shared_ptr<ProviderContext> context, uintptr_t inner);

// The handle's record if it is in the table with that kind.
std::optional<WrappedHandle> FindHandle(uintptr_t handle, HandleKind kind);

// Takes the handle out of the table and returns its record.
std::optional<WrappedHandle> WithdrawHandle(uintptr_t handle, HandleKind kind);

// Takes out every key and hash handle of the context.
void WithdrawHandlesOf(const ProviderContext* context);

}  // namespace kavrin::platform::crypt
