#include "registry/hive_database.h"

#include <kavrin/registry.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <memory>

#include "internal/machine_root.h"

namespace kavrin::platform::registry {
namespace {

// SQLite undid the thread's explicit transaction by itself (after an I/O or
// memory error); later writes must not run outside it.
[[noreturn]] void TransactionLost() {
  throw StorageError(SQLITE_ABORT, "the registry transaction was lost");
}

struct ThreadHives {
  std::array<std::unique_ptr<HiveDatabase>, 2> open;

  ~ThreadHives() {
    for (auto& db : open) {
      if (db != nullptr && db->owner() != getpid()) db->Abandon();
    }
  }
};

thread_local ThreadHives thread_hives;

std::atomic<uint64_t> connections_opened{0};

}  // namespace

HiveDatabase::HiveDatabase(Hive hive, const std::filesystem::path& file)
    : hive_(hive), file_(file), owner_(getpid()), sql_(file), store_(sql_), serial_(++connections_opened) {
  store_.EnsureSchema(hive);
}

int64_t HiveDatabase::ClassesRoot() {
  if (!classes_root_) {
    // Created with the hive and never deletable, so its id stays valid.
    const auto software = store_.FindChild(kRootKeyId, u"SOFTWARE");
    const auto classes = software ? store_.FindChild(*software, u"Classes") : std::nullopt;
    if (!classes) throw StorageError(SQLITE_CORRUPT, "HKLM\\SOFTWARE\\Classes is missing");
    classes_root_ = classes;
  }
  return *classes_root_;
}

HiveDatabase::ChangeStamp HiveDatabase::Stamp() {
  auto query = sql_.Prepare("PRAGMA data_version");
  const int64_t others = query.Step() ? query.Int(0) : -1;
  return ChangeStamp{serial_, others, sql_.TotalChanges(), rollbacks_};
}

LONG HiveDatabase::BeginTransaction() {
  if (depth_ == 0) {
    // IMMEDIATE takes the write lock now, so no write inside the transaction
    // can later fail for want of it.
    sql_.Exec("BEGIN IMMEDIATE");
  } else {
    if (!sql_.InTransaction()) TransactionLost();
    sql_.Exec("SAVEPOINT kavrin_transaction");
  }
  ++depth_;
  return ERROR_SUCCESS;
}

LONG HiveDatabase::CommitTransaction() {
  if (depth_ == 0) return ERROR_TRANSACTION_NOT_ACTIVE;
  if (!sql_.InTransaction()) {
    depth_ = 0;
    return ERROR_REGISTRY_IO_FAILED;
  }
  if (depth_ > 1) {
    sql_.Exec("RELEASE kavrin_transaction");
    --depth_;
    return ERROR_SUCCESS;
  }
  depth_ = 0;
  try {
    sql_.Exec("COMMIT");
  } catch (const StorageError&) {
    sql_.ExecQuietly("ROLLBACK");
    NoteRollback();
    throw;
  }
  return ERROR_SUCCESS;
}

LONG HiveDatabase::RollbackTransaction() {
  if (depth_ == 0) return ERROR_TRANSACTION_NOT_ACTIVE;
  NoteRollback();
  if (depth_ > 1 && sql_.InTransaction()) {
    sql_.Exec("ROLLBACK TO kavrin_transaction; RELEASE kavrin_transaction");
    --depth_;
    return ERROR_SUCCESS;
  }
  depth_ = 0;
  sql_.ExecQuietly("ROLLBACK");
  return ERROR_SUCCESS;
}

WriteScope::WriteScope(HiveDatabase& db) : db_(db), nested_(db.transaction_depth() > 0) {
  if (!nested_) {
    db_.sql().Exec("BEGIN IMMEDIATE");
    return;
  }
  if (!db_.sql().InTransaction()) TransactionLost();
  db_.sql().Exec("SAVEPOINT kavrin_call");
}

WriteScope::~WriteScope() {
  if (done_) return;
  db_.NoteRollback();
  if (!nested_) {
    db_.sql().ExecQuietly("ROLLBACK");
  } else if (db_.sql().InTransaction()) {
    db_.sql().ExecQuietly("ROLLBACK TO kavrin_call; RELEASE kavrin_call");
  }
}

void WriteScope::Commit() {
  db_.sql().Exec(nested_ ? "RELEASE kavrin_call" : "COMMIT");
  done_ = true;
}

std::filesystem::path HiveFile(Hive hive) {
  return MachineRoot() / "registry" / (hive == Hive::kLocalMachine ? "HKLM.db" : "HKCU.db");
}

HiveDatabase& ThreadHive(Hive hive) {
  auto& slot = thread_hives.open[static_cast<size_t>(hive)];
  const auto file = HiveFile(hive);
  if (slot != nullptr && slot->owner() != getpid()) {
    slot->Abandon();  // inherited across fork()
    slot.reset();
  }
  if (slot == nullptr || slot->file() != file) {
    slot.reset();
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);  // failure shows when opening
    slot = std::make_unique<HiveDatabase>(hive, file);
  }
  return *slot;
}

}  // namespace kavrin::platform::registry
