// The engine's registration: it records where it lives, and a digest of its
// file, in the provider's registry key, where the front module looks for them.
#pragma once

#include <kavrin/types.h>

// 0 when the values were written; 1 after telling the user what failed.
HRESULT RegisterEngine();
// 0 when the engine's values are gone (or were never there); 1 after telling
// the user the provider key could not be opened. The key and the front
// module's values stay.
HRESULT UnregisterEngine();
