#include "registry/key_path.h"

#include <kavrin/errors.h>
#include <locale.h>
#include <wctype.h>

#include "internal/utf.h"

namespace kavrin::platform::registry {
namespace {

// The C.UTF-8 character tables, fixed for the life of the process whatever
// setlocale() does; null when the C library lacks them (ASCII folding then).
locale_t FoldingLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

char16_t UpperUnit(char16_t unit) {
  if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 0x20) : unit;
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;  // surrogates have no case
  const locale_t locale = FoldingLocale();
  if (locale == static_cast<locale_t>(nullptr)) return unit;
  const wint_t upper = towupper_l(unit, locale);
  // A unit whose upper case lies outside the basic plane stays as it is.
  return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

}  // namespace

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

std::string FoldedName(std::u16string_view name) {
  std::u16string upper(name);
  for (auto& unit : upper) unit = UpperUnit(unit);
  return ToUtf8(upper);
}

std::u16string_view NameOf(const WCHAR* name) {
  return name == nullptr ? std::u16string_view() : std::u16string_view(name);
}

}  // namespace kavrin::platform::registry
