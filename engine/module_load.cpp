// Loading the engine sets up its process-wide state; unloading it (or the end
// of the process) releases what is still open, through the state's destructor.
#include "engine_module.h"

namespace {

__attribute__((constructor)) void OnEngineLoad() { Engine().InitInstance(); }

}  // namespace
