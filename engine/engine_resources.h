// Holds the engine module while one of its dialogs is up: the module is
// loaded by its own file name ("OrvexEngine.dll", which the platform maps to
// the loaded OrvexEngine.so) and freed when the dialog is gone, so that the
// code and texts of a dialog stay loaded for as long as it is shown, even if
// the host frees the engine meanwhile. The dialogs need nothing else from the
// module: a module that cannot be found does not stop them.
#pragma once

#include <kavrin/kernel/modules.h>

class CEngineResources {
 public:
  CEngineResources();
  ~CEngineResources();
  CEngineResources(const CEngineResources&) = delete;
  CEngineResources& operator=(const CEngineResources&) = delete;

 private:
  HMODULE module_ = nullptr;
};
