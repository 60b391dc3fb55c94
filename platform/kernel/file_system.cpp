// Names in the file system: deleting files, creating directories, attributes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kavrin/kernel/files.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "internal/code_page.h"
#include "internal/paths.h"
#include "internal/posix_error.h"
#include "internal/share_locks.h"
#include "internal/unique_fd.h"
#include "internal/utf.h"

namespace fs = std::filesystem;

namespace kavrin::platform {
namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::u16string_view View(LPCWSTR text) { return std::u16string_view(text, Utf16Length(text)); }

// A file without any write permission bit is what Windows calls read-only.
bool IsReadOnly(const struct stat& st) { return (st.st_mode & 0222) == 0; }

DWORD DeleteFileImpl(std::u16string_view name) {
  fs::path path;
  if (DWORD error = MapWindowsPath(name, &path); error != ERROR_SUCCESS) return error;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? MissingPathError(path) : Win32ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
  }
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (S_ISREG(st.st_mode)) {
    if (IsReadOnly(st)) return ERROR_ACCESS_DENIED;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.valid() && OthersDenyDelete(fd.get())) return ERROR_SHARING_VIOLATION;
  }
  if (::unlink(path.c_str()) != 0) return Win32ErrorFromErrno(errno, MissingPathError(path));
  return ERROR_SUCCESS;
}

DWORD CreateDirectoryImpl(std::u16string_view name) {
  fs::path path;
  if (DWORD error = MapWindowsPath(name, &path); error != ERROR_SUCCESS) return error;
  if (::mkdir(path.c_str(), 0777) == 0) return ERROR_SUCCESS;
  if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
  return Win32ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
}

// Creates path and every missing directory above it.
DWORD CreateDirectoryTree(const fs::path& path) {
  fs::path partial;
  for (const auto& part : path) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0777) == 0) continue;
    const int err = errno;
    struct stat st;
    if (::stat(partial.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;  // already there, perhaps made just now by someone else
      return ERROR_PATH_NOT_FOUND;        // a file stands where a directory should be
    }
    return Win32ErrorFromErrno(err, ERROR_PATH_NOT_FOUND);
  }
  return ERROR_SUCCESS;
}

int SHCreateDirectoryImpl(LPCWSTR name) {
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  if (IsRelativeWindowsPath(View(name))) return ERROR_BAD_PATHNAME;
  fs::path path;
  if (DWORD error = MapWindowsPath(View(name), &path); error != ERROR_SUCCESS) return static_cast<int>(error);
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
  return static_cast<int>(CreateDirectoryTree(path));
}

DWORD AttributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return IsReadOnly(st) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace
}  // namespace kavrin::platform

using namespace kavrin::platform;

KAVRIN_EXTERN_C BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  if (lpFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD error = DeleteFileImpl(View(lpFileName));
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

KAVRIN_EXTERN_C BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (lpFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD error = DeleteFileImpl(AnsiToUtf16(lpFileName));
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

KAVRIN_EXTERN_C BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  if (lpPathName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD error = CreateDirectoryImpl(View(lpPathName));
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

KAVRIN_EXTERN_C BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  if (lpPathName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD error = CreateDirectoryImpl(AnsiToUtf16(lpPathName));
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

KAVRIN_EXTERN_C int WINAPI SHCreateDirectoryExW(HWND, LPCWSTR pszPath, const SECURITY_ATTRIBUTES*) {
  const int result = SHCreateDirectoryImpl(pszPath);
  SetLastError(static_cast<DWORD>(result));
  return result;
}

KAVRIN_EXTERN_C DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  fs::path path;
  if (DWORD error = MapWindowsPath(View(lpFileName), &path); error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    SetLastError(errno == ENOENT ? MissingPathError(path) : Win32ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND));
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(st);
}

KAVRIN_EXTERN_C BOOL WINAPI PathFileExistsW(LPCWSTR pszPath) {
  return GetFileAttributesW(pszPath) != INVALID_FILE_ATTRIBUTES ? TRUE : FALSE;
}
