#include "engine_module.h"

#include <kavrin/kernel/modules.h>

namespace {

// Any address inside this module identifies it.
const char kModuleAnchor = 0;

std::u16string ThisModulePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&kModuleAnchor), &module)) {
    return {};
  }
  WCHAR path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::u16string(path, length);
}

}  // namespace

CEngineModule& CEngineModule::Instance() {
  static CEngineModule module;
  return module;
}

CEngineModule::CEngineModule()
    : registry_([this](void* out, size_t len) { return openssl_.RandomBytes(out, len); }),
      containers_(registry_) {}

// Runs when the image is unloaded or the process ends: the contexts still
// open are released before the lists and locks go.
CEngineModule::~CEngineModule() { ExitInstance(); }

BOOL CEngineModule::InitInstance() {
  std::call_once(started_, [this] {
    module_path_ = ThisModulePath();
    // A directory that cannot be created only makes file containers fail later.
    CreateContainerDirectory();
  });
  return TRUE;
}

void CEngineModule::ExitInstance() { registry_.ReleaseAllContexts(); }
