#include "internal/share_locks.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <kavrin/errors.h>
#include <kavrin/kernel/files.h>

#include <cstdint>
#include <random>

namespace kavrin::platform {
namespace {

enum Mark : off_t { kHasRead = 0, kHasWrite, kDeniesRead, kDeniesWrite, kDeniesDelete, kMarkCount };

// Far beyond any data the system writes, and clear of the ranges other
// lockers (SQLite, for one) use.
constexpr off_t kMarkBase = INT64_MAX - 64;

struct flock MarkLock(Mark mark, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kMarkBase + mark;
  lock.l_len = 1;
  return lock;
}

bool SetMark(int fd, Mark mark) {
  struct flock lock = MarkLock(mark, F_RDLCK);
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

void ClearMarks(int fd) {
  struct flock lock = MarkLock(kHasRead, F_UNLCK);
  lock.l_len = kMarkCount;
  ::fcntl(fd, F_OFD_SETLK, &lock);
}

// True when an open description other than fd's holds mark.
bool OthersHold(int fd, Mark mark) {
  struct flock lock = MarkLock(mark, F_WRLCK);
  if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

bool Conflicts(int fd, const ShareRequest& request) {
  return (request.read && OthersHold(fd, kDeniesRead)) || (request.write && OthersHold(fd, kDeniesWrite)) ||
         (!(request.share_mode & FILE_SHARE_READ) && OthersHold(fd, kHasRead)) ||
         (!(request.share_mode & FILE_SHARE_WRITE) && OthersHold(fd, kHasWrite));
}

bool SetMarks(int fd, const ShareRequest& request) {
  bool ok = true;
  if (request.read) ok = ok && SetMark(fd, kHasRead);
  if (request.write) ok = ok && SetMark(fd, kHasWrite);
  if (!(request.share_mode & FILE_SHARE_READ)) ok = ok && SetMark(fd, kDeniesRead);
  if (!(request.share_mode & FILE_SHARE_WRITE)) ok = ok && SetMark(fd, kDeniesWrite);
  if (!(request.share_mode & FILE_SHARE_DELETE)) ok = ok && SetMark(fd, kDeniesDelete);
  return ok;
}

void SleepBriefly() {
  thread_local std::minstd_rand random(static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(::gettid()));
  const timespec pause{0, static_cast<long>(200'000 + random() % 800'000)};
  ::nanosleep(&pause, nullptr);
}

}  // namespace

// Marks are set before the others' marks are checked. Of two openers that
// exclude each other, whichever checks last sees the other's marks, so both
// can never succeed; both may fail when they race, so a conflict is checked
// again after a short random pause before it is reported.
DWORD AcquireShareLocks(int fd, const ShareRequest& request) {
  constexpr int kAttempts = 3;
  const bool can_mark = (::fcntl(fd, F_GETFL) & O_ACCMODE) != O_WRONLY;
  for (int attempt = 1;; ++attempt) {
    // A file system without such locks leaves the request unmarked; it is
    // still checked against the marks others could set.
    if (can_mark && !SetMarks(fd, request)) ClearMarks(fd);
    if (!Conflicts(fd, request)) return ERROR_SUCCESS;
    ClearMarks(fd);
    if (attempt == kAttempts) return ERROR_SHARING_VIOLATION;
    SleepBriefly();
  }
}

bool OthersDenyWrite(int fd) { return OthersHold(fd, kDeniesWrite); }

bool OthersDenyDelete(int fd) { return OthersHold(fd, kDeniesDelete); }

}  // namespace kavrin::platform
