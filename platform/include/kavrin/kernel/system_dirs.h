// The Windows directory and the system directory of the emulated machine:
// $KAVRIN_ROOT/Windows and $KAVRIN_ROOT/Windows/System32, as native absolute
// paths. The A forms return them in the ANSI code page.
//
// Each returns the number of characters (bytes for A) copied, without the
// terminator; when uSize is too small nothing is copied and the size needed,
// terminator included, is returned.
#pragma once

#include <kavrin/types.h>

KAVRIN_BEGIN_DECLS

KAVRIN_API UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);
KAVRIN_API UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
KAVRIN_API UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);
KAVRIN_API UINT WINAPI GetSystemWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
KAVRIN_API UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
KAVRIN_API UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);

KAVRIN_END_DECLS
