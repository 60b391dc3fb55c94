#include "pin_clock.h"

#include <kavrin/kernel/time.h>

#include <atomic>

namespace {

int64_t SystemNow() { return _time64(nullptr); }

std::atomic<PinClock> g_clock{nullptr};

}  // namespace

int64_t PinPolicyNow() {
  const PinClock clock = g_clock.load();
  return clock != nullptr ? clock() : SystemNow();
}

PinClock SetPinPolicyClock(PinClock clock) { return g_clock.exchange(clock); }
