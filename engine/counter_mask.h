// The lock counters and flags of a key slot are mixed into the last 20 bytes
// of its stored data, so that a counter changed in storage without the data
// unmasks to a different key, whose PIN check then fails. XOR both ways: the
// same call masks before writing and unmasks after reading.
#pragma once

#include <kavrin/types.h>

#include <cstddef>
#include <span>

struct SlotCounters {
  LONG restrict_times = 0;
  int64_t lock_time = 0;
  DWORD deadlock_times = 0;
};

// Bytes of stored data the masking covers; shorter data cannot be stored.
inline constexpr size_t kCounterMaskSize = 20;

// data.size() must be at least kCounterMaskSize.
void ApplyCounterMask(std::span<BYTE> data, const SlotCounters& counters, DWORD flags);
