#include "container_name.h"

#include <orvex/container_storage.h>

#include <algorithm>

namespace {

constexpr size_t kRootLength = std::char_traits<char16_t>::length(orvex::kContainerRootKey);

bool IsForbiddenUnit(char16_t c) {
  return c < 0x20 || c == 0x7F || c == u'\\' || c == u'/' || c == u'*' || c == u'?';
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool IsWellFormedUtf16(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i])) {
      if (i + 1 == text.size() || !IsLowSurrogate(text[i + 1])) return false;
      ++i;
    } else if (IsLowSurrogate(text[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

size_t MaxContainerNameLength() {
  // Root, backslash, name and terminator share the key path buffer.
  return orvex::kContainerKeyPathCapacity - kRootLength - 2;
}

bool IsValidContainerName(std::u16string_view name) {
  if (name.empty() || name.size() > MaxContainerNameLength()) return false;
  if (name == u"." || name == u"..") return false;
  if (std::any_of(name.begin(), name.end(), IsForbiddenUnit)) return false;
  return IsWellFormedUtf16(name);
}

std::u16string ContainerKeyPath(std::u16string_view name) {
  std::u16string path(orvex::kContainerRootKey);
  path += u'\\';
  path += name;
  return path;
}
