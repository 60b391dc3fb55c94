// The clock of the PIN lock policy: every decision about lock times reads the
// time through PinPolicyNow. Unit tests replace the clock to put exact second
// boundaries under test; nothing outside the engine's own code can reach the
// replacement (it is not exported), and no setting or variable moves it.
#pragma once

#include <cstdint>

// Seconds since 1970-01-01 00:00 UTC.
using PinClock = int64_t (*)();

int64_t PinPolicyNow();

// Installs a clock (null: the system clock again); returns the previous one.
PinClock SetPinPolicyClock(PinClock clock);
