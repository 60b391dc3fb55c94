// The engine module as the front module holds it: one load per context the
// engine hands out, freed when that context is released, so the engine stays
// loaded exactly while contexts of it are open.
//
// The engine loaded last is the one the forwarders call, as every context of
// the process lives in it. A release frees only the load its own context
// took: releasing a handle that was never handed out, or twice, cannot unload
// the engine from under the contexts still open.
//
// Exports are found by name in the loaded engine when first called and kept
// with that load of it, so the forwarders do not search the module on every
// call; a new load of the engine finds them afresh.
#pragma once

#include <kavrin/crypt.h>
#include <kavrin/kernel/modules.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// Positions of the entry points in an engine's export table.
enum EngineEntryPoint : size_t {
#define FRONT_ENTRY_POINT_INDEX(name, params, args) k##name,
  KAVRIN_CSP_ENTRY_POINTS(FRONT_ENTRY_POINT_INDEX)
#undef FRONT_ENTRY_POINT_INDEX
  kEngineEntryPointCount
};

// One loaded engine module and the exports found in it so far.
class CEngineImage {
 public:
  explicit CEngineImage(HMODULE module) : module_(module) {}
  HMODULE module() const { return module_; }

  // The engine's export for the entry point; null with NTE_PROVIDER_DLL_FAIL
  // when the engine lacks it.
  FARPROC Export(EngineEntryPoint entry, const char* name);

 private:
  friend class CEngineLoader;
  HMODULE module_;
  unsigned loads_ = 0;  // guarded by the loader
  std::array<std::atomic<FARPROC>, kEngineEntryPointCount> exports_{};
};

using EngineImagePtr = std::shared_ptr<CEngineImage>;

class CEngineLoader {
 public:
  static CEngineLoader& Instance();

  // LoadLibraryW of the path exactly as given; null with NTE_PROVIDER_DLL_FAIL
  // when the engine cannot be loaded. The engine becomes the current one.
  EngineImagePtr Load(const std::u16string& path);
  // Frees a load that no context keeps (a failed acquisition, a deleted key set).
  void Unload(const EngineImagePtr& engine);
  // The context prov, handed out by engine, keeps the load just made.
  void Keep(const EngineImagePtr& engine, HCRYPTPROV prov);
  // The engine that handed out prov, or the current engine when it is unknown.
  EngineImagePtr EngineOf(HCRYPTPROV prov);
  // Frees the load that prov kept, if it kept one.
  void Release(HCRYPTPROV prov);
  // The engine loaded last, or null when none is loaded.
  EngineImagePtr Current();

 private:
  CEngineLoader() = default;

  std::mutex mutex_;
  EngineImagePtr current_;
  std::map<HMODULE, EngineImagePtr> images_;
  std::multimap<HCRYPTPROV, EngineImagePtr> contexts_;
};
