// The process's table of open key handles. A handle names a key by its hive,
// its id in that hive's file and the rights it was opened with; handles are
// never reused, so a handle to a deleted key keeps reporting the deletion.
#pragma once

#include <kavrin/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>

#include "registry/hive_store.h"

namespace kavrin::platform::registry {

// Stands for HKLM\SOFTWARE\Classes in a handle of HKEY_CLASSES_ROOT, whose id
// is looked up in the hive.
constexpr int64_t kClassesRootKey = -1;

struct KeyHandle {
  Hive hive = Hive::kLocalMachine;
  int64_t key = kRootKeyId;
  REGSAM access = 0;
  std::filesystem::path file;  // the hive file; empty for a predefined key (always the current one)
};

// HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE, with every right.
std::optional<KeyHandle> PredefinedKey(HKEY key);
bool IsPredefinedKey(HKEY key);

HKEY AddKeyHandle(KeyHandle handle);
std::optional<KeyHandle> FindKeyHandle(HKEY key);
bool RemoveKeyHandle(HKEY key);

}  // namespace kavrin::platform::registry
