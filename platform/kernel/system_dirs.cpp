#include <kavrin/kernel/system_dirs.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "internal/code_page.h"
#include "internal/machine_root.h"
#include "internal/utf.h"

namespace {

using kavrin::platform::SystemDirectory;
using kavrin::platform::WindowsDirectory;

// Copies text with its terminator when it fits; otherwise returns the size
// the caller needs, terminator included.
template <typename Char>
UINT CopyOut(const std::basic_string<Char>& text, Char* buffer, UINT size) {
  if (buffer == nullptr || text.size() >= size) return static_cast<UINT>(text.size() + 1);
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = Char{};
  return static_cast<UINT>(text.size());
}

UINT Wide(const std::filesystem::path& dir, LPWSTR buffer, UINT size) {
  return CopyOut(kavrin::platform::ToUtf16(dir.string()), buffer, size);
}

UINT Ansi(const std::filesystem::path& dir, LPSTR buffer, UINT size) {
  return CopyOut(kavrin::platform::Utf16ToAnsi(kavrin::platform::ToUtf16(dir.string())), buffer, size);
}

}  // namespace

KAVRIN_EXTERN_C UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return Wide(WindowsDirectory(), lpBuffer, uSize);
}

KAVRIN_EXTERN_C UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return Ansi(WindowsDirectory(), lpBuffer, uSize);
}

// One machine, one user: the shared Windows directory is the Windows directory.
KAVRIN_EXTERN_C UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return Wide(WindowsDirectory(), lpBuffer, uSize);
}

KAVRIN_EXTERN_C UINT WINAPI GetSystemWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return Ansi(WindowsDirectory(), lpBuffer, uSize);
}

KAVRIN_EXTERN_C UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return Wide(SystemDirectory(), lpBuffer, uSize);
}

KAVRIN_EXTERN_C UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return Ansi(SystemDirectory(), lpBuffer, uSize);
}
