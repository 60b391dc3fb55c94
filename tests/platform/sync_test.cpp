#include <kavrin/kernel/sync.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

BOOL TryFromAnotherThread(CRITICAL_SECTION* section) {
  BOOL entered = FALSE;
  std::thread([&] {
    entered = TryEnterCriticalSection(section);
    if (entered) LeaveCriticalSection(section);
  }).join();
  return entered;
}

}  // namespace

TEST(CriticalSection, OwnerReentersAndOthersWaitForTheLastLeave) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  EXPECT_FALSE(TryFromAnotherThread(&section));
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  EXPECT_FALSE(TryFromAnotherThread(&section)) << "one enter still to leave";
  LeaveCriticalSection(&section);
  EXPECT_TRUE(TryFromAnotherThread(&section));
  DeleteCriticalSection(&section);
}

TEST(CriticalSection, ExcludesOtherThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  long counter = 0;  // a plain read-modify-write that only the lock keeps whole
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&section);
        const long seen = counter;
        counter = seen + 1;
        LeaveCriticalSection(&section);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 80000);
  DeleteCriticalSection(&section);
}

TEST(Interlocked, ReturnValuesAndAtomicity) {
  LONG volatile value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 10), 5);
  EXPECT_EQ(value, 15);
  EXPECT_EQ(InterlockedExchange(&value, -1), 15);
  EXPECT_EQ(InterlockedCompareExchange(&value, 7, 99), -1) << "no match: unchanged";
  EXPECT_EQ(value, -1);
  EXPECT_EQ(InterlockedCompareExchange(&value, 7, -1), -1);
  EXPECT_EQ(value, 7);

  LONG volatile count = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        InterlockedIncrement(&count);
        InterlockedDecrement(&count);
        InterlockedIncrement(&count);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(count, 80000);
}
