// The clock: seconds since 1970 and the broken-down date and time.
#pragma once

#include <kavrin/types.h>

KAVRIN_BEGIN_DECLS

// Signed 64-bit seconds since 1970-01-01 00:00 UTC; also stored in *timer
// when timer is not NULL.
KAVRIN_API __time64_t _time64(__time64_t* timer);

// The current date and time in the local time zone, and in UTC.
KAVRIN_API void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
KAVRIN_API void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);

KAVRIN_END_DECLS
