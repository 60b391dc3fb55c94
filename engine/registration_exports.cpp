// The engine's registration entry points, called by a registration program
// after it loaded the engine.
#include "engine_registration.h"

#define ORVEX_ENTRY extern "C" __attribute__((visibility("default")))

ORVEX_ENTRY HRESULT DllRegisterServer() { return RegisterEngine(); }

ORVEX_ENTRY HRESULT DllUnregisterServer() { return UnregisterEngine(); }
