#include "container_manager.h"

#include "archive_file.h"
#include "container_name.h"
#include "handle_registry.h"
#include "pin_policy.h"
#include "reg_archive_file.h"
#include "scoped_handles.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>
#include <kavrin/kernel/system_dirs.h>
#include <orvex/container_storage.h>

#include <algorithm>
#include <new>

namespace {

// A container file is twelve length-prefixed items; anything larger than two
// maximal data items and the fixed items is not a container.
constexpr DWORD kMaxContainerFileSize = 256 * 1024;

// Reads the whole file in one pass. The file is opened so as not to stand in
// the way of a writer in another process, which replaces it atomically.
bool ReadWholeFile(const std::u16string& path, SecureBytes* image) {
  ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  DWORD high = 0;
  const DWORD size = GetFileSize(file.get(), &high);
  if (size == INVALID_FILE_SIZE || high != 0 || size > kMaxContainerFileSize) return false;
  image->resize(size);
  DWORD done = 0;
  while (done < size) {
    DWORD read = 0;
    if (!ReadFile(file.get(), image->data() + done, size - done, &read, nullptr) || read == 0) {
      return false;
    }
    done += read;
  }
  return true;
}

DWORD LoadFromFile(CKeyContainer& container) {
  SecureBytes image;
  if (!ReadWholeFile(ContainerFilePath(container.Name()), &image)) return NTE_KEYSET_ENTRY_BAD;
  CArchiveFile archive(image);
  return container.Serialize(archive);
}

// The twelve values are read inside a transaction so that a save by another
// thread or process cannot land between two of them.
DWORD LoadFromRegistry(CKeyContainer& container) {
  kavrin::RegTransaction transaction(HKEY_CURRENT_USER);
  if (transaction.status() != ERROR_SUCCESS) return NTE_KEYSET_ENTRY_BAD;
  CRegArchiveFile archive(IArchiveFile::kLoading);
  return container.Serialize(archive);
}

DWORD SaveToFile(CKeyContainer& container) {
  CArchiveFile archive;
  if (DWORD result = container.Serialize(archive); result != 0) return result;
  CreateContainerDirectory();
  const SecureBytes& image = archive.Image();
  if (!KavrinReplaceFileContents(ContainerFilePath(container.Name()).c_str(), image.data(),
                                 static_cast<DWORD>(image.size()))) {
    return NTE_FAIL;
  }
  return 0;
}

DWORD SaveToRegistry(CKeyContainer& container) {
  kavrin::RegTransaction transaction(HKEY_CURRENT_USER);
  if (transaction.status() != ERROR_SUCCESS) return NTE_FAIL;
  CRegArchiveFile archive(IArchiveFile::kStoring);
  if (DWORD result = container.Serialize(archive); result != 0) return result;
  return transaction.Commit() == ERROR_SUCCESS ? 0 : NTE_FAIL;
}

// Storage that is already gone counts as removed.
bool RemoveStorage(const CKeyContainer& container) {
  if (container.IsFileContainer()) {
    if (DeleteFileW(ContainerFilePath(container.Name()).c_str())) return true;
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  ScopedRegKey root;
  const LONG opened =
      RegOpenKeyExW(HKEY_CURRENT_USER, orvex::kContainerRootKey, 0, KEY_ALL_ACCESS, root.out());
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  const LONG deleted = RegDeleteKeyW(root.get(), container.Name().c_str());
  return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

// Deleting a container needs the PIN of each key that has a user PIN,
// signature key first. Which keys have one is read from storage (fresh),
// since another process may have set a PIN since this one loaded the
// container; the in-memory picture serves when storage cannot be read.
bool PinsAllowDeletion(const std::shared_ptr<CKeyContainer>& container, CKeyContainer& fresh,
                       bool fresh_loaded) {
  CKeyContainer& decides = fresh_loaded ? fresh : *container;
  CPinVerifier verifier(container);
  for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    const CKeyObject* slot = decides.GetKeySlot(spec, true);
    if (slot == nullptr || !slot->HasAttribute(CKeyObject::KEYF_USER_PIN)) continue;
    if (!VerifyPinInteractive(verifier, spec)) return false;
  }
  return true;
}

}  // namespace

std::u16string ContainerDirectory() {
  WCHAR system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::u16string(system, length) + orvex::kContainerDirectory;
}

std::u16string ContainerFilePath(std::u16string_view name) {
  std::u16string directory = ContainerDirectory();
  if (directory.empty()) return {};
  directory += u'\\';
  directory += name;
  return directory;
}

void CreateContainerDirectory() {
  const std::u16string directory = ContainerDirectory();
  if (!directory.empty()) SHCreateDirectoryExW(nullptr, directory.c_str(), nullptr);
}

DWORD SaveKeyContainer(CKeyContainer& container) {
  const DWORD result =
      container.IsFileContainer() ? SaveToFile(container) : SaveToRegistry(container);
  if (result == 0) container.MarkSaved();
  return result;
}

CContainerManager::CContainerManager(CHandleRegistry& registry) : registry_(registry) {}

DWORD CContainerManager::FindContainerStorage(std::u16string_view name) const {
  const std::u16string path = ContainerFilePath(name);
  if (!path.empty()) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return kStorageFile;
    }
  }
  ScopedRegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, ContainerKeyPath(name).c_str(), 0, KEY_READ, key.out()) ==
      ERROR_SUCCESS) {
    return kStorageRegistry;
  }
  return kStorageNone;
}

std::shared_ptr<CKeyContainer> CContainerManager::FindLoadedContainer(std::u16string_view name) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::erase_if(loaded_, [](const LoadedEntry& e) { return e.container.expired(); });
  for (const LoadedEntry& entry : loaded_) {
    if (entry.name != name) continue;
    if (auto container = entry.container.lock()) return container;
  }
  return nullptr;
}

void CContainerManager::AddLoaded(const std::shared_ptr<CKeyContainer>& container) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // A newly created container replaces a loaded one of the same name whose
  // storage had vanished; contexts bound to the old one keep it.
  std::erase_if(loaded_, [&](const LoadedEntry& e) { return e.name == container->Name(); });
  loaded_.push_back(LoadedEntry{container->Name(), container});
}

void CContainerManager::RemoveLoaded(const CKeyContainer* container) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::erase_if(loaded_, [&](const LoadedEntry& e) {
    return e.container.expired() || e.container.lock().get() == container;
  });
}

size_t CContainerManager::LoadedCount() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return static_cast<size_t>(std::count_if(loaded_.begin(), loaded_.end(),
                                           [](const LoadedEntry& e) { return !e.container.expired(); }));
}

DWORD CContainerManager::LoadKeyContainer(CKeyContainer& container, DWORD storage) {
  switch (storage) {
    case kStorageFile:
      return LoadFromFile(container);
    case kStorageRegistry:
      return LoadFromRegistry(container);
    default:
      return NTE_BAD_KEYSET;
  }
}

DWORD CContainerManager::DeleteKeyContainer(const std::shared_ptr<CKeyContainer>& container) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!RemoveStorage(*container)) return NTE_FAIL;
  registry_.ReleaseContextsOfContainer(container.get());
  RemoveLoaded(container.get());
  return 0;
}

DWORD CContainerManager::DeleteByName(const std::shared_ptr<CKeyContainer>& fresh, DWORD storage,
                                      std::shared_ptr<CKeyContainer> loaded) {
  if (storage == kStorageNone) {
    SetLastError(NTE_BAD_KEYSET);
    return NTE_FAIL;
  }
  std::shared_ptr<CKeyContainer> container = std::move(loaded);
  const DWORD load_result = LoadKeyContainer(*fresh, storage);
  if (!container) {
    if (load_result != 0) {
      SetLastError(load_result);
      return NTE_FAIL;
    }
    container = fresh;
  }
  if (!PinsAllowDeletion(container, *fresh, load_result == 0)) {
    SetLastError(NTE_PERM);
    return NTE_FAIL;
  }
  if (DeleteKeyContainer(container) != 0) {
    SetLastError(NTE_FAIL);
    return NTE_FAIL;
  }
  return kContainerDeleted;
}

DWORD CContainerManager::OpenKeyContainer(const WCHAR* name, DWORD flags,
                                          std::shared_ptr<CKeyContainer>* out) {
  const std::u16string_view wanted = name != nullptr ? std::u16string_view(name)
                                                     : std::u16string_view(orvex::kDefaultContainerName);
  if (!IsValidContainerName(wanted)) {
    SetLastError(NTE_BAD_KEYSET_PARAM);
    return NTE_FAIL;
  }
  std::shared_ptr<CKeyContainer> fresh;
  try {
    fresh = std::make_shared<CKeyContainer>();
    fresh->SetName(std::u16string(wanted));
  } catch (const std::bad_alloc&) {
    SetLastError(NTE_NO_MEMORY);
    return NTE_FAIL;
  }

  std::lock_guard<std::recursive_mutex> guard(lock_);
  const DWORD storage = FindContainerStorage(wanted);
  std::shared_ptr<CKeyContainer> loaded = FindLoadedContainer(wanted);

  if ((flags & CRYPT_DELETEKEYSET) != 0) return DeleteByName(fresh, storage, std::move(loaded));

  if ((flags & CRYPT_NEWKEYSET) != 0) {
    fresh->SetFileFlag(flags);
    if (storage != kStorageNone) {
      SetLastError(NTE_EXISTS);
      return NTE_FAIL;
    }
    fresh->ResetCounters();
    // A container that could not be stored does not exist.
    if (SaveKeyContainer(*fresh) != 0) {
      SetLastError(NTE_FAIL);
      return NTE_FAIL;
    }
  } else {
    if (storage == kStorageNone) {
      SetLastError(NTE_BAD_KEYSET);
      return NTE_FAIL;
    }
    if (loaded) {
      *out = std::move(loaded);
      return 0;
    }
    if (DWORD result = LoadKeyContainer(*fresh, storage); result != 0) {
      SetLastError(result);
      return NTE_FAIL;
    }
  }
  AddLoaded(fresh);
  *out = std::move(fresh);
  return 0;
}
