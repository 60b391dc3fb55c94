// The 24 provider entry points. Each hands its arguments unchanged to the
// engine's export of the same name and returns the low byte of the engine's
// answer. The two acquisitions first
// find, check and load the engine; a release frees what its acquisition loaded.
#include "engine_integrity.h"
#include "engine_loader.h"
#include "engine_location.h"
#include "front_export.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>

#include <type_traits>

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The engine answers 0 or 1; callers of the provider interface get a byte.
BOOL LowByte(BOOL result) { return static_cast<BOOL>(static_cast<BYTE>(result)); }

CEngineLoader& Loader() { return CEngineLoader::Instance(); }

// The export of the entry point in engine; null with NTE_PROVIDER_DLL_FAIL
// when there is no engine or it lacks the export.
template <class Pfn>
Pfn Export(const EngineImagePtr& engine, EngineEntryPoint entry, const char* name) {
  if (!engine) {
    SetLastError(NTE_PROVIDER_DLL_FAIL);
    return nullptr;
  }
  return reinterpret_cast<Pfn>(engine->Export(entry, name));
}

// Finds the engine through the registration, checks its file, loads it and
// enters it. The load stays with the context the engine hands out; an
// acquisition that leaves no context (a failure, a deleted key set) frees it.
template <class Pfn, class Name, class VTable>
BOOL AcquireThroughEngine(EngineEntryPoint entry, const char* name, HCRYPTPROV* phProv,
                          Name container, DWORD dwFlags, VTable pVTable) {
  const auto location = LocateEngine();
  if (!location) return Fail(NTE_PROVIDER_DLL_FAIL);
  if (const DWORD error = CheckEngineImage(*location)) return Fail(error);
  const EngineImagePtr engine = Loader().Load(location->path);
  if (!engine) return FALSE;
  const auto acquire = Export<Pfn>(engine, entry, name);
  if (acquire == nullptr) {
    Loader().Unload(engine);
    return FALSE;
  }
  const BOOL result = LowByte(acquire(phProv, container, dwFlags, pVTable));
  if (result && phProv != nullptr && *phProv != 0) {
    Loader().Keep(engine, *phProv);
  } else {
    Loader().Unload(engine);
  }
  return result;
}

// Every other entry point: the same call on the current engine.
template <class Pfn>
struct Forwarding {
  template <class... Args>
  static BOOL Call(EngineEntryPoint entry, const char* name, Args... args) {
    const auto forward = Export<Pfn>(Loader().Current(), entry, name);
    if (forward == nullptr) return FALSE;
    return LowByte(forward(args...));
  }
};

template <>
struct Forwarding<PFN_CPAcquireContext> {
  static BOOL Call(EngineEntryPoint entry, const char* name, HCRYPTPROV* phProv,
                   LPSTR pszContainer, DWORD dwFlags, PVTableProvStruc pVTable) {
    return AcquireThroughEngine<PFN_CPAcquireContext>(entry, name, phProv, pszContainer, dwFlags,
                                                      pVTable);
  }
};

// Called before any CPAcquireContext, it finds and loads the engine the same way.
template <>
struct Forwarding<PFN_CPAcquireContextW> {
  static BOOL Call(EngineEntryPoint entry, const char* name, HCRYPTPROV* phProv,
                   LPWSTR pszContainer, DWORD dwFlags, PVTableProvStrucW pVTable) {
    return AcquireThroughEngine<PFN_CPAcquireContextW>(entry, name, phProv, pszContainer,
                                                       dwFlags, pVTable);
  }
};

// The load of the context goes once the engine has let the context go, or
// has none of that handle (a deleted key set released it already); a release
// the engine refuses for its flags leaves the context, and its load, open.
template <>
struct Forwarding<PFN_CPReleaseContext> {
  static BOOL Call(EngineEntryPoint entry, const char* name, HCRYPTPROV hProv, DWORD dwFlags) {
    const auto release = Export<PFN_CPReleaseContext>(Loader().EngineOf(hProv), entry, name);
    if (release == nullptr) return FALSE;
    const BOOL result = LowByte(release(hProv, dwFlags));
    if (result || GetLastError() == NTE_BAD_PROVIDER) Loader().Release(hProv);
    return result;
  }
};

}  // namespace

#define FRONT_ARGUMENTS(...) __VA_ARGS__
#define FRONT_ENTRY_POINT(name, params, args)                               \
  FRONT_EXTERN_C BOOL WINAPI name params {                                  \
    return Forwarding<PFN_##name>::Call(k##name, #name, FRONT_ARGUMENTS args); \
  }                                                                         \
  static_assert(std::is_same_v<decltype(&name), PFN_##name>, #name " signature");
KAVRIN_CSP_ENTRY_POINTS(FRONT_ENTRY_POINT)
#undef FRONT_ENTRY_POINT
