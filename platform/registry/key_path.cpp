#include "registry/key_path.h"

#include <kavrin/errors.h>

#include "internal/utf.h"

namespace kavrin::platform::registry {

LONG SplitKeyPath(const WCHAR* path, std::vector<std::u16string_view>* out) {
  out->clear();
  if (path == nullptr) return ERROR_SUCCESS;
  const std::u16string_view text(path);
  if (!text.empty() && text.front() == u'\\') return ERROR_BAD_PATHNAME;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\\', start);
    if (end == std::u16string_view::npos) end = text.size();
    const std::u16string_view part = text.substr(start, end - start);
    if (part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    if (!part.empty()) out->push_back(part);
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

std::string FoldedName(std::u16string_view name) { return ToUtf8(FoldCase(name)); }

std::u16string_view NameOf(const WCHAR* name) {
  return name == nullptr ? std::u16string_view() : std::u16string_view(name);
}

}  // namespace kavrin::platform::registry
