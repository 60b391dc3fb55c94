// Windows paths on the native file system.
//
// '\' and '/' both separate components. A path that begins with '/' is a
// native absolute path. One that begins with a single '\', or with the drive
// "C:", lies under the machine root ("C:\Windows\x" is <root>/Windows/x); any
// other drive letter d lies under <root>/drives/d. Anything else is relative
// to the current directory. "." and ".." are resolved by text, never above
// the root. Components match existing names case-insensitively, as on
// Windows, so "Orvex\Container" finds a directory created as "Orvex\container".
#pragma once

#include <kavrin/types.h>

#include <filesystem>
#include <string_view>

namespace kavrin::platform {

// Maps path to *out; returns ERROR_SUCCESS, or ERROR_PATH_NOT_FOUND (empty,
// network or device paths) or ERROR_INVALID_NAME (characters Windows refuses
// in names: wildcards, '<', '>', '|', '"', ':' after the drive, controls).
DWORD MapWindowsPath(std::u16string_view path, std::filesystem::path* out);

// The native path, or an empty path when MapWindowsPath refuses it.
std::filesystem::path NativePath(std::u16string_view path);

// True for a path that is neither drive-rooted, '\'-rooted nor native absolute.
bool IsRelativeWindowsPath(std::u16string_view path);

// The error for a path that does not exist: ERROR_FILE_NOT_FOUND when its
// directory exists, else ERROR_PATH_NOT_FOUND.
DWORD MissingPathError(const std::filesystem::path& path);

}  // namespace kavrin::platform
