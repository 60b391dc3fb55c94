#include <kavrin/errors.h>

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}

KAVRIN_EXTERN_C DWORD WINAPI GetLastError(void) { return t_last_error; }

KAVRIN_EXTERN_C void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
