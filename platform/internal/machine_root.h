// The emulated machine: one directory that holds the registry hives and the
// Windows directory. Read from KAVRIN_ROOT on every call, so a test that
// points it at a fresh directory gets a fresh machine.
#pragma once

#include <filesystem>

namespace kavrin::platform {

// $KAVRIN_ROOT, or ~/.local/share/kavrin; created on first use.
std::filesystem::path MachineRoot();

// <root>/Windows and <root>/Windows/System32, created on first use.
std::filesystem::path WindowsDirectory();
std::filesystem::path SystemDirectory();

}  // namespace kavrin::platform
