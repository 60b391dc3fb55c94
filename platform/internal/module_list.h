// The modules mapped into the process right now, as the dynamic linker lists
// them, whoever loaded them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavrin::platform {

struct MappedModule {
  uintptr_t base = 0;      // start of the image: the module handle
  std::string path;        // absolute native path
  bool executable = false;
  std::vector<std::pair<uintptr_t, uintptr_t>> segments;  // [start, end) of each loaded segment

  bool Contains(uintptr_t address) const;
  // Opens a dynamic-linker handle on the already loaded module, adding one
  // reference to it; nullptr when it is gone. Close it with dlclose.
  void* OpenHandle(int extra_flags = 0) const;
};

// The executable comes first.
std::vector<MappedModule> MappedModules();

std::optional<MappedModule> FindModuleByBase(uintptr_t base);
std::optional<MappedModule> FindModuleContaining(uintptr_t address);
std::optional<MappedModule> Executable();

// By absolute path, or by a bare file name compared the Windows way (no case,
// ".dll" and ".so" alike, no extension meaning ".dll").
std::optional<MappedModule> FindModuleByPath(const std::string& path);
std::optional<MappedModule> FindModuleByFileName(std::u16string_view file_name);

}  // namespace kavrin::platform
