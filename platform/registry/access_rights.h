// Rights of key handles: what a handle may do, and what a key grants when it
// is opened with a requested set of rights.
#pragma once

#include <kavrin/registry.h>

#include <optional>

namespace kavrin::platform::registry {

// Rights that change a key or its sub-keys; a read-only key grants none.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// The rights a new handle receives when samDesired is asked of a key: generic
// rights mapped to key rights, MAXIMUM_ALLOWED to all the key grants.
// nullopt when a write right is asked of a read-only key.
std::optional<REGSAM> GrantedAccess(REGSAM desired, bool read_only);

}  // namespace kavrin::platform::registry
