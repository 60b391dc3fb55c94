// UTF-16 <-> UTF-8 conversions used inside the layer (file names, SQLite text,
// the pinentry protocol). Ill-formed input is replaced by U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace kavrin::platform {

std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view text);

// UTF-16 text as little-endian bytes and back (an odd last byte is dropped).
std::string ToUtf16Le(std::u16string_view text);
std::u16string FromUtf16Le(std::string_view bytes);

// Length of a null-terminated UTF-16 string (0 for null).
size_t Utf16Length(const char16_t* text);

// Case folding used wherever Windows compares names case-insensitively
// (registry keys and values, profile sections and keys, module names):
// upper case by fixed tables, independent of the process's locale.
char16_t FoldUnit(char16_t unit);
std::u16string FoldCase(std::u16string_view text);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace kavrin::platform
