#include "engine_integrity.h"

#include "front_messages.h"

#include <kavrin/errors.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <tuple>

namespace {

// What tells one state of a file from another without reading it. Writing
// to a file always moves its change time, which no caller can set back, so
// an unchanged identity means unchanged content.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  static FileIdentity Of(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
  bool operator==(const FileIdentity& other) const {
    return std::tie(device, inode, size, modified.tv_sec, modified.tv_nsec, changed.tv_sec,
                    changed.tv_nsec) == std::tie(other.device, other.inode, other.size,
                                                 other.modified.tv_sec, other.modified.tv_nsec,
                                                 other.changed.tv_sec, other.changed.tv_nsec);
  }
};

// The digest of the file last hashed, so that acquiring context after context
// does not read the whole engine each time.
class DigestCache {
 public:
  std::optional<orvex::ImageDigest> Find(const FileIdentity& identity) {
    std::lock_guard lock(mutex_);
    if (!digest_ || !(identity_ == identity)) return std::nullopt;
    return digest_;
  }
  void Remember(const FileIdentity& identity, const orvex::ImageDigest& digest) {
    std::lock_guard lock(mutex_);
    identity_ = identity;
    digest_ = digest;
  }

 private:
  std::mutex mutex_;
  FileIdentity identity_;
  std::optional<orvex::ImageDigest> digest_;
};

DigestCache& Cache() {
  static DigestCache cache;
  return cache;
}

class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~ReadOnlyFile() {
    if (fd_ >= 0) close(fd_);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::optional<orvex::ImageDigest> DigestOfEngineFile(const std::u16string& path) {
  ReadOnlyFile file(orvex::NativeImagePath(path));
  struct stat st {};
  if (file.fd() < 0 || fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const FileIdentity identity = FileIdentity::Of(st);
  if (auto known = Cache().Find(identity)) return known;
  auto digest = orvex::DigestOfOpenFile(file.fd(), nullptr);
  if (digest) Cache().Remember(identity, *digest);
  return digest;
}

}  // namespace

DWORD CheckEngineImage(const EngineLocation& engine) {
  const auto actual = DigestOfEngineFile(engine.path);
  if (!actual) return NTE_PROVIDER_DLL_FAIL;
  if (!engine.digest || *engine.digest != *actual) {
    ShowFrontMessage(kEngineImageChangedText);
    return NTE_BAD_SIGNATURE;
  }
  return 0;
}
