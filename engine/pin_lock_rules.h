// The rules of the PIN lock, on one key's three counters (counter_mask.h):
//   R (restrict_times)  0 … 4: wrong PINs still allowed before the lock,
//                       minus one; -1: locked since T; 6 with T = 840110:
//                       never failed since the last right PIN
//   T (lock_time)       seconds since 1970 of the last wrong PIN or the lock
//   D (deadlock_times)  locks since the last right PIN; 3 locks for good
// The fifth consecutive wrong PIN locks the key for 24 hours; the third lock
// without a right PIN in between locks it for good.
#pragma once

#include "counter_mask.h"

#include <kavrin/types.h>

#include <cstdint>

inline constexpr LONG kFullAllowance = 4;
inline constexpr LONG kLockedRestrictTimes = -1;
inline constexpr int64_t kLockSeconds = 86400;
inline constexpr DWORD kDeadlockCount = 3;

enum class PinGate {
  kOpen,        // the PIN may be checked
  kLocked,      // locked for less than 24 hours
  kDeadLocked,  // locked for good
};

// The opening checks before a PIN is tried: a dead lock refuses; the reset
// marker and an expired lock or count give the full allowance back; a lock of
// less than 24 hours refuses. A lock time in the future keeps a lock.
PinGate OpenPinGate(SlotCounters* counters, int64_t now);

// A right PIN: the reset state.
void CountRightPin(SlotCounters* counters);

// A wrong PIN at `now` (after OpenPinGate let it through): T = now and R
// counts down, or the key locks (D + 1). Returns kOpen while chances are left,
// else kLocked or kDeadLocked.
PinGate CountWrongPin(SlotCounters* counters, int64_t now);
