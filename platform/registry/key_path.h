// Key paths and names as the registry functions receive them: UTF-16, '\' as
// the separator, compared without regard to case.
#pragma once

#include <kavrin/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace kavrin::platform::registry {

constexpr size_t kMaxKeyNameLength = 255;     // characters of one path component
constexpr size_t kMaxValueNameLength = 16383;  // characters of a value name

// Splits a sub-key path into its components. Null or empty means the key
// itself. A leading '\' is refused (ERROR_BAD_PATHNAME); empty components
// from doubled or trailing separators are skipped; a component longer than
// kMaxKeyNameLength is refused (ERROR_INVALID_PARAMETER).
LONG SplitKeyPath(const WCHAR* path, std::vector<std::u16string_view>* out);

// The form under which a key or value name is stored for comparison and
// ordering: every UTF-16 unit upper-cased, as the registry sorts names, with
// tables that do not depend on the process's locale (so that every process
// finds the names every other process stored), in UTF-8.
std::string FoldedName(std::u16string_view name);

// A null name pointer is the empty name (a key's default value).
std::u16string_view NameOf(const WCHAR* name);

}  // namespace kavrin::platform::registry
