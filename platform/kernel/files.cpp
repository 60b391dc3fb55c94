// File handles: CreateFile, synchronous ReadFile and WriteFile, size,
// position and flush.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kavrin/kernel/files.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include "internal/code_page.h"
#include "internal/handle_table.h"
#include "internal/paths.h"
#include "internal/posix_error.h"
#include "internal/share_locks.h"
#include "internal/unique_fd.h"
#include "internal/utf.h"

namespace fs = std::filesystem;

namespace kavrin::platform {
namespace {

constexpr DWORD kReadRights = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
constexpr DWORD kWriteRights = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kShareModes = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Attribute bits and the hints that need nothing from us; every other flag
// (overlapped I/O, delete on close, directories...) is refused.
constexpr DWORD kAcceptedFlags =
    0x0000FFFFu | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_SEQUENTIAL_SCAN;

class FileObject final : public KernelObject {
 public:
  FileObject(UniqueFd fd, bool can_read, bool can_write)
      : fd_(std::move(fd)), can_read_(can_read), can_write_(can_write) {}

  int fd() const { return fd_.get(); }
  bool can_read() const { return can_read_; }
  bool can_write() const { return can_write_; }

 private:
  UniqueFd fd_;
  bool can_read_;
  bool can_write_;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

struct OpenResult {
  UniqueFd fd;
  bool existed = false;
  DWORD error = ERROR_SUCCESS;
};

int OpenMode(bool read, bool write, bool fallback) {
  if (write) return (read || !fallback) ? O_RDWR : O_WRONLY;
  return O_RDONLY;
}

// Opens or creates the file as the disposition says. Write-only access opens
// for reading too where the file allows it, so that its sharing marks can be
// set. Non-blocking, so that a FIFO cannot hang the open.
OpenResult OpenForDisposition(const fs::path& path, bool read, bool write, DWORD disposition, mode_t create_mode) {
  OpenResult result;
  const bool may_create = disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  const bool must_create = disposition == CREATE_NEW;
  for (int attempt = 0; attempt < 4; ++attempt) {
    for (bool fallback : {false, true}) {
      const int base = OpenMode(read, write, fallback) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
      if (may_create) {
        result.fd.reset(::open(path.c_str(), base | O_CREAT | O_EXCL, create_mode));
        if (result.fd.valid()) return result;
        if (errno != EEXIST) break;
        if (must_create) {
          result.error = ERROR_FILE_EXISTS;
          return result;
        }
      }
      result.fd.reset(::open(path.c_str(), base));
      if (result.fd.valid()) {
        result.existed = true;
        return result;
      }
      if (errno != EACCES || !write || read) break;
    }
    // Removed between the two opens: try again to create it.
    if (!(may_create && errno == ENOENT)) break;
  }
  result.error = errno == ENOENT ? (may_create ? ERROR_PATH_NOT_FOUND : MissingPathError(path))
                                 : Win32ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
  return result;
}

DWORD ValidateCreateArguments(DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return ERROR_INVALID_PARAMETER;
  if ((share & ~kShareModes) != 0 || (flags & ~kAcceptedFlags) != 0) return ERROR_INVALID_PARAMETER;
  if (disposition == TRUNCATE_EXISTING && !(access & kWriteRights)) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

HANDLE CreateFileImpl(std::u16string_view name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (DWORD error = ValidateCreateArguments(access, share, disposition, flags); error != ERROR_SUCCESS) {
    return FailHandle(error);
  }
  fs::path path;
  if (DWORD error = MapWindowsPath(name, &path); error != ERROR_SUCCESS) return FailHandle(error);

  const bool read = (access & kReadRights) != 0;
  const bool write = (access & kWriteRights) != 0;
  const mode_t create_mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  OpenResult opened = OpenForDisposition(path, read, write, disposition, create_mode);
  if (!opened.fd.valid()) return FailHandle(opened.error);

  // Directories and devices are not files, and a read-only file (one without
  // any write permission bit) is not opened for writing, whoever asks.
  struct stat st;
  if (::fstat(opened.fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return FailHandle(ERROR_ACCESS_DENIED);
  if (write && opened.existed && (st.st_mode & 0222) == 0) return FailHandle(ERROR_ACCESS_DENIED);

  // Sharing is checked before anything changes, so that a refused open never
  // truncates a file somebody else holds.
  if (DWORD error = AcquireShareLocks(opened.fd.get(), {read, write, share}); error != ERROR_SUCCESS) {
    return FailHandle(error);
  }
  const bool truncate = disposition == TRUNCATE_EXISTING || (disposition == CREATE_ALWAYS && opened.existed);
  if (truncate && ::ftruncate(opened.fd.get(), 0) != 0) {
    return FailHandle(Win32ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
  }
  int status = ::fcntl(opened.fd.get(), F_GETFL);
  status &= ~O_NONBLOCK;
  if (flags & FILE_FLAG_WRITE_THROUGH) status |= O_DSYNC;
  ::fcntl(opened.fd.get(), F_SETFL, status);

  HANDLE handle = AddHandle(std::make_shared<FileObject>(std::move(opened.fd), read, write));
  const bool report_existing = opened.existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
  SetLastError(report_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) { return LookupHandle<FileObject>(handle); }

}  // namespace
}  // namespace kavrin::platform

using namespace kavrin::platform;

KAVRIN_EXTERN_C HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                                          DWORD dwFlagsAndAttributes, HANDLE) {
  if (lpFileName == nullptr) return FailHandle(ERROR_INVALID_PARAMETER);
  return CreateFileImpl(std::u16string_view(lpFileName, Utf16Length(lpFileName)), dwDesiredAccess, dwShareMode,
                        dwCreationDisposition, dwFlagsAndAttributes);
}

KAVRIN_EXTERN_C HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                                          DWORD dwFlagsAndAttributes, HANDLE) {
  if (lpFileName == nullptr) return FailHandle(ERROR_INVALID_PARAMETER);
  return CreateFileImpl(AnsiToUtf16(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition,
                        dwFlagsAndAttributes);
}

KAVRIN_EXTERN_C BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  auto file = LookupFile(hFile);
  if (!file) return FALSE;
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!file->can_read()) return Fail(ERROR_ACCESS_DENIED);
  auto* out = static_cast<char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToRead) {
    const ssize_t n = ::read(file->fd(), out + done, nNumberOfBytesToRead - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE));
    if (n == 0) break;  // end of file: success with fewer bytes
    done += static_cast<DWORD>(n);
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
  }
  return TRUE;
}

KAVRIN_EXTERN_C BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  auto file = LookupFile(hFile);
  if (!file) return FALSE;
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!file->can_write()) return Fail(ERROR_ACCESS_DENIED);
  const auto* in = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    const ssize_t n = ::write(file->fd(), in + done, nNumberOfBytesToWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE));
    done += static_cast<DWORD>(n);
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  }
  return TRUE;
}

KAVRIN_EXTERN_C DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  auto file = LookupFile(hFile);
  struct stat st;
  if (!file) return INVALID_FILE_SIZE;
  if (::fstat(file->fd(), &st) != 0) {
    SetLastError(Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE));
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  // A low word that looks like the failure value is told apart by the last error.
  if (static_cast<DWORD>(size) == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
  return static_cast<DWORD>(size);
}

KAVRIN_EXTERN_C DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                            DWORD dwMoveMethod) {
  auto file = LookupFile(hFile);
  if (!file) return INVALID_SET_FILE_POINTER;
  int64_t distance = lDistanceToMove;
  if (lpDistanceToMoveHigh != nullptr) {
    distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                    static_cast<uint32_t>(lDistanceToMove));
  }
  int64_t origin = 0;
  struct stat st;
  switch (dwMoveMethod) {
    case FILE_BEGIN: break;
    case FILE_CURRENT: origin = ::lseek(file->fd(), 0, SEEK_CUR); break;
    case FILE_END: origin = ::fstat(file->fd(), &st) == 0 ? st.st_size : -1; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
  }
  if (origin < 0) {
    SetLastError(Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE));
    return INVALID_SET_FILE_POINTER;
  }
  const int64_t target = origin + distance;
  if (target < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high word the new position must fit in 32 bits.
  if (lpDistanceToMoveHigh == nullptr && target >= static_cast<int64_t>(INVALID_SET_FILE_POINTER)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (::lseek(file->fd(), target, SEEK_SET) < 0) {
    SetLastError(Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE));
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(target >> 32);
  if (static_cast<DWORD>(target) == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
  return static_cast<DWORD>(target);
}

KAVRIN_EXTERN_C BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  auto file = LookupFile(hFile);
  if (!file) return FALSE;
  if (!file->can_write()) return Fail(ERROR_ACCESS_DENIED);
  if (::fsync(file->fd()) != 0) return Fail(Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE));
  return TRUE;
}
