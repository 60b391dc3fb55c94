#include <kavrin/errors.h>
#include <kavrin/kernel/text.h>

#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "internal/code_page.h"
#include "internal/utf.h"

namespace {

using kavrin::platform::AnsiCodePage;
using kavrin::platform::BytesToUtf16;
using kavrin::platform::IsCodePageSupported;
using kavrin::platform::Utf16ToBytes;
using kavrin::platform::Utf16ToBytesReplacing;

constexpr UINT kGb18030 = 54936;

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// CP_ACP and its relatives all mean the machine's ANSI code page here.
UINT Resolve(UINT code_page) { return code_page <= CP_THREAD_ACP ? AnsiCodePage() : code_page; }

// Stateful and Unicode code pages take no flags, or only the strictness flag;
// checked on the code page the caller named.
bool TakesNoFlags(UINT cp) {
  return cp == CP_UTF7 || cp == 42 || (cp >= 50220 && cp <= 50229) || (cp >= 57002 && cp <= 57011);
}
bool TakesOnlyStrictness(UINT cp) { return cp == CP_UTF8 || cp == kGb18030; }

DWORD AllowedMultiByteFlags(UINT cp) {
  if (TakesNoFlags(cp)) return 0;
  if (TakesOnlyStrictness(cp)) return MB_ERR_INVALID_CHARS;
  return MB_PRECOMPOSED | MB_ERR_INVALID_CHARS;
}

DWORD AllowedWideCharFlags(UINT cp) {
  if (TakesNoFlags(cp)) return 0;
  if (TakesOnlyStrictness(cp)) return WC_ERR_INVALID_CHARS;
  // Characters without an exact mapping always become the default character:
  // no best-fit look-alikes, so WC_NO_BEST_FIT_CHARS changes nothing.
  return WC_NO_BEST_FIT_CHARS;
}

// Copies the converted text out, or reports the size when out_len is 0.
template <typename Char>
int Deliver(std::basic_string_view<Char> text, Char* out, int out_len) {
  if (text.size() > static_cast<size_t>(INT_MAX)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  const int size = static_cast<int>(text.size());
  if (out_len == 0) return size;
  if (size > out_len) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(out, text.data(), text.size() * sizeof(Char));
  return size;
}

// The default character is one character of the code page: one byte, or a
// lead and trail byte in a double-byte code page.
std::string_view FirstCharacter(UINT cp, const char* text) {
  const std::string_view one(text, 1);
  if (text[0] == '\0' || BytesToUtf16(cp, one, true)) return one;
  const std::string_view two(text, 2);
  if (text[1] != '\0' && BytesToUtf16(cp, two, true)) return two;
  return one;
}

}  // namespace

KAVRIN_EXTERN_C int WINAPI lstrlenW(LPCWSTR lpString) {
  return static_cast<int>(kavrin::platform::Utf16Length(lpString));
}

KAVRIN_EXTERN_C int WINAPI lstrlenA(LPCSTR lpString) {
  return lpString == nullptr ? 0 : static_cast<int>(std::strlen(lpString));
}

KAVRIN_EXTERN_C DWORD WINAPI CharUpperBuffW(LPWSTR lpsz, DWORD cchLength) {
  if (lpsz == nullptr) return 0;
  for (DWORD i = 0; i < cchLength; ++i) lpsz[i] = kavrin::platform::FoldUnit(lpsz[i]);
  return cchLength;
}

KAVRIN_EXTERN_C int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                               int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (lpWideCharStr == nullptr && cchWideChar != 0) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((dwFlags & ~AllowedMultiByteFlags(CodePage)) != 0 ||
      (dwFlags & (MB_PRECOMPOSED | MB_COMPOSITE)) == (MB_PRECOMPOSED | MB_COMPOSITE)) {
    return Fail(ERROR_INVALID_FLAGS);
  }
  const UINT cp = Resolve(CodePage);
  const size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  const auto text = BytesToUtf16(cp, std::string_view(lpMultiByteStr, length), (dwFlags & MB_ERR_INVALID_CHARS) != 0);
  if (!text) return Fail(IsCodePageSupported(cp) ? ERROR_NO_UNICODE_TRANSLATION : ERROR_INVALID_PARAMETER);
  return Deliver<char16_t>(*text, lpWideCharStr, cchWideChar);
}

KAVRIN_EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                               int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                               LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (lpMultiByteStr == nullptr && cbMultiByte != 0) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // UTF-7 and UTF-8 encode every character, so a default character has no meaning.
  if ((CodePage == CP_UTF7 || CodePage == CP_UTF8) && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((dwFlags & ~AllowedWideCharFlags(CodePage)) != 0) return Fail(ERROR_INVALID_FLAGS);

  const UINT cp = Resolve(CodePage);
  const size_t length = cchWideChar == -1 ? kavrin::platform::Utf16Length(lpWideCharStr) + 1
                                          : static_cast<size_t>(cchWideChar);
  const std::u16string_view text(lpWideCharStr, length);
  std::string bytes;
  if (cp == CP_UTF8 || cp == kGb18030 || cp == CP_UTF7) {
    // Only ill-formed UTF-16 (a lone surrogate) can fail here.
    auto encoded = Utf16ToBytes(cp, text, (dwFlags & WC_ERR_INVALID_CHARS) != 0);
    if (!encoded) return Fail(IsCodePageSupported(cp) ? ERROR_NO_UNICODE_TRANSLATION : ERROR_INVALID_PARAMETER);
    bytes = std::move(*encoded);
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
  } else {
    const std::string_view replacement = lpDefaultChar != nullptr ? FirstCharacter(cp, lpDefaultChar) : "?";
    auto encoded = Utf16ToBytesReplacing(cp, text, replacement);
    if (!encoded) return Fail(ERROR_INVALID_PARAMETER);
    bytes = std::move(encoded->bytes);
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = encoded->replaced ? TRUE : FALSE;
  }
  return Deliver<char>(bytes, lpMultiByteStr, cbMultiByte);
}
