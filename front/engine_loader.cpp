#include "engine_loader.h"

#include <kavrin/errors.h>

FARPROC CEngineImage::Export(EngineEntryPoint entry, const char* name) {
  FARPROC function = exports_[entry].load(std::memory_order_acquire);
  if (function == nullptr) {
    function = GetProcAddress(module_, name);
    if (function == nullptr) {
      SetLastError(NTE_PROVIDER_DLL_FAIL);
      return nullptr;
    }
    exports_[entry].store(function, std::memory_order_release);
  }
  return function;
}

CEngineLoader& CEngineLoader::Instance() {
  static CEngineLoader loader;
  return loader;
}

EngineImagePtr CEngineLoader::Load(const std::u16string& path) {
  const HMODULE module = LoadLibraryW(path.c_str());
  if (module == nullptr) {
    SetLastError(NTE_PROVIDER_DLL_FAIL);
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  auto& image = images_[module];
  if (!image) image = std::make_shared<CEngineImage>(module);
  ++image->loads_;
  current_ = image;
  return image;
}

// The caller's last error is the engine's, whatever unloading it does.
void CEngineLoader::Unload(const EngineImagePtr& engine) {
  {
    std::lock_guard lock(mutex_);
    if (engine->loads_ == 0) return;
    if (--engine->loads_ == 0) {
      images_.erase(engine->module());
      if (current_ == engine) current_.reset();
    }
  }
  const DWORD error = GetLastError();
  FreeLibrary(engine->module());
  SetLastError(error);
}

void CEngineLoader::Keep(const EngineImagePtr& engine, HCRYPTPROV prov) {
  std::lock_guard lock(mutex_);
  contexts_.emplace(prov, engine);
}

EngineImagePtr CEngineLoader::EngineOf(HCRYPTPROV prov) {
  std::lock_guard lock(mutex_);
  const auto it = contexts_.find(prov);
  return it != contexts_.end() ? it->second : current_;
}

void CEngineLoader::Release(HCRYPTPROV prov) {
  EngineImagePtr engine;
  {
    std::lock_guard lock(mutex_);
    const auto it = contexts_.find(prov);
    if (it == contexts_.end()) return;
    engine = std::move(it->second);
    contexts_.erase(it);
  }
  Unload(engine);
}

EngineImagePtr CEngineLoader::Current() {
  std::lock_guard lock(mutex_);
  return current_;
}
