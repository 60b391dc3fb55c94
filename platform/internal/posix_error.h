// Win32 error codes for errno values of file-system calls.
#pragma once

#include <kavrin/types.h>

namespace kavrin::platform {

// ENOENT becomes not_found: callers that know whether the directory exists
// pass ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND.
DWORD Win32ErrorFromErrno(int err, DWORD not_found);

}  // namespace kavrin::platform
