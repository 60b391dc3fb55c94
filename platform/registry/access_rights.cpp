#include "registry/access_rights.h"

namespace kavrin::platform::registry {

std::optional<REGSAM> GrantedAccess(REGSAM desired, bool read_only) {
  REGSAM granted = desired & ~static_cast<REGSAM>(KEY_WOW64_64KEY | KEY_WOW64_32KEY | GENERIC_READ | GENERIC_WRITE |
                                                  GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) granted |= KEY_READ;
  if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) granted |= KEY_EXECUTE;
  if (desired & GENERIC_ALL) granted |= KEY_ALL_ACCESS;
  if (read_only && (granted & kWriteRights) != 0) return std::nullopt;
  if (desired & MAXIMUM_ALLOWED) granted |= read_only ? KEY_READ : KEY_ALL_ACCESS;
  return granted;
}

}  // namespace kavrin::platform::registry
