// The calling thread's connection to one hive. Every thread has its own
// connection per hive, so that a transaction holds exactly the writes of the
// thread that began it. The connection follows the machine root: when
// KAVRIN_ROOT names another directory, the next call opens the hive there.
#pragma once

#include <filesystem>
#include <optional>
#include <sys/types.h>

#include "registry/hive_store.h"
#include "registry/sqlite_connection.h"

namespace kavrin::platform::registry {

class HiveDatabase {
 public:
  HiveDatabase(Hive hive, const std::filesystem::path& file);
  HiveDatabase(const HiveDatabase&) = delete;
  HiveDatabase& operator=(const HiveDatabase&) = delete;

  Hive hive() const { return hive_; }
  const std::filesystem::path& file() const { return file_; }
  pid_t owner() const { return owner_; }
  SqliteConnection& sql() { return sql_; }
  HiveStore& store() { return store_; }

  // HKLM\SOFTWARE\Classes, which HKEY_CLASSES_ROOT stands for.
  int64_t ClassesRoot();

  // The thread's explicit transactions (KavrinRegBeginTransaction); nested
  // ones are savepoints.
  LONG BeginTransaction();
  LONG CommitTransaction();
  LONG RollbackTransaction();
  int transaction_depth() const { return depth_; }

  // Changes whenever the hive may have changed as this connection sees it:
  // a commit by another connection, a write or a rollback by this one.
  struct ChangeStamp {
    uint64_t connection = 0;
    int64_t others = 0;
    int64_t own = 0;
    uint64_t rollbacks = 0;
    bool operator==(const ChangeStamp&) const = default;
  };
  ChangeStamp Stamp();
  void NoteRollback() { ++rollbacks_; }

  void Abandon() noexcept { sql_.Abandon(); }

 private:
  Hive hive_;
  std::filesystem::path file_;
  pid_t owner_;
  SqliteConnection sql_;
  HiveStore store_;
  std::optional<int64_t> classes_root_;
  int depth_ = 0;
  uint64_t serial_;
  uint64_t rollbacks_ = 0;
};

// The writes of one registry call, made atomic: a transaction of their own,
// or a savepoint inside the thread's explicit transaction so that a failed
// call undoes only itself. Rolled back unless Commit runs.
class WriteScope {
 public:
  explicit WriteScope(HiveDatabase& db);
  ~WriteScope();
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;
  void Commit();

 private:
  HiveDatabase& db_;
  bool nested_;
  bool done_ = false;
};

// The calling thread's connection to hive under the current machine root,
// opened (and the hive created) on first use. Raises StorageError.
HiveDatabase& ThreadHive(Hive hive);

// The file of hive under the current machine root.
std::filesystem::path HiveFile(Hive hive);

}  // namespace kavrin::platform::registry
