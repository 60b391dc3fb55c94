#include "pin_lock_rules.h"

#include <orvex/container_storage.h>

#include <limits>

namespace {

// now - then, saturated, so that stored times far off either way cannot
// overflow the comparison.
int64_t SecondsSince(int64_t then, int64_t now) {
  int64_t difference = 0;
  if (!__builtin_sub_overflow(now, then, &difference)) return difference;
  return now > then ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

PinGate OpenPinGate(SlotCounters* counters, int64_t now) {
  // More than three locks cannot be stored by the engine; treat them as three.
  if (counters->deadlock_times >= kDeadlockCount) return PinGate::kDeadLocked;
  if (counters->restrict_times == orvex::kResetRestrictTimes &&
      counters->lock_time == orvex::kNeverFailedLockTime) {
    counters->restrict_times = kFullAllowance;
  }
  const int64_t elapsed = SecondsSince(counters->lock_time, now);
  if (counters->restrict_times == kLockedRestrictTimes) {
    if (elapsed < kLockSeconds) return PinGate::kLocked;
    counters->restrict_times = kFullAllowance;
  }
  if (elapsed > kLockSeconds) counters->restrict_times = kFullAllowance;
  return PinGate::kOpen;
}

void CountRightPin(SlotCounters* counters) {
  counters->restrict_times = orvex::kResetRestrictTimes;
  counters->lock_time = orvex::kNeverFailedLockTime;
  counters->deadlock_times = orvex::kResetDeadlockTimes;
}

PinGate CountWrongPin(SlotCounters* counters, int64_t now) {
  counters->lock_time = now;
  // A count at or below zero never goes further down: it locks.
  if (counters->restrict_times > 0) {
    --counters->restrict_times;
    return PinGate::kOpen;
  }
  counters->restrict_times = kLockedRestrictTimes;
  ++counters->deadlock_times;
  return counters->deadlock_times >= kDeadlockCount ? PinGate::kDeadLocked : PinGate::kLocked;
}
