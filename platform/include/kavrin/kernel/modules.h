// Loading modules (shared objects) and finding their exports.
//
// A module handle is the address at which the module's image starts, so a
// module found by name, by address or by loading has the same handle.
// Names: a name with '/' or '\' is a path ('\' is a separator); a bare file
// name first matches a module already in the process by file name, ignoring
// case and treating ".dll" and ".so" as the same extension; a bare name that
// matches nothing is handed to the dynamic linker's search with ".dll"
// replaced by ".so". A path whose ".dll" file does not exist stands for the
// ".so" file beside it.
#pragma once

#include <kavrin/types.h>

// Callers cast an export to its real type. A pointer to a function taking and
// returning nothing is the compiler's generic function pointer, so that cast
// passes -Wcast-function-type without a detour through void*.
typedef void(WINAPI* FARPROC)(void);

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

KAVRIN_BEGIN_DECLS

// Loads the module, or adds a reference to it when it is loaded already. Each
// load needs a FreeLibrary; the module is unloaded when the last reference
// goes. NULL with ERROR_MOD_NOT_FOUND when it cannot be loaded.
KAVRIN_API HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
KAVRIN_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);

// Drops one reference taken by LoadLibrary or GetModuleHandleEx. Modules the
// dynamic linker loaded with the program stay loaded.
KAVRIN_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);

// The export of that name defined in the module (NULL: the executable); NULL
// with ERROR_PROC_NOT_FOUND when it has none. Ordinals do not exist here.
KAVRIN_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// A module already in the process, without adding a reference; NULL names the
// executable.
KAVRIN_API HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);

// Like GetModuleHandleW, and adds a reference unless
// GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT is given. With
// GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, lpModuleName is an address inside the
// module; with GET_MODULE_HANDLE_EX_FLAG_PIN the module is never unloaded.
KAVRIN_API BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);

// The module's absolute native path (NULL: the executable). Returns the
// characters copied without the terminator; when nSize is too small, the path
// is cut to nSize - 1 characters and terminated, nSize is returned and the
// last error is ERROR_INSUFFICIENT_BUFFER.
KAVRIN_API DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

KAVRIN_END_DECLS
