#include "internal/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kavrin/kernel/files.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "internal/paths.h"
#include "internal/posix_error.h"
#include "internal/share_locks.h"
#include "internal/unique_fd.h"
#include "internal/utf.h"

namespace fs = std::filesystem;

namespace kavrin::platform {
namespace {

std::string RandomSuffix() {
  uint64_t value = 0;
  if (::getrandom(&value, sizeof(value), 0) != sizeof(value)) {
    value = static_cast<uint64_t>(::getpid()) << 32 ^ static_cast<uint64_t>(::clock());
  }
  char text[17];
  std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// A temporary file beside the target, removed unless it was renamed.
class TemporaryFile {
 public:
  DWORD Create(const fs::path& target) {
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    for (int attempt = 0; attempt < 16; ++attempt) {
      // Appended piece by piece: GCC 12 at -O3 warns falsely about "." + string.
      std::string name(1, '.');
      name += target.filename().string();
      name += '.';
      name += RandomSuffix();
      name += ".tmp";
      path_ = dir / name;
      fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (fd_.valid()) return ERROR_SUCCESS;
      if (errno != EEXIST) {
        const DWORD error = Win32ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
        path_.clear();
        return error;
      }
    }
    path_.clear();
    return ERROR_FILE_EXISTS;
  }

  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  int fd() const { return fd_.get(); }
  const fs::path& path() const { return path_; }

  // Closes the descriptor, reporting a late write error.
  DWORD Close() { return ::close(fd_.release()) == 0 ? ERROR_SUCCESS : Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE); }

  void Keep() { path_.clear(); }

 private:
  fs::path path_;
  UniqueFd fd_;
};

void SyncDirectory(const fs::path& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The rename has happened; a directory that cannot be flushed only weakens durability.
  if (fd.valid()) ::fsync(fd.get());
}

// A symbolic link is followed, so that the file it names is replaced and the
// link stays.
fs::path FollowLinks(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_symlink(path, ec)) return path;
  fs::path resolved = fs::weakly_canonical(path, ec);
  return ec ? path : resolved;
}

}  // namespace

DWORD WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE);
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return ERROR_SUCCESS;
}

DWORD ReplaceFileAtomically(const fs::path& link_or_target, const std::function<DWORD(int fd)>& write) {
  const fs::path target = FollowLinks(link_or_target);
  struct stat old {};
  const bool replacing = ::stat(target.c_str(), &old) == 0;
  if (replacing && !S_ISREG(old.st_mode)) return ERROR_ACCESS_DENIED;

  TemporaryFile temp;
  if (DWORD error = temp.Create(target); error != ERROR_SUCCESS) return error;
  if (replacing) ::fchmod(temp.fd(), old.st_mode & 07777);

  if (DWORD error = write(temp.fd()); error != ERROR_SUCCESS) return error;
  if (::fsync(temp.fd()) != 0) return Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE);
  if (DWORD error = temp.Close(); error != ERROR_SUCCESS) return error;
  if (::rename(temp.path().c_str(), target.c_str()) != 0) return Win32ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
  temp.Keep();
  SyncDirectory(target.has_parent_path() ? target.parent_path() : fs::path("."));
  return ERROR_SUCCESS;
}

DWORD ReplaceFileAtomically(const fs::path& target, std::string_view contents) {
  return ReplaceFileAtomically(target, [contents](int fd) { return WriteAll(fd, contents); });
}

}  // namespace kavrin::platform

namespace {

using namespace kavrin::platform;

// Writing over a file needs the rights CreateFile with GENERIC_WRITE would:
// a read-only file is refused, and so is one that an open handle holds
// without write sharing.
DWORD CheckReplaceable(const fs::path& target) {
  struct stat st;
  if (::stat(target.c_str(), &st) != 0) return ERROR_SUCCESS;  // a new file
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if ((st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) return ERROR_ACCESS_DENIED;
  UniqueFd fd(::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.valid() && OthersDenyWrite(fd.get())) return ERROR_SHARING_VIOLATION;
  return ERROR_SUCCESS;
}

}  // namespace

KAVRIN_EXTERN_C BOOL WINAPI KavrinReplaceFileContents(LPCWSTR path, const void* data, DWORD size) {
  if (path == nullptr || (data == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  fs::path target;
  DWORD error = MapWindowsPath(std::u16string_view(path, Utf16Length(path)), &target);
  if (error == ERROR_SUCCESS) error = CheckReplaceable(target);
  if (error == ERROR_SUCCESS) {
    error = ReplaceFileAtomically(target, std::string_view(static_cast<const char*>(data), size));
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}
