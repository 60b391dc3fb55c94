#include "internal/code_page.h"

namespace kavrin::platform {

// Placeholder until the registry stores the machine's code page.
UINT AnsiCodePage() { return 936; }

}  // namespace kavrin::platform
