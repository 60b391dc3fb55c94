// The engine module as the front module holds it: one load per context the
// engine hands out, freed when that context is released, so the engine stays
// loaded exactly while contexts of it are open.
//
// The handle of the engine loaded last is the one the forwarders call, as
// every context of the process lives in that engine. A release frees only the
// load its own context took: releasing a handle that was never handed out, or
// twice, cannot unload the engine from under the contexts still open.
#pragma once

#include <kavrin/crypt.h>
#include <kavrin/kernel/modules.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

class CEngineLoader {
 public:
  static CEngineLoader& Instance();

  // LoadLibraryW of the path exactly as given; null with NTE_PROVIDER_DLL_FAIL
  // when the engine cannot be loaded. The engine becomes the current one.
  HMODULE Load(const std::u16string& path);
  // Frees a load that no context keeps (a failed acquisition, a deleted key set).
  void Unload(HMODULE engine);
  // The context prov, handed out by engine, keeps the load just made.
  void Keep(HMODULE engine, HCRYPTPROV prov);
  // The engine that handed out prov, or the current engine when it is unknown.
  HMODULE EngineOf(HCRYPTPROV prov);
  // Frees the load that prov kept, if it kept one.
  void Release(HCRYPTPROV prov);

  // The engine loaded last, or null when none is loaded.
  HMODULE Current() const { return current_.load(); }

 private:
  CEngineLoader() = default;
  void Free(HMODULE engine);

  std::atomic<HMODULE> current_{nullptr};
  std::mutex mutex_;
  std::map<HMODULE, unsigned> loads_;
  std::multimap<HCRYPTPROV, HMODULE> contexts_;
};

// An export of the engine with the name of the entry point; null with
// NTE_PROVIDER_DLL_FAIL when there is no engine or it lacks the export.
FARPROC FindEngineExport(HMODULE engine, const char* name);
