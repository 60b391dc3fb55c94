#include "counter_mask.h"

#include <cassert>

namespace {

void XorLittleEndian(BYTE* out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) out[i] ^= static_cast<BYTE>(value >> (8 * i));
}

}  // namespace

// Layout of the 20 masked bytes: deadlock count (4), lock time (8),
// remaining allowance (4), flags (4).
void ApplyCounterMask(std::span<BYTE> data, const SlotCounters& counters, DWORD flags) {
  assert(data.size() >= kCounterMaskSize);
  BYTE* tail = data.data() + data.size() - kCounterMaskSize;
  XorLittleEndian(tail, counters.deadlock_times, 4);
  XorLittleEndian(tail + 4, static_cast<uint64_t>(counters.lock_time), 8);
  XorLittleEndian(tail + 12, static_cast<uint32_t>(counters.restrict_times), 4);
  XorLittleEndian(tail + 16, flags, 4);
}
