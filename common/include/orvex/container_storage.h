// Where and how the engine stores key containers. The control reads the lock
// counters from the same places, so these names are part of both.
#pragma once

#include <kavrin/types.h>

#include <array>

namespace orvex {

// Registry containers: one sub-key per container under this key of HKEY_CURRENT_USER.
inline constexpr char16_t kContainerRootKey[] =
    u"software\\Kavrin Certificate Protection\\Orvex\\Container";
// Longest key path (root, backslash, name) including its terminator, in UTF-16 units.
inline constexpr size_t kContainerKeyPathCapacity = 256;

// File containers: one file per container in this directory below the system directory.
inline constexpr char16_t kContainerDirectory[] = u"\\Orvex\\container";

// The container used when an acquisition names none.
inline constexpr char16_t kDefaultContainerName[] = u"Orvex";

// Container flag: the container is stored as a file.
inline constexpr DWORD kContainerIsFile = 0x20;

// Stored counters of a key that never failed a PIN check.
inline constexpr LONG kResetRestrictTimes = 6;
inline constexpr int64_t kNeverFailedLockTime = 840110;
inline constexpr DWORD kResetDeadlockTimes = 0;

// The six stored items of a key slot, in stored order, and their widths (0: variable).
enum class SlotItem { kAlgid, kFlags, kRestrictTimes, kLockTime, kDeadlockTimes, kData };
inline constexpr std::array<size_t, 6> kSlotItemWidths = {4, 4, 4, 8, 4, 0};

// The twelve registry values of a container, in the order they are written:
// the signature slot's six items, then the exchange slot's.
inline constexpr std::array<const char16_t*, 6> kSignatureSlotValues = {
    u"s_algid", u"s_dwFlags", u"s_dwRestrictTimes", u"s_i64LockTime", u"s_dwDeadlockTimes",
    u"s_data"};
inline constexpr std::array<const char16_t*, 6> kExchangeSlotValues = {
    u"ex_algid", u"ex_dwFlags", u"ex_dwRestrictTimes", u"ex_i64LockTime", u"ex_dwDeadlockTimes",
    u"ex_data"};

// A file container with two empty slots: twelve length-prefixed items.
inline constexpr size_t kEmptyFileContainerSize = 96;

}  // namespace orvex
