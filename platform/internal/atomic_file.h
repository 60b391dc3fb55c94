// Replacing a file's content atomically: the new content goes to a temporary
// file in the same directory, which is flushed to disk and renamed over the
// target, and the directory is flushed. Readers and a crash see the old or the
// new file whole; on failure the old file stays and the temporary is removed.
#pragma once

#include <kavrin/types.h>

#include <filesystem>
#include <functional>
#include <string_view>

namespace kavrin::platform {

// write fills the temporary file through its descriptor and returns
// ERROR_SUCCESS or the Win32 error that stops the replacement. Returns
// ERROR_SUCCESS or the Win32 error. A replaced file keeps its permissions.
DWORD ReplaceFileAtomically(const std::filesystem::path& target, const std::function<DWORD(int fd)>& write);
DWORD ReplaceFileAtomically(const std::filesystem::path& target, std::string_view contents);

// Writes all of data to fd; ERROR_SUCCESS or the Win32 error.
DWORD WriteAll(int fd, std::string_view data);

}  // namespace kavrin::platform
