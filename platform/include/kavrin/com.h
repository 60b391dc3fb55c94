// ole32's role: task memory and GUIDs.
#pragma once

#include <kavrin/errors.h>
#include <kavrin/types.h>

typedef GUID* LPGUID;
typedef CLSID* LPCLSID;

// A string that is neither a braced GUID nor a known class name.
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3)

// Characters in the braced form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", and
// the buffer it needs with its terminator.
#define GUID_STRING_LENGTH 38
#define GUID_STRING_BUFFER 39

KAVRIN_BEGIN_DECLS

// Memory that callers of the COM functions free with CoTaskMemFree.
KAVRIN_API LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
KAVRIN_API void WINAPI CoTaskMemFree(LPVOID pv);

// A new random (version 4) GUID from the operating system's random source.
KAVRIN_API HRESULT WINAPI CoCreateGuid(GUID* pguid);

// The braced upper-case form, allocated with CoTaskMemAlloc.
KAVRIN_API HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
// The braced form into lpsz; returns the characters written with the
// terminator (39), or 0 when cchMax is too small.
KAVRIN_API int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Parses the braced form (hex digits in either case); NULL gives the null CLSID.
KAVRIN_API HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);

KAVRIN_API BOOL WINAPI IsEqualGUID(REFGUID rguid1, REFGUID rguid2);

KAVRIN_END_DECLS
