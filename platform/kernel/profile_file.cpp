// The profile functions: GetPrivateProfileStringW, GetPrivateProfileIntW and
// WritePrivateProfileStringW over files in the native file system.
//
// Readers take no lock: every write replaces the file atomically, so a reader
// sees a whole file. Writers hold an exclusive flock on the file's current
// inode around read-modify-write; a writer that waited re-opens the path when
// the file it locked was replaced meanwhile, so concurrent writes, in one
// process or several, are applied one after the other and none is lost.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kavrin/errors.h>
#include <kavrin/kernel/files.h>
#include <kavrin/kernel/profile.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>

#include "internal/atomic_file.h"
#include "internal/machine_root.h"
#include "internal/paths.h"
#include "internal/posix_error.h"
#include "internal/profile_encoding.h"
#include "internal/profile_syntax.h"
#include "internal/unique_fd.h"
#include "internal/utf.h"

namespace fs = std::filesystem;

namespace kavrin::platform {
namespace {

std::u16string_view View(LPCWSTR text) { return std::u16string_view(text, Utf16Length(text)); }

bool HasDirectory(std::u16string_view name) {
  return name.find_first_of(u"\\/:") != std::u16string_view::npos;
}

// A bare file name lives in the Windows directory.
DWORD ProfilePath(LPCWSTR file, fs::path* out) {
  std::u16string name(file != nullptr ? View(file) : u"win.ini");
  if (!HasDirectory(name)) name = ToUtf16(WindowsDirectory().string()) + u"/" + name;
  return MapWindowsPath(name, out);
}

DWORD ReadAll(int fd, std::string* out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE);
  if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
  out->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out->size()) {
    const ssize_t n = ::pread(fd, out->data() + done, out->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE);
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  out->resize(done);
  return ERROR_SUCCESS;
}

// The file's text, or nullopt when it cannot be read (missing, among others).
std::optional<ProfileBytes> LoadProfile(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  std::string bytes;
  if (!fd.valid() || ReadAll(fd.get(), &bytes) != ERROR_SUCCESS) return std::nullopt;
  return ProfileBytes(std::move(bytes));
}

// An exclusive lock on the file at path for one read-modify-write.
class ProfileWriteLock {
 public:
  // create: make the file when it is missing; otherwise a missing file gives
  // ERROR_FILE_NOT_FOUND.
  DWORD Acquire(const fs::path& path, bool create) {
    for (;;) {
      const int flags = O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (create ? O_CREAT : 0);
      fd_.reset(::open(path.c_str(), flags, 0666));
      if (!fd_.valid()) {
        if (errno == ENOENT) return create ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        return Win32ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
      }
      while (::flock(fd_.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE);
      }
      // Locked what is still the file at path: done. Otherwise a writer
      // replaced it while we waited; lock the new one.
      struct stat held, current;
      if (::fstat(fd_.get(), &held) != 0) return Win32ErrorFromErrno(errno, ERROR_GEN_FAILURE);
      if (!S_ISREG(held.st_mode) || (held.st_mode & 0222) == 0) return ERROR_ACCESS_DENIED;  // read-only
      if (::stat(path.c_str(), &current) == 0 && held.st_dev == current.st_dev && held.st_ino == current.st_ino) {
        return ERROR_SUCCESS;
      }
    }
  }

  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;  // closing it releases the lock
};

// Line breaks would let a name or value forge other lines of the file.
bool HasLineBreak(LPCWSTR text) {
  return text != nullptr && View(text).find_first_of(u"\r\n") != std::u16string_view::npos;
}

DWORD WriteProfile(std::u16string_view section, LPCWSTR key, LPCWSTR value, LPCWSTR file) {
  fs::path path;
  if (DWORD error = ProfilePath(file, &path); error != ERROR_SUCCESS) return error;
  const bool deleting = key == nullptr || value == nullptr;
  ProfileWriteLock lock;
  if (DWORD error = lock.Acquire(path, !deleting); error != ERROR_SUCCESS) {
    return (deleting && error == ERROR_FILE_NOT_FOUND) ? ERROR_SUCCESS : error;  // nothing to delete
  }
  std::string bytes;
  if (DWORD error = ReadAll(lock.fd(), &bytes); error != ERROR_SUCCESS) return error;
  const ProfileBytes profile(std::move(bytes));

  const std::optional<ProfileLineEdit> edit = profile.WithText([&](auto text) {
    if (key == nullptr) return PlanProfileDeleteSection(text, section);
    if (value == nullptr) return PlanProfileDeleteKey(text, section, View(key));
    return PlanProfileSet(text, section, View(key), View(value));
  });
  if (!edit) return ERROR_SUCCESS;
  // Written in three pieces: a big file is not copied once more in memory.
  const ProfileBytes::Edited edited = profile.Apply(*edit);
  return ReplaceFileAtomically(path, [&edited](int fd) {
    for (std::string_view piece : {edited.before, std::string_view(edited.replacement), edited.after}) {
      if (DWORD error = WriteAll(fd, piece); error != ERROR_SUCCESS) return error;
    }
    return DWORD{ERROR_SUCCESS};
  });
}

template <class CharT>
void CopyChars(std::basic_string_view<CharT> text, LPWSTR out) {
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char16_t>(text[i]);
}

// Copies text and a null, cut to fit; returns the characters copied.
template <class CharT>
DWORD CopyString(std::basic_string_view<CharT> text, LPWSTR out, DWORD size) {
  const size_t count = std::min<size_t>(text.size(), size - 1);
  CopyChars(text.substr(0, count), out);
  out[count] = u'\0';
  return static_cast<DWORD>(count);
}

// Copies names, each followed by a null, and a final null. When they do not
// fit, the last one is cut and the buffer ends with two nulls.
template <class CharT>
DWORD CopyList(const std::vector<std::basic_string_view<CharT>>& names, LPWSTR out, DWORD size) {
  if (size < 2) {
    out[0] = u'\0';
    return 0;
  }
  size_t pos = 0;
  for (auto name : names) {
    if (pos + name.size() + 1 > size - 1) {  // this name, its null and the final null do not fit
      const size_t room = pos < size - 2 ? size - 2 - pos : 0;
      CopyChars(name.substr(0, room), out + pos);
      out[size - 2] = u'\0';
      out[size - 1] = u'\0';
      return size - 2;
    }
    CopyChars(name, out + pos);
    pos += name.size();
    out[pos++] = u'\0';
  }
  out[pos] = u'\0';
  if (pos == 0) out[1] = u'\0';  // an empty list still reads as ending in two nulls
  return static_cast<DWORD>(pos);
}

std::u16string_view TrimTrailingBlanks(std::u16string_view text) {
  while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) text.remove_suffix(1);
  return text;
}

// Leading blanks, a sign, then decimal digits, or hexadecimal ones after "0x".
template <class CharT>
UINT ParseProfileInt(std::basic_string_view<CharT> text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  uint32_t base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint32_t value = 0;
  for (char16_t c : text) {
    uint32_t digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (base == 16 && (c | 0x20) >= u'a' && (c | 0x20) <= u'f') {
      digit = (c | 0x20) - u'a' + 10;
    } else {
      break;
    }
    value = value * base + digit;  // wraps like a 32-bit register
  }
  return negative ? 0u - value : value;
}

}  // namespace
}  // namespace kavrin::platform

using namespace kavrin::platform;

KAVRIN_EXTERN_C DWORD WINAPI GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                                      LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName) {
  if (lpReturnedString == nullptr || nSize == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  fs::path path;
  std::optional<ProfileBytes> profile;
  if (ProfilePath(lpFileName, &path) == ERROR_SUCCESS) profile = LoadProfile(path);
  if (!profile) profile.emplace(std::string());  // a missing file reads as an empty one

  const std::optional<DWORD> found = profile->WithText([&](auto text) -> std::optional<DWORD> {
    if (lpAppName == nullptr) return CopyList(ProfileSectionNames(text), lpReturnedString, nSize);
    if (lpKeyName == nullptr) {
      auto keys = ProfileKeyNames(text, View(lpAppName));
      if (!keys) return std::nullopt;
      return CopyList(*keys, lpReturnedString, nSize);
    }
    auto value = FindProfileValue(text, View(lpAppName), View(lpKeyName));
    if (!value) return std::nullopt;
    return CopyString(StripProfileQuotes(*value), lpReturnedString, nSize);
  });
  if (found) {
    SetLastError(ERROR_SUCCESS);
    return *found;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  const std::u16string_view fallback = lpDefault != nullptr ? View(lpDefault) : std::u16string_view();
  return CopyString(TrimTrailingBlanks(fallback), lpReturnedString, nSize);
}

KAVRIN_EXTERN_C UINT WINAPI GetPrivateProfileIntW(LPCWSTR lpAppName, LPCWSTR lpKeyName, INT nDefault,
                                                  LPCWSTR lpFileName) {
  if (lpAppName == nullptr || lpKeyName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<UINT>(nDefault);
  }
  fs::path path;
  std::optional<ProfileBytes> profile;
  if (ProfilePath(lpFileName, &path) == ERROR_SUCCESS) profile = LoadProfile(path);
  if (profile) {
    const std::optional<UINT> found = profile->WithText([&](auto text) -> std::optional<UINT> {
      auto value = FindProfileValue(text, View(lpAppName), View(lpKeyName));
      if (!value) return std::nullopt;
      return ParseProfileInt(StripProfileQuotes(*value));
    });
    if (found) {
      SetLastError(ERROR_SUCCESS);
      return *found;
    }
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return static_cast<UINT>(nDefault);
}

KAVRIN_EXTERN_C BOOL WINAPI WritePrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString,
                                                       LPCWSTR lpFileName) {
  // All three NULL asks to flush a cache; there is none, and Windows answers FALSE.
  if (lpAppName == nullptr && lpKeyName == nullptr && lpString == nullptr) return FALSE;
  if (lpAppName == nullptr || HasLineBreak(lpAppName) || HasLineBreak(lpKeyName) || HasLineBreak(lpString)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD error = WriteProfile(View(lpAppName), lpKeyName, lpString, lpFileName);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}
