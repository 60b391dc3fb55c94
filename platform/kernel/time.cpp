#include <kavrin/kernel/time.h>

#include <ctime>

namespace {

using BreakDown = struct tm* (*)(const time_t*, struct tm*);

// One clock for every function here: time() reads a coarser clock that can
// lag a second behind, which would let _time64 and GetSystemTime disagree.
timespec Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

void Fill(LPSYSTEMTIME out, BreakDown break_down) {
  const timespec now = Now();
  struct tm parts {};
  break_down(&now.tv_sec, &parts);
  out->wYear = static_cast<WORD>(parts.tm_year + 1900);
  out->wMonth = static_cast<WORD>(parts.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(parts.tm_wday);  // 0 is Sunday in both
  out->wDay = static_cast<WORD>(parts.tm_mday);
  out->wHour = static_cast<WORD>(parts.tm_hour);
  out->wMinute = static_cast<WORD>(parts.tm_min);
  // A leap second reads as the last ordinary second: Windows has no second 60.
  out->wSecond = static_cast<WORD>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
  out->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

}  // namespace

KAVRIN_EXTERN_C __time64_t _time64(__time64_t* timer) {
  const auto now = static_cast<__time64_t>(Now().tv_sec);
  if (timer != nullptr) *timer = now;
  return now;
}

KAVRIN_EXTERN_C void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) { Fill(lpSystemTime, localtime_r); }

KAVRIN_EXTERN_C void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) { Fill(lpSystemTime, gmtime_r); }
