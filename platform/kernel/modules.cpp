#include <kavrin/errors.h>
#include <kavrin/kernel/modules.h>

#include <dlfcn.h>
#include <link.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "internal/code_page.h"
#include "internal/module_list.h"
#include "internal/utf.h"

namespace {

using kavrin::platform::MappedModule;

// References handed out by LoadLibrary and GetModuleHandleEx, per module
// handle. Each reference is one dynamic-linker reference, so the linker
// unloads the module when the last one is closed; the table makes sure
// FreeLibrary never closes more than was opened. The lock is never held
// while the linker runs, because module constructors and destructors may
// call back into these functions.
class ReferenceTable {
 public:
  void Add(HMODULE module, void* handle) {
    std::lock_guard lock(mutex_);
    auto& entry = entries_[module];
    entry.handle = handle;
    ++entry.count;
  }

  // The linker handle to close for one reference, or nullptr when the
  // module holds none of ours.
  void* Take(HMODULE module) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(module);
    if (it == entries_.end()) return nullptr;
    void* handle = it->second.handle;
    if (--it->second.count == 0) entries_.erase(it);
    return handle;
  }

 private:
  struct Entry {
    void* handle = nullptr;
    unsigned count = 0;
  };
  std::mutex mutex_;
  std::map<HMODULE, Entry> entries_;
};

// Never destroyed: modules unloaded during exit still free their references.
ReferenceTable& References() {
  static auto* table = new ReferenceTable;
  return *table;
}

HMODULE HandleOf(const MappedModule& module) { return reinterpret_cast<HMODULE>(module.base); }

template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// ".dll" names the shared object of the same name; no extension means ".dll".
std::string WithSharedObjectExtension(std::string name) {
  if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0) {
    name.resize(name.size() - 4);
  } else if (std::filesystem::path(name).has_extension()) {
    return name;
  }
  return name + ".so";
}

struct ModuleName {
  bool is_path = false;
  std::string text;  // an absolute path, or a bare file name
};

ModuleName ParseName(std::u16string_view name) {
  std::string text = kavrin::platform::ToUtf8(name);
  std::replace(text.begin(), text.end(), '\\', '/');
  if (text.find('/') == std::string::npos) return {false, text};
  std::string path = std::filesystem::absolute(text).lexically_normal().string();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    const std::string shared_object = WithSharedObjectExtension(path);
    if (std::filesystem::exists(shared_object, ec)) path = shared_object;
  }
  return {true, path};
}

std::optional<MappedModule> FindLoaded(const ModuleName& name) {
  return name.is_path ? kavrin::platform::FindModuleByPath(name.text)
                      : kavrin::platform::FindModuleByFileName(kavrin::platform::ToUtf16(name.text));
}

// Takes one more reference on a module that is already loaded.
bool AddReference(const MappedModule& module, int extra_flags) {
  void* handle = module.OpenHandle(extra_flags);
  if (handle == nullptr) return false;
  References().Add(HandleOf(module), handle);
  return true;
}

// Adds a reference to the module when it is in the process already, or opens
// it through the linker, and records the reference.
HMODULE Load(const ModuleName& name) {
  if (const auto loaded = FindLoaded(name)) {
    if (!AddReference(*loaded, 0)) return Fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
    return HandleOf(*loaded);
  }
  const std::string target = name.is_path ? name.text : WithSharedObjectExtension(name.text);
  void* handle = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return Fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  link_map* map = nullptr;
  std::optional<MappedModule> module;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
    module = kavrin::platform::FindModuleContaining(reinterpret_cast<uintptr_t>(map->l_ld));
  }
  if (!module) {
    dlclose(handle);
    return Fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  }
  References().Add(HandleOf(*module), handle);
  return HandleOf(*module);
}

std::optional<MappedModule> ModuleOf(HMODULE handle) {
  return handle == nullptr ? kavrin::platform::Executable()
                           : kavrin::platform::FindModuleByBase(reinterpret_cast<uintptr_t>(handle));
}

// A linker handle on a module named by its handle (nullptr: the executable),
// found through the linker's own records rather than a list of every module,
// since GetProcAddress runs often.
class LinkerHandle {
 public:
  explicit LinkerHandle(void* handle) : handle_(handle) {
    if (handle_ != nullptr && (dlinfo(handle_, RTLD_DI_LINKMAP, &map_) != 0 || map_ == nullptr)) Reset();
  }
  ~LinkerHandle() { Reset(); }
  LinkerHandle(LinkerHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), map_(std::exchange(other.map_, nullptr)) {}
  LinkerHandle& operator=(LinkerHandle&&) = delete;

  explicit operator bool() const { return handle_ != nullptr; }
  void* handle() const { return handle_; }
  const link_map* map() const { return map_; }

  // Whether the address lies in this module's own image.
  bool Defines(const void* address) const {
    Dl_info info;
    link_map* owner = nullptr;
    return dladdr1(address, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) != 0 && owner == map_;
  }

 private:
  void Reset() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
    map_ = nullptr;
  }
  void* handle_ = nullptr;
  link_map* map_ = nullptr;
};

LinkerHandle OpenExecutable() { return LinkerHandle(dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD)); }

LinkerHandle OpenByHandle(HMODULE module) {
  LinkerHandle executable = OpenExecutable();
  if (module == nullptr) return executable;
  // A module handle is the start of a module's image.
  Dl_info info;
  link_map* map = nullptr;
  if (dladdr1(module, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr ||
      info.dli_fbase != module) {
    return LinkerHandle(nullptr);
  }
  if (map == executable.map()) return executable;
  // Objects named without a path are the kernel's virtual objects, not files.
  if (map->l_name == nullptr || std::strchr(map->l_name, '/') == nullptr) return LinkerHandle(nullptr);
  return LinkerHandle(dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD));
}

}  // namespace

KAVRIN_EXTERN_C HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  if (lpLibFileName == nullptr || *lpLibFileName == u'\0') return Fail<HMODULE>(ERROR_INVALID_PARAMETER, nullptr);
  return Load(ParseName(lpLibFileName));
}

KAVRIN_EXTERN_C HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr || *lpLibFileName == '\0') return Fail<HMODULE>(ERROR_INVALID_PARAMETER, nullptr);
  return LoadLibraryW(kavrin::platform::AnsiToUtf16(lpLibFileName).c_str());
}

KAVRIN_EXTERN_C BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (void* handle = References().Take(hLibModule)) {
    dlclose(handle);  // may unload the module and run its destructors
    return TRUE;
  }
  // A module that the linker loaded with the program has no references of
  // ours to drop; like a statically imported library it stays.
  if (hLibModule != nullptr && kavrin::platform::FindModuleByBase(reinterpret_cast<uintptr_t>(hLibModule))) {
    return TRUE;
  }
  return Fail<BOOL>(ERROR_MOD_NOT_FOUND, FALSE);
}

KAVRIN_EXTERN_C FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  // Values below 64K are export ordinals, which shared objects do not have.
  if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) return Fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
  const LinkerHandle module = OpenByHandle(hModule);
  if (!module) return Fail<FARPROC>(ERROR_MOD_NOT_FOUND, nullptr);
  void* symbol = dlsym(module.handle(), lpProcName);
  // The linker also searches the module's dependencies; only the module's
  // own definitions are its exports.
  if (symbol == nullptr || !module.Defines(symbol)) return Fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
  return reinterpret_cast<FARPROC>(symbol);
}

KAVRIN_EXTERN_C HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  const auto module = lpModuleName == nullptr ? kavrin::platform::Executable() : FindLoaded(ParseName(lpModuleName));
  if (!module) return Fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  return HandleOf(*module);
}

KAVRIN_EXTERN_C BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                           GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  constexpr DWORD kPinAndUnchanged = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (phModule == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  *phModule = nullptr;
  if ((dwFlags & ~kKnown) != 0 || (dwFlags & kPinAndUnchanged) == kPinAndUnchanged) {
    return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  }
  std::optional<MappedModule> module;
  if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
    module = kavrin::platform::FindModuleContaining(reinterpret_cast<uintptr_t>(lpModuleName));
  } else {
    module = lpModuleName == nullptr ? kavrin::platform::Executable() : FindLoaded(ParseName(lpModuleName));
  }
  if (!module) return Fail<BOOL>(ERROR_MOD_NOT_FOUND, FALSE);
  if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0) {
    // The linker keeps a module opened with RTLD_NODELETE for the life of the
    // process; the handle itself is not needed afterwards.
    void* handle = module->OpenHandle(RTLD_NODELETE);
    if (handle == nullptr) return Fail<BOOL>(ERROR_MOD_NOT_FOUND, FALSE);
    dlclose(handle);
  } else if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0 && !AddReference(*module, 0)) {
    return Fail<BOOL>(ERROR_MOD_NOT_FOUND, FALSE);
  }
  *phModule = HandleOf(*module);
  return TRUE;
}

KAVRIN_EXTERN_C DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  const auto module = ModuleOf(hModule);
  if (!module) return Fail<DWORD>(ERROR_MOD_NOT_FOUND, 0);
  if (nSize == 0 || lpFilename == nullptr) return Fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, 0);
  const std::u16string path = kavrin::platform::ToUtf16(module->path);
  if (path.size() < nSize) {
    std::copy(path.begin(), path.end(), lpFilename);
    lpFilename[path.size()] = u'\0';
    return static_cast<DWORD>(path.size());
  }
  std::copy_n(path.begin(), nSize - 1, lpFilename);
  lpFilename[nSize - 1] = u'\0';
  return Fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, nSize);
}
