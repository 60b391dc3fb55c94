#include <kavrin/kernel/time.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

// Seconds since 1970 of the broken-down time, read as UTC.
__time64_t SecondsOf(const SYSTEMTIME& st) {
  struct tm parts {};
  parts.tm_year = st.wYear - 1900;
  parts.tm_mon = st.wMonth - 1;
  parts.tm_mday = st.wDay;
  parts.tm_hour = st.wHour;
  parts.tm_min = st.wMinute;
  parts.tm_sec = st.wSecond;
  const __time64_t seconds = timegm(&parts);
  EXPECT_EQ(st.wDayOfWeek, parts.tm_wday);
  EXPECT_LT(st.wMilliseconds, 1000);
  return seconds;
}

}  // namespace

TEST(Time, Time64CountsSecondsSince1970) {
  __time64_t stored = 0;
  timespec before{};
  clock_gettime(CLOCK_REALTIME, &before);
  const __time64_t now = _time64(&stored);
  EXPECT_EQ(stored, now);
  EXPECT_GE(now, before.tv_sec);
  EXPECT_LE(now - before.tv_sec, 1);
}

TEST(Time, SystemTimeIsUtcAndLocalTimeFollowsTheZone) {
  const char* saved = std::getenv("TZ");
  const std::string previous = saved != nullptr ? saved : "";
  setenv("TZ", "CST-8", 1);  // eight hours east of UTC, no daylight saving
  tzset();

  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  const __time64_t before = _time64(nullptr);
  GetSystemTime(&utc);
  GetLocalTime(&local);
  const __time64_t after = _time64(nullptr);
  EXPECT_GE(SecondsOf(utc), before);
  EXPECT_LE(SecondsOf(utc), after);
  EXPECT_GE(SecondsOf(local) - 8 * 3600, before);
  EXPECT_LE(SecondsOf(local) - 8 * 3600, after);

  if (saved != nullptr) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}
