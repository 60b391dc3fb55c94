#include "internal/machine_root.h"

#include <cstdlib>
#include <system_error>

namespace kavrin::platform {
namespace {

std::filesystem::path EnsureDirectory(std::filesystem::path dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);  // an existing directory is fine
  return dir;
}

}  // namespace

std::filesystem::path MachineRoot() {
  if (const char* root = std::getenv("KAVRIN_ROOT"); root != nullptr && *root != '\0') {
    return EnsureDirectory(std::filesystem::absolute(root).lexically_normal());
  }
  const char* home = std::getenv("HOME");
  std::filesystem::path base = (home != nullptr && *home != '\0') ? home : "/tmp";
  return EnsureDirectory(base / ".local" / "share" / "kavrin");
}

std::filesystem::path WindowsDirectory() { return EnsureDirectory(MachineRoot() / "Windows"); }

std::filesystem::path SystemDirectory() { return EnsureDirectory(WindowsDirectory() / "System32"); }

}  // namespace kavrin::platform
