#include "container_lock.h"

#include "engine_module.h"
#include "openssl_ptr.h"

#include <kavrin/errors.h>
#include <kavrin/kernel/files.h>
#include <kavrin/kernel/system_dirs.h>
#include <kavrin/kernel/text.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

constexpr char16_t kLockDirectory[] = u"\\Orvex\\locks";
constexpr char kLockDirectoryNative[] = "/Orvex/locks/";

std::u16string SystemDirectory() {
  WCHAR system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::u16string(system, length);
}

std::string Utf8(const std::u16string& text) {
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string out(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), needed,
                      nullptr, nullptr);
  return out;
}

// Hex SHA-256 of the upper-cased name's UTF-16LE bytes.
std::string NameDigest(std::u16string_view name) {
  std::u16string upper(name);
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  std::vector<unsigned char> bytes;
  for (char16_t unit : upper) {
    bytes.push_back(static_cast<unsigned char>(unit));
    bytes.push_back(static_cast<unsigned char>(unit >> 8));
  }
  EvpMdPtr sha256(EVP_MD_fetch(Engine().OpenSsl().LibCtx(), "SHA256", nullptr));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!sha256 || EVP_Digest(bytes.data(), bytes.size(), digest, &length, sha256.get(), nullptr) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

}  // namespace

std::string ContainerLockFilePath(std::u16string_view container_name) {
  const std::u16string system = SystemDirectory();
  const std::string digest = NameDigest(container_name);
  if (system.empty() || digest.empty()) return {};
  const std::string native = Utf8(system);
  if (native.empty()) return {};
  return native + kLockDirectoryNative + digest;
}

CContainerLock::CContainerLock(std::u16string_view container_name) {
  const std::string path = ContainerLockFilePath(container_name);
  if (path.empty()) return;
  // An existing directory is the rule; taking a lock leaves no error behind.
  const DWORD error = GetLastError();
  SHCreateDirectoryExW(nullptr, (SystemDirectory() + kLockDirectory).c_str(), nullptr);
  SetLastError(error);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  int locked;
  do {
    locked = flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
}

CContainerLock::~CContainerLock() {
  // Closing the only descriptor of this opening releases the lock.
  if (fd_ >= 0) close(fd_);
}
