#include <kavrin/kernel/sync.h>

#include <cerrno>
#include <cstdlib>

namespace {

// A lock failure here is memory corruption or a double delete; carrying on
// would leave the data the section guards unprotected.
void Check(int rc) {
  if (rc != 0) std::abort();
}

}  // namespace

KAVRIN_EXTERN_C void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutexattr_t attr;
  Check(pthread_mutexattr_init(&attr));
  Check(pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE));
  Check(pthread_mutex_init(&lpCriticalSection->Mutex, &attr));
  pthread_mutexattr_destroy(&attr);
}

KAVRIN_EXTERN_C void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  Check(pthread_mutex_lock(&lpCriticalSection->Mutex));
}

KAVRIN_EXTERN_C BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  const int rc = pthread_mutex_trylock(&lpCriticalSection->Mutex);
  if (rc == EBUSY) return FALSE;
  Check(rc);
  return TRUE;
}

KAVRIN_EXTERN_C void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  // Leaving a section the thread does not own is a caller fault that Windows
  // leaves undefined; the recursive mutex refuses it and the section stays as it was.
  pthread_mutex_unlock(&lpCriticalSection->Mutex);
}

KAVRIN_EXTERN_C void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_destroy(&lpCriticalSection->Mutex);
}

KAVRIN_EXTERN_C LONG WINAPI InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

KAVRIN_EXTERN_C LONG WINAPI InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

KAVRIN_EXTERN_C LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

KAVRIN_EXTERN_C LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;  // on failure the builtin stored the current value here
}

KAVRIN_EXTERN_C LONG WINAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
