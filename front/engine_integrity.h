// The check that the engine file is the one that was registered: its SHA-256
// digest must equal the digest the engine's registration stored beside its
// path. It runs before every load of the engine.
#pragma once

#include "engine_location.h"

#include <kavrin/types.h>

// 0 when the file matches. NTE_BAD_SIGNATURE, after telling the user, when no
// digest is stored or the file has changed since it was registered;
// NTE_PROVIDER_DLL_FAIL when the file cannot be read.
DWORD CheckEngineImage(const EngineLocation& engine);
