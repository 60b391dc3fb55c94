// String lengths and conversion between byte strings in a code page and UTF-16.
#pragma once

#include <kavrin/types.h>

// Code pages with a meaning of their own; any other number names a code page.
#define CP_ACP 0         // the machine's ANSI code page
#define CP_OEMCP 1       // the machine's OEM code page (the ANSI one here)
#define CP_MACCP 2       // treated as the ANSI code page
#define CP_THREAD_ACP 3  // the ANSI code page: there is no per-thread locale
#define CP_UTF7 65000
#define CP_UTF8 65001

// MultiByteToWideChar flags.
#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

// WideCharToMultiByte flags.
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_COMPOSITECHECK 0x00000200
#define WC_NO_BEST_FIT_CHARS 0x00000400

KAVRIN_BEGIN_DECLS

// Length in characters (bytes for the A form) without the terminator; 0 for NULL.
KAVRIN_API int WINAPI lstrlenW(LPCWSTR lpString);
KAVRIN_API int WINAPI lstrlenA(LPCSTR lpString);

// Converts the first cchLength characters to upper case in place, by the
// fixed tables with which the layer compares names case-insensitively, so
// that two names the registry takes as one convert to the same text. Returns
// the number of characters processed (0 for NULL).
KAVRIN_API DWORD WINAPI CharUpperBuffW(LPWSTR lpsz, DWORD cchLength);

// Converts cbMultiByte bytes (-1: up to and including the terminator) to UTF-16.
// Returns the number of characters written, or needed when cchWideChar is 0;
// 0 on failure with the last error set.
KAVRIN_API int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                          int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);

// Converts cchWideChar characters (-1: up to and including the terminator) to
// the code page. Returns the number of bytes written, or needed when
// cbMultiByte is 0; 0 on failure with the last error set. A character the code
// page lacks becomes *lpDefaultChar ('?' when NULL) and sets *lpUsedDefaultChar.
KAVRIN_API int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                          int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                          LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

KAVRIN_END_DECLS
