#include "engine_resources.h"

#include <kavrin/errors.h>

namespace {

constexpr WCHAR kEngineFileName[] = u"OrvexEngine.dll";

}  // namespace

CEngineResources::CEngineResources() {
  // Loading must not disturb the caller's last error, whatever its outcome.
  const DWORD error = GetLastError();
  module_ = LoadLibraryW(kEngineFileName);
  SetLastError(error);
}

CEngineResources::~CEngineResources() {
  if (module_ == nullptr) return;
  const DWORD error = GetLastError();
  FreeLibrary(module_);
  SetLastError(error);
}
