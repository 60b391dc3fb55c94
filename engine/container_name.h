// Container names become registry sub-key names and file names, so a name
// must not be able to reach outside the container key or directory.
#pragma once

#include <string>
#include <string_view>

// True for a name that is safe as both: not empty, not "." or "..", no path
// separator, wildcard or control character, well-formed UTF-16, and short
// enough for the container's key path.
bool IsValidContainerName(std::u16string_view name);

// "<container root key>\<name>", relative to HKEY_CURRENT_USER.
std::u16string ContainerKeyPath(std::u16string_view name);

// Longest valid name, in UTF-16 units.
size_t MaxContainerNameLength();
