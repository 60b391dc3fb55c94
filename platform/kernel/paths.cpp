#include "internal/paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <kavrin/errors.h>

#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "internal/machine_root.h"
#include "internal/utf.h"

namespace fs = std::filesystem;

namespace kavrin::platform {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsDriveLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool HasDrive(std::u16string_view path) {
  return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':';
}

// Characters Windows refuses inside a file or directory name.
bool IsRefusedInName(char16_t c, bool allow_colon) {
  if (c < 0x20) return true;
  switch (c) {
    case u'*':
    case u'?':
    case u'"':
    case u'<':
    case u'>':
    case u'|': return true;
    case u':': return !allow_colon;
    default: return false;
  }
}

// Where the path is anchored and what follows the anchor.
struct Anchor {
  fs::path base;
  std::u16string_view rest;
  bool may_leave_base;  // ".." may climb above base (relative paths only)
  bool native;          // a native absolute path: ':' is an ordinary character
};

std::optional<Anchor> FindAnchor(std::u16string_view path, DWORD* error) {
  *error = ERROR_PATH_NOT_FOUND;
  if (path.size() >= 4 && path.substr(0, 4) == u"\\\\?\\") {  // long-path prefix
    path.remove_prefix(4);
    if (path.size() >= 4 && EqualsIgnoreCase(path.substr(0, 4), u"UNC\\")) return std::nullopt;
  }
  if (path.empty()) return std::nullopt;
  if (path[0] == u'/') return Anchor{"/", path.substr(1), false, true};
  if (IsSeparator(path[0])) {
    if (path.size() >= 2 && IsSeparator(path[1])) return std::nullopt;  // network and device paths
    return Anchor{MachineRoot(), path.substr(1), false, false};
  }
  if (HasDrive(path)) {
    const char16_t drive = path[0] | 0x20;  // lower case
    fs::path base = MachineRoot();
    if (drive != u'c') base = base / "drives" / std::string(1, static_cast<char>(drive));
    return Anchor{base, path.substr(2), false, false};
  }
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  if (ec) return std::nullopt;
  return Anchor{cwd, path, true, false};
}

// Splits rest into components, resolving "." and ".." by text.
std::optional<std::vector<std::u16string_view>> Components(Anchor& anchor, DWORD* error) {
  std::vector<std::u16string_view> parts;
  std::u16string_view rest = anchor.rest;
  while (!rest.empty()) {
    size_t end = 0;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::u16string_view part = rest.substr(0, end);
    rest.remove_prefix(end == rest.size() ? end : end + 1);
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) {
        parts.pop_back();
      } else if (anchor.may_leave_base) {
        anchor.base = anchor.base.parent_path();
      }
      continue;
    }
    for (char16_t c : part) {
      if (IsRefusedInName(c, anchor.native)) {
        *error = ERROR_INVALID_NAME;
        return std::nullopt;
      }
    }
    parts.push_back(part);
  }
  return parts;
}

bool Exists(const fs::path& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The entry of dir whose name equals name ignoring case; the smallest such
// name when several do, so that the choice is stable.
std::optional<std::string> FindIgnoringCase(const fs::path& dir, std::u16string_view name) {
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return std::nullopt;
  std::optional<std::string> best;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string candidate = entry->d_name;
    if (candidate == "." || candidate == "..") continue;
    if (!EqualsIgnoreCase(ToUtf16(candidate), name)) continue;
    if (!best || candidate < *best) best = candidate;
  }
  ::closedir(stream);
  return best;
}

}  // namespace

DWORD MapWindowsPath(std::u16string_view path, fs::path* out) {
  DWORD error = ERROR_SUCCESS;
  auto anchor = FindAnchor(path, &error);
  if (!anchor) return error;
  auto parts = Components(*anchor, &error);
  if (!parts) return error;

  // The common case: every component exists exactly as spelt.
  fs::path exact = anchor->base;
  for (auto part : *parts) exact /= ToUtf8(part);
  if (parts->empty() || Exists(exact)) {
    *out = exact.lexically_normal();
    return ERROR_SUCCESS;
  }

  // Otherwise match each existing component ignoring case; the first missing
  // one and all after it keep the caller's spelling.
  fs::path resolved = anchor->base;
  bool matching = true;
  for (auto part : *parts) {
    const std::string spelt = ToUtf8(part);
    if (matching && !Exists(resolved / spelt)) {
      if (auto found = FindIgnoringCase(resolved, part)) {
        resolved /= *found;
        continue;
      }
      matching = false;
    }
    resolved /= spelt;
  }
  *out = resolved.lexically_normal();
  return ERROR_SUCCESS;
}

fs::path NativePath(std::u16string_view path) {
  fs::path out;
  return MapWindowsPath(path, &out) == ERROR_SUCCESS ? out : fs::path();
}

bool IsRelativeWindowsPath(std::u16string_view path) {
  return path.empty() || !(IsSeparator(path[0]) || HasDrive(path));
}

DWORD MissingPathError(const fs::path& path) {
  struct stat st;
  const fs::path dir = path.parent_path();
  if (dir.empty() || (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

}  // namespace kavrin::platform
