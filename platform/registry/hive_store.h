// The tables of one hive and the statements on them. A hive is a tree of keys
// (the root has id 1) with typed values; names keep the case they were
// created with and are looked up by their folded form (key_path.h).
#pragma once

#include <kavrin/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "registry/sqlite_connection.h"

namespace kavrin::platform::registry {

enum class Hive { kLocalMachine = 0, kCurrentUser = 1 };

constexpr int64_t kRootKeyId = 1;

// Stored key flags.
constexpr int64_t kKeyReadOnly = 1;  // the key and its subtree refuse writes
constexpr int64_t kKeySystem = 2;    // the key cannot be deleted (hive roots, SOFTWARE\Classes)

struct KeyState {
  bool exists = false;
  bool read_only = false;  // marked itself or through an ancestor
  bool system = false;
};

struct StoredValue {
  std::u16string name;
  DWORD type = 0;
  std::vector<uint8_t> data;
};

struct KeyInfo {
  DWORD sub_keys = 0;
  DWORD max_sub_key_name = 0;  // characters, without terminator
  DWORD values = 0;
  DWORD max_value_name = 0;  // characters, without terminator
  DWORD max_value_data = 0;  // bytes
  int64_t written = 0;       // FILETIME ticks
};

// The current time as FILETIME ticks (100 ns since 1601-01-01 UTC).
int64_t FileTimeNow();

class HiveStore {
 public:
  explicit HiveStore(SqliteConnection& sql) : sql_(sql) {}

  // Creates the tables and the keys every hive of its kind has, once per file.
  void EnsureSchema(Hive hive);

  KeyState State(int64_t key);
  std::optional<int64_t> FindChild(int64_t parent, std::u16string_view name);
  int64_t AddChild(int64_t parent, std::u16string_view name);
  bool HasChildren(int64_t key);
  // Whether a key strictly beneath `key` is read-only or a system key.
  bool SubtreeProtected(int64_t key);
  // Removes the keys and values beneath key; the key itself too unless keep_root.
  void DeleteSubtree(int64_t key, bool keep_root);
  void SetFlag(int64_t key, int64_t flag, bool on);

  // Sub-keys in the registry's order: by name, case-insensitively.
  std::optional<std::u16string> ChildAt(int64_t parent, DWORD index, int64_t* written);
  KeyInfo Info(int64_t key);

  std::optional<StoredValue> Value(int64_t key, std::u16string_view name);
  // Values in the order they were first set.
  std::optional<StoredValue> ValueAt(int64_t key, DWORD index);
  // Sets a value; an existing value keeps the case of its name.
  void SetValue(int64_t key, std::u16string_view name, DWORD type, std::span<const uint8_t> data);
  bool DeleteValue(int64_t key, std::u16string_view name);
  void Touch(int64_t key);

 private:
  SqliteConnection& sql_;
};

}  // namespace kavrin::platform::registry
