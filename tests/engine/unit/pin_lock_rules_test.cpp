// The lock rules on one key's counters, second by second at the boundaries.
#include "pin_lock_rules.h"

#include <orvex/container_storage.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr int64_t kT = 1'700'000'000;
constexpr SlotCounters kReset{orvex::kResetRestrictTimes, orvex::kNeverFailedLockTime, 0};

const char* Name(PinGate gate) {
  switch (gate) {
    case PinGate::kOpen: return "open";
    case PinGate::kLocked: return "locked";
    case PinGate::kDeadLocked: return "dead";
  }
  return "?";
}

TEST(PinLockRules, OpeningChecks) {
  struct Case {
    const char* what;
    SlotCounters before;
    int64_t now;
    PinGate gate;
    LONG restrict_after;
  };
  const Case cases[] = {
      {"reset marker gives the full allowance", kReset, kT, PinGate::kOpen, 4},
      {"counting keeps its count within a day", {2, kT, 0}, kT + 86400, PinGate::kOpen, 2},
      {"counting is reset a second later", {2, kT, 1}, kT + 86401, PinGate::kOpen, 4},
      {"lock holds at 86399 s", {-1, kT, 1}, kT + 86399, PinGate::kLocked, -1},
      {"lock ends at 86400 s", {-1, kT, 1}, kT + 86400, PinGate::kOpen, 4},
      {"lock time in the future keeps the lock", {-1, kT, 1}, kT - 5 * 86400, PinGate::kLocked, -1},
      {"count time in the future keeps the count", {1, kT, 0}, kT - 5 * 86400, PinGate::kOpen, 1},
      {"dead lock refuses at any time", {-1, kT, 3}, kT + 100 * 86400, PinGate::kDeadLocked, -1},
      {"dead lock refuses a reset key too", {6, orvex::kNeverFailedLockTime, 3}, kT, PinGate::kDeadLocked, 6},
      {"extreme lock times do not overflow", {-1, INT64_MIN, 1}, kT, PinGate::kOpen, 4},
      {"extreme lock times do not overflow (future)", {-1, INT64_MAX, 1}, kT, PinGate::kLocked, -1},
  };
  for (const Case& c : cases) {
    SlotCounters counters = c.before;
    EXPECT_EQ(Name(OpenPinGate(&counters, c.now)), std::string(Name(c.gate))) << c.what;
    EXPECT_EQ(counters.restrict_times, c.restrict_after) << c.what;
    EXPECT_EQ(counters.lock_time, c.before.lock_time) << c.what;
    EXPECT_EQ(counters.deadlock_times, c.before.deadlock_times) << c.what;
  }
}

TEST(PinLockRules, FifthWrongPinLocksAndTheThirdLockIsForGood) {
  SlotCounters counters = kReset;
  int64_t now = kT;
  for (DWORD lock = 1; lock <= 3; ++lock) {
    std::vector<LONG> chances;
    PinGate gate = PinGate::kOpen;
    while (gate == PinGate::kOpen) {
      ASSERT_EQ(OpenPinGate(&counters, now), PinGate::kOpen);
      chances.push_back(counters.restrict_times);
      gate = CountWrongPin(&counters, now);
      EXPECT_EQ(counters.lock_time, now);
    }
    EXPECT_EQ(chances, (std::vector<LONG>{4, 3, 2, 1, 0})) << "lock " << lock;
    EXPECT_EQ(counters.restrict_times, -1);
    EXPECT_EQ(counters.deadlock_times, lock);
    EXPECT_EQ(gate, lock == 3 ? PinGate::kDeadLocked : PinGate::kLocked);
    now += 86400;
  }
  EXPECT_EQ(OpenPinGate(&counters, now + 365 * 86400), PinGate::kDeadLocked);
}

TEST(PinLockRules, RightPinResetsEverything) {
  SlotCounters counters{-1, kT, 2};
  ASSERT_EQ(OpenPinGate(&counters, kT + 86400), PinGate::kOpen);
  CountRightPin(&counters);
  EXPECT_EQ(counters.restrict_times, orvex::kResetRestrictTimes);
  EXPECT_EQ(counters.lock_time, orvex::kNeverFailedLockTime);
  EXPECT_EQ(counters.deadlock_times, 0u);
}

TEST(PinLockRules, CountsBelowZeroLock) {
  SlotCounters counters{-7, kT, 0};  // only a damaged store holds this
  EXPECT_EQ(CountWrongPin(&counters, kT), PinGate::kLocked);
  EXPECT_EQ(counters.restrict_times, -1);
}

}  // namespace
