// A lock on one container's stored state that every process of the machine
// shares: an exclusive flock on a lock file in "<system directory>\Orvex\locks",
// named by the SHA-256 of the container's upper-cased name, so that any name
// is a safe file name and names the stores take as one container share one
// lock. Every read-modify-write of stored counters or slots runs under it.
//
// Not re-entrant: a thread that holds it must not take it again (each lock
// opens the file anew, and flock treats each opening as a holder of its own).
// It is taken after the container-list lock, never held across a dialog, and
// the lock files are never removed: a process waiting on a removed file would
// hold a lock nobody else sees.
#pragma once

#include <string>
#include <string_view>

class CContainerLock {
 public:
  // Waits until the lock is held, or fails (Held() false) when the lock file
  // cannot be opened.
  explicit CContainerLock(std::u16string_view container_name);
  ~CContainerLock();
  CContainerLock(const CContainerLock&) = delete;
  CContainerLock& operator=(const CContainerLock&) = delete;

  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The native path of the container's lock file; empty when the system
// directory is unknown.
std::string ContainerLockFilePath(std::u16string_view container_name);
