// Win32 sharing modes between open files, in one process and across
// processes. Each open file marks what it does and what it denies with
// open-file-description byte-range read locks far beyond any data:
// one byte each for "has read access", "has write access", "denies read",
// "denies write" and "denies delete". Locks of other descriptions on the
// same file show who else holds it; they vanish when a holder closes or dies.
#pragma once

#include <kavrin/types.h>

namespace kavrin::platform {

struct ShareRequest {
  bool read = false;
  bool write = false;
  DWORD share_mode = 0;  // FILE_SHARE_* bits
};

// Marks fd with request and checks it against every other open description
// of the same file: ERROR_SUCCESS, or ERROR_SHARING_VIOLATION with fd's marks
// removed again. The marks need a descriptor open for reading; on a
// write-only one the request is still checked but cannot be marked.
DWORD AcquireShareLocks(int fd, const ShareRequest& request);

// True when another open description of fd's file denies writing, or
// deleting and renaming over it.
bool OthersDenyWrite(int fd);
bool OthersDenyDelete(int fd);

}  // namespace kavrin::platform
