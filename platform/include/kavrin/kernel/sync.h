// Critical sections and interlocked operations.
#pragma once

#include <kavrin/types.h>

#include <pthread.h>

// A lock that the owning thread may enter again; each enter needs a leave.
// Initialise with InitializeCriticalSection before use, delete when done.
typedef struct _RTL_CRITICAL_SECTION {
  pthread_mutex_t Mutex;
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;

KAVRIN_BEGIN_DECLS

KAVRIN_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KAVRIN_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
// Enters without waiting; FALSE when another thread owns the section.
KAVRIN_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KAVRIN_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KAVRIN_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Atomic with full ordering. Increment, Decrement: the new value; Exchange,
// CompareExchange, ExchangeAdd: the value before the operation.
KAVRIN_API LONG WINAPI InterlockedIncrement(LONG volatile* Addend);
KAVRIN_API LONG WINAPI InterlockedDecrement(LONG volatile* Addend);
KAVRIN_API LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value);
KAVRIN_API LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
KAVRIN_API LONG WINAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);

KAVRIN_END_DECLS
