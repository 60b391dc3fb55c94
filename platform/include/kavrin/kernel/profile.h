// Profile (INI) files: sections of key=value lines, read and written by name.
// Section and key names compare case-insensitively. A file name without a
// directory is looked for in the Windows directory. New files are written in
// the machine's ANSI code page; a file that starts with a UTF-8 or UTF-16
// byte-order mark keeps its encoding.
#pragma once

#include <kavrin/types.h>

KAVRIN_BEGIN_DECLS

// Copies the value of key in section to lpReturnedString (quotes around it
// removed), or lpDefault without its trailing blanks when the key is missing.
// A NULL section lists the section names, a NULL key the key names of the
// section, each null-terminated, the list ended by a second null. Returns the
// number of characters copied without the final null; a truncated value
// returns nSize - 1, a truncated list nSize - 2.
KAVRIN_API DWORD WINAPI GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                                 LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName);

// The value of key in section read as an integer (decimal, or hexadecimal
// after "0x"), or nDefault when the key is missing.
KAVRIN_API UINT WINAPI GetPrivateProfileIntW(LPCWSTR lpAppName, LPCWSTR lpKeyName, INT nDefault,
                                             LPCWSTR lpFileName);

// Sets key in section to lpString, creating the section and the file as
// needed. A NULL lpString deletes the key, a NULL lpKeyName the whole section.
// The file is replaced atomically, and writers in several processes are
// serialised, so a write is never lost or half done.
KAVRIN_API BOOL WINAPI WritePrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString,
                                                  LPCWSTR lpFileName);

KAVRIN_END_DECLS
