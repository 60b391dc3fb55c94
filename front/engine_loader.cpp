#include "engine_loader.h"

#include <kavrin/errors.h>

CEngineLoader& CEngineLoader::Instance() {
  static CEngineLoader loader;
  return loader;
}

HMODULE CEngineLoader::Load(const std::u16string& path) {
  const HMODULE engine = LoadLibraryW(path.c_str());
  if (engine == nullptr) {
    SetLastError(NTE_PROVIDER_DLL_FAIL);
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  ++loads_[engine];
  current_ = engine;
  return engine;
}

void CEngineLoader::Unload(HMODULE engine) { Free(engine); }

void CEngineLoader::Keep(HMODULE engine, HCRYPTPROV prov) {
  std::lock_guard lock(mutex_);
  contexts_.emplace(prov, engine);
}

HMODULE CEngineLoader::EngineOf(HCRYPTPROV prov) {
  std::lock_guard lock(mutex_);
  const auto it = contexts_.find(prov);
  return it != contexts_.end() ? it->second : current_.load();
}

void CEngineLoader::Release(HCRYPTPROV prov) {
  HMODULE engine = nullptr;
  {
    std::lock_guard lock(mutex_);
    const auto it = contexts_.find(prov);
    if (it == contexts_.end()) return;
    engine = it->second;
    contexts_.erase(it);
  }
  Free(engine);
}

// The caller's last error is the engine's, whatever unloading it does.
void CEngineLoader::Free(HMODULE engine) {
  {
    std::lock_guard lock(mutex_);
    const auto it = loads_.find(engine);
    if (it == loads_.end()) return;
    if (--it->second == 0) {
      loads_.erase(it);
      HMODULE expected = engine;
      current_.compare_exchange_strong(expected, nullptr);
    }
  }
  const DWORD error = GetLastError();
  FreeLibrary(engine);
  SetLastError(error);
}

FARPROC FindEngineExport(HMODULE engine, const char* name) {
  FARPROC function = engine != nullptr ? GetProcAddress(engine, name) : nullptr;
  if (function == nullptr) SetLastError(NTE_PROVIDER_DLL_FAIL);
  return function;
}
