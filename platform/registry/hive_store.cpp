#include "registry/hive_store.h"

#include <chrono>

#include "internal/utf.h"
#include "registry/key_path.h"

namespace kavrin::platform::registry {
namespace {

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER,
  name TEXT NOT NULL,
  folded TEXT NOT NULL,
  flags INTEGER NOT NULL DEFAULT 0,
  written INTEGER NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX IF NOT EXISTS keys_by_name ON keys(parent, folded);
CREATE TABLE IF NOT EXISTS key_values(
  key INTEGER NOT NULL,
  name TEXT NOT NULL,
  folded TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, folded));
INSERT OR IGNORE INTO keys(id, parent, name, folded, flags) VALUES(1, NULL, '', '', 2);
)sql";

// The key and its ancestors, nearest first.
constexpr const char* kStateSql = R"sql(
WITH RECURSIVE up(id, parent, flags) AS (
  SELECT id, parent, flags FROM keys WHERE id = ?1
  UNION ALL SELECT k.id, k.parent, k.flags FROM keys k JOIN up ON k.id = up.parent)
SELECT count(*), max(flags & 1), (SELECT flags & 2 FROM keys WHERE id = ?1) FROM up)sql";

// Ids of the keys strictly beneath ?1.
#define KAVRIN_SUBTREE \
  "WITH RECURSIVE sub(id, flags) AS (SELECT id, flags FROM keys WHERE parent = ?1 " \
  "UNION ALL SELECT k.id, k.flags FROM keys k JOIN sub ON k.parent = sub.id) "

StoredValue ReadValue(const Query& query) {
  StoredValue value;
  value.name = ToUtf16(query.Text(0));
  value.type = static_cast<DWORD>(query.Int(1));
  const auto data = query.Blob(2);
  value.data.assign(data.begin(), data.end());
  return value;
}

}  // namespace

int64_t FileTimeNow() {
  constexpr int64_t kUnixEpochTicks = 116444736000000000;
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochTicks + std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100;
}

void HiveStore::EnsureSchema(Hive hive) {
  const auto version = [this] {
    auto query = sql_.Prepare("PRAGMA user_version");
    return query.Step() ? query.Int(0) : 0;
  };
  if (version() == kSchemaVersion) return;
  sql_.Exec("BEGIN IMMEDIATE");
  try {
    if (version() != kSchemaVersion) {
      sql_.Exec(kSchema);
      if (hive == Hive::kLocalMachine) {
        // HKEY_CLASSES_ROOT lives here and must always be there.
        const auto software = FindChild(kRootKeyId, u"SOFTWARE");
        const int64_t software_id = software ? *software : AddChild(kRootKeyId, u"SOFTWARE");
        const auto classes = FindChild(software_id, u"Classes");
        SetFlag(classes ? *classes : AddChild(software_id, u"Classes"), kKeySystem, true);
      }
      sql_.Exec("PRAGMA user_version=1");
    }
    sql_.Exec("COMMIT");
  } catch (...) {
    sql_.ExecQuietly("ROLLBACK");
    throw;
  }
}

KeyState HiveStore::State(int64_t key) {
  auto query = sql_.Prepare(kStateSql);
  query.Bind(1, key);
  KeyState state;
  if (query.Step() && query.Int(0) > 0) {
    state.exists = true;
    state.read_only = query.Int(1) != 0;
    state.system = query.Int(2) != 0;
  }
  return state;
}

std::optional<int64_t> HiveStore::FindChild(int64_t parent, std::u16string_view name) {
  auto query = sql_.Prepare("SELECT id FROM keys WHERE parent = ?1 AND folded = ?2");
  query.Bind(1, parent).Bind(2, FoldedName(name));
  if (!query.Step()) return std::nullopt;
  return query.Int(0);
}

int64_t HiveStore::AddChild(int64_t parent, std::u16string_view name) {
  auto query = sql_.Prepare("INSERT INTO keys(parent, name, folded, written) VALUES(?1, ?2, ?3, ?4)");
  query.Bind(1, parent).Bind(2, ToUtf8(name)).Bind(3, FoldedName(name)).Bind(4, FileTimeNow());
  query.Run();
  return sql_.LastInsertId();
}

bool HiveStore::HasChildren(int64_t key) {
  auto query = sql_.Prepare("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
  query.Bind(1, key);
  return query.Step();
}

bool HiveStore::SubtreeProtected(int64_t key) {
  auto query = sql_.Prepare(KAVRIN_SUBTREE "SELECT 1 FROM sub WHERE flags & 3 LIMIT 1");
  query.Bind(1, key);
  return query.Step();
}

void HiveStore::DeleteSubtree(int64_t key, bool keep_root) {
  sql_.Prepare(KAVRIN_SUBTREE "DELETE FROM key_values WHERE key IN (SELECT id FROM sub)").Bind(1, key).Run();
  sql_.Prepare(KAVRIN_SUBTREE "DELETE FROM keys WHERE id IN (SELECT id FROM sub)").Bind(1, key).Run();
  sql_.Prepare("DELETE FROM key_values WHERE key = ?1").Bind(1, key).Run();
  if (keep_root) {
    Touch(key);
  } else {
    sql_.Prepare("DELETE FROM keys WHERE id = ?1").Bind(1, key).Run();
  }
}

void HiveStore::SetFlag(int64_t key, int64_t flag, bool on) {
  const char* sql = on ? "UPDATE keys SET flags = flags | ?2 WHERE id = ?1"
                       : "UPDATE keys SET flags = flags & ~?2 WHERE id = ?1";
  sql_.Prepare(sql).Bind(1, key).Bind(2, flag).Run();
}

std::optional<std::u16string> HiveStore::ChildAt(int64_t parent, DWORD index, int64_t* written) {
  auto query = sql_.Prepare("SELECT name, written FROM keys WHERE parent = ?1 ORDER BY folded LIMIT 1 OFFSET ?2");
  query.Bind(1, parent).Bind(2, static_cast<int64_t>(index));
  if (!query.Step()) return std::nullopt;
  if (written != nullptr) *written = query.Int(1);
  return ToUtf16(query.Text(0));
}

KeyInfo HiveStore::Info(int64_t key) {
  KeyInfo info;
  {
    auto query = sql_.Prepare("SELECT name FROM keys WHERE parent = ?1");
    query.Bind(1, key);
    while (query.Step()) {
      ++info.sub_keys;
      info.max_sub_key_name = std::max<DWORD>(info.max_sub_key_name, ToUtf16(query.Text(0)).size());
    }
  }
  {
    auto query = sql_.Prepare("SELECT name, length(data) FROM key_values WHERE key = ?1");
    query.Bind(1, key);
    while (query.Step()) {
      ++info.values;
      info.max_value_name = std::max<DWORD>(info.max_value_name, ToUtf16(query.Text(0)).size());
      info.max_value_data = std::max<DWORD>(info.max_value_data, static_cast<DWORD>(query.Int(1)));
    }
  }
  auto query = sql_.Prepare("SELECT written FROM keys WHERE id = ?1");
  query.Bind(1, key);
  if (query.Step()) info.written = query.Int(0);
  return info;
}

std::optional<StoredValue> HiveStore::Value(int64_t key, std::u16string_view name) {
  auto query = sql_.Prepare("SELECT name, type, data FROM key_values WHERE key = ?1 AND folded = ?2");
  query.Bind(1, key).Bind(2, FoldedName(name));
  if (!query.Step()) return std::nullopt;
  return ReadValue(query);
}

std::optional<StoredValue> HiveStore::ValueAt(int64_t key, DWORD index) {
  auto query =
      sql_.Prepare("SELECT name, type, data FROM key_values WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
  query.Bind(1, key).Bind(2, static_cast<int64_t>(index));
  if (!query.Step()) return std::nullopt;
  return ReadValue(query);
}

void HiveStore::SetValue(int64_t key, std::u16string_view name, DWORD type, std::span<const uint8_t> data) {
  auto query = sql_.Prepare(
      "INSERT INTO key_values(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
      "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
  query.Bind(1, key).Bind(2, ToUtf8(name)).Bind(3, FoldedName(name)).Bind(4, static_cast<int64_t>(type));
  query.BindBlob(5, data).Run();
  Touch(key);
}

bool HiveStore::DeleteValue(int64_t key, std::u16string_view name) {
  sql_.Prepare("DELETE FROM key_values WHERE key = ?1 AND folded = ?2").Bind(1, key).Bind(2, FoldedName(name)).Run();
  if (sql_.Changes() == 0) return false;
  Touch(key);
  return true;
}

void HiveStore::Touch(int64_t key) {
  sql_.Prepare("UPDATE keys SET written = ?2 WHERE id = ?1").Bind(1, key).Bind(2, FileTimeNow()).Run();
}

}  // namespace kavrin::platform::registry
