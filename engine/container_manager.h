// Opens, creates and deletes key containers and keeps the process's list of
// loaded containers, so that every context opening a name shares one object.
//
// The container-list lock is held through a whole open, create or delete, and
// by acquisition until the new context's handle is issued, so that a deletion
// cannot miss a context that is being bound to its container. It is the
// outermost engine lock: it may be held while the context, hash-list and
// registry locks are taken, never the other way round. The list holds weak
// references: a container dies with its last std::shared_ptr wherever that
// happens, without taking this lock, and its entry is dropped at the next scan.
#pragma once

#include "key_container.h"

#include <kavrin/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CHandleRegistry;

class CContainerManager {
 public:
  // FindContainerStorage results.
  static constexpr DWORD kStorageNone = 0;
  static constexpr DWORD kStorageFile = 16;
  static constexpr DWORD kStorageRegistry = 32;
  // OpenKeyContainer result when CRYPT_DELETEKEYSET deleted the container.
  static constexpr DWORD kContainerDeleted = 0x10000000;

  explicit CContainerManager(CHandleRegistry& registry);
  CContainerManager(const CContainerManager&) = delete;
  CContainerManager& operator=(const CContainerManager&) = delete;

  std::recursive_mutex& ListLock() { return lock_; }

  // Opens (no flag), creates (CRYPT_NEWKEYSET, as a file with
  // CRYPT_MACHINE_KEYSET) or deletes (CRYPT_DELETEKEYSET) the named container,
  // "Orvex" when name is null. 0 with *out set; kContainerDeleted; or NTE_FAIL
  // with the specific error set as the last error.
  DWORD OpenKeyContainer(const WCHAR* name, DWORD flags, std::shared_ptr<CKeyContainer>* out);

  // kStorageFile when the container directory holds a file of that name
  // (looked for first), kStorageRegistry when the registry sub-key exists,
  // else kStorageNone.
  DWORD FindContainerStorage(std::u16string_view name) const;
  // The loaded container of exactly that name (case-sensitive), or null.
  std::shared_ptr<CKeyContainer> FindLoadedContainer(std::u16string_view name);
  // Fills a new container from its storage; NTE_KEYSET_ENTRY_BAD when the
  // storage cannot be read or breaks the stored layout.
  DWORD LoadKeyContainer(CKeyContainer& container, DWORD storage);
  // Removes the storage, releases every context of the process bound to the
  // container and drops it from the list. 0, or NTE_FAIL when the storage
  // could not be removed (nothing else is changed then).
  DWORD DeleteKeyContainer(const std::shared_ptr<CKeyContainer>& container);

  // Loaded containers still alive (tests).
  size_t LoadedCount();

 private:
  DWORD DeleteByName(const std::shared_ptr<CKeyContainer>& fresh, DWORD storage,
                     std::shared_ptr<CKeyContainer> loaded);
  void AddLoaded(const std::shared_ptr<CKeyContainer>& container);
  void RemoveLoaded(const CKeyContainer* container);

  struct LoadedEntry {
    std::u16string name;
    std::weak_ptr<CKeyContainer> container;
  };

  CHandleRegistry& registry_;
  std::recursive_mutex lock_;
  std::vector<LoadedEntry> loaded_;
};

// Writes the whole container to its storage in one step: a registry container
// as one transaction over its twelve values, a file container by replacing the
// file atomically. 0, or NTE_FAIL with storage unchanged. Runs without the
// container-list lock.
DWORD SaveKeyContainer(CKeyContainer& container);

// The container directory, "<system directory>\Orvex\container", and the file
// of a container in it. Empty when the system directory is unknown.
std::u16string ContainerDirectory();
std::u16string ContainerFilePath(std::u16string_view name);
// Creates the container directory and its parents; an existing one is fine.
void CreateContainerDirectory();
