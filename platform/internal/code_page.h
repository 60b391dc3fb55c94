// Byte-string <-> UTF-16 conversion through a Windows code page, shared by the
// text functions and every "A" function of the layer.
#pragma once

#include <kavrin/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace kavrin::platform {

// The machine's ANSI code page: HKLM "SYSTEM\CurrentControlSet\Control\Nls\CodePage"
// value "ACP", 936 when it is not set.
UINT AnsiCodePage();

// Whether code page cp (a real number, not CP_ACP) can be converted here.
bool IsCodePageSupported(UINT cp);

// Converts through code page cp (65001 is UTF-8). strict: ill-formed input
// fails (nullopt); otherwise each undecodable byte or unmappable character
// becomes the replacement ('?' in byte strings, U+FFFD in UTF-16 and UTF-8).
// An unsupported code page fails too.
std::optional<std::u16string> BytesToUtf16(UINT cp, std::string_view bytes, bool strict);
std::optional<std::string> Utf16ToBytes(UINT cp, std::u16string_view text, bool strict);

// Lenient conversion to code page cp that writes `replacement` for every
// character the code page lacks (or that is ill-formed) and reports whether it
// had to. nullopt only for an unsupported code page.
struct EncodedText {
  std::string bytes;
  bool replaced = false;
};
std::optional<EncodedText> Utf16ToBytesReplacing(UINT cp, std::u16string_view text,
                                                 std::string_view replacement);

// The same through the ANSI code page, lenient.
std::u16string AnsiToUtf16(std::string_view bytes);
std::string Utf16ToAnsi(std::u16string_view text);

}  // namespace kavrin::platform
