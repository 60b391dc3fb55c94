#include "internal/module_list.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "internal/utf.h"

namespace kavrin::platform {
namespace {

uintptr_t PageSize() {
  static const auto size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::string ExecutablePath() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

// Runs under the dynamic linker's lock: copies what it needs and calls
// nothing that could take that lock again.
int Collect(dl_phdr_info* info, size_t, void* data) {
  auto& modules = *static_cast<std::vector<MappedModule>*>(data);
  const bool executable = modules.empty();
  const std::string_view name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  // Entries without a path are the kernel's virtual objects, not files.
  if (!executable && name.find('/') == std::string_view::npos) return 0;
  MappedModule module;
  module.executable = executable;
  module.path = name;
  uintptr_t lowest = UINTPTR_MAX;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    const uintptr_t start = info->dlpi_addr + header.p_vaddr;
    module.segments.emplace_back(start, start + header.p_memsz);
    if (start < lowest) lowest = start;
  }
  module.base = lowest & ~(PageSize() - 1);
  modules.push_back(std::move(module));
  return 0;
}

std::u16string FileNameKey(std::u16string_view file_name) {
  std::u16string key = FoldCase(file_name);
  for (std::u16string_view extension : {u".DLL", u".SO"}) {  // keys are folded to upper case
    if (key.size() > extension.size() && key.ends_with(extension)) {
      key.resize(key.size() - extension.size());
      break;
    }
  }
  return key;
}

template <typename Match>
std::optional<MappedModule> FindFirst(Match match) {
  for (auto& module : MappedModules()) {
    if (match(module)) return std::move(module);
  }
  return std::nullopt;
}

}  // namespace

bool MappedModule::Contains(uintptr_t address) const {
  for (const auto& [start, end] : segments) {
    if (address >= start && address < end) return true;
  }
  return false;
}

void* MappedModule::OpenHandle(int extra_flags) const {
  const int flags = RTLD_LAZY | RTLD_NOLOAD | extra_flags;
  return executable ? dlopen(nullptr, flags) : dlopen(path.c_str(), flags);
}

std::vector<MappedModule> MappedModules() {
  std::vector<MappedModule> modules;
  dl_iterate_phdr(Collect, &modules);
  // Resolved outside the linker's lock; a relative name is taken against the
  // current directory, as the linker did when it opened it.
  for (auto& module : modules) {
    if (module.executable) {
      module.path = ExecutablePath();
    } else {
      module.path = std::filesystem::absolute(module.path).lexically_normal().string();
    }
  }
  return modules;
}

std::optional<MappedModule> FindModuleByBase(uintptr_t base) {
  return FindFirst([base](const MappedModule& module) { return module.base == base; });
}

std::optional<MappedModule> FindModuleContaining(uintptr_t address) {
  return FindFirst([address](const MappedModule& module) { return module.Contains(address); });
}

std::optional<MappedModule> Executable() {
  return FindFirst([](const MappedModule& module) { return module.executable; });
}

std::optional<MappedModule> FindModuleByPath(const std::string& path) {
  std::vector<MappedModule> modules = MappedModules();
  for (auto& module : modules) {
    if (module.path == path) return std::move(module);
  }
  // Another name for a loaded file (a link, a different spelling) is the same
  // module. The linker knows the file identity of every shared object it
  // loaded, so one question to it replaces a look-up of each module's file.
  if (void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
    link_map* map = nullptr;
    std::optional<MappedModule> found;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
      for (auto& module : modules) {
        if (module.Contains(reinterpret_cast<uintptr_t>(map->l_ld))) {
          found = std::move(module);
          break;
        }
      }
    }
    dlclose(handle);
    return found;
  }
  // The executable is not among the objects the linker answers for.
  struct stat wanted {};
  struct stat executable {};
  if (!modules.empty() && modules.front().executable && stat(path.c_str(), &wanted) == 0 &&
      stat(modules.front().path.c_str(), &executable) == 0 && wanted.st_dev == executable.st_dev &&
      wanted.st_ino == executable.st_ino) {
    return std::move(modules.front());
  }
  return std::nullopt;
}

std::optional<MappedModule> FindModuleByFileName(std::u16string_view file_name) {
  const std::u16string key = FileNameKey(file_name);
  return FindFirst([&key](const MappedModule& module) {
    return FileNameKey(ToUtf16(std::filesystem::path(module.path).filename().string())) == key;
  });
}

}  // namespace kavrin::platform
