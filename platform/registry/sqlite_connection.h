// One SQLite connection with its prepared statements, owned by one thread.
// Failures of SQLite raise StorageError; the registry functions catch it at
// their boundary and report ERROR_REGISTRY_IO_FAILED, so that no code path
// between can forget a check.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kavrin::platform::registry {

class StorageError : public std::runtime_error {
 public:
  StorageError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

struct ConnectionCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using ConnectionPtr = std::unique_ptr<sqlite3, ConnectionCloser>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// A cached prepared statement in use: bind, step, read columns; reset when the
// scope ends so that the statement holds no read snapshot afterwards.
class Query {
 public:
  explicit Query(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, int64_t value);
  Query& Bind(int index, std::string_view text);
  Query& BindBlob(int index, std::span<const uint8_t> bytes);

  // True while a row is available; false when the statement is done.
  bool Step();
  // Runs a statement that returns no rows.
  void Run();

  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string_view Text(int column) const;
  std::span<const uint8_t> Blob(int column) const;

 private:
  sqlite3_stmt* stmt_;
};

class SqliteConnection {
 public:
  // Opens (creating) the database file in WAL mode with a busy timeout.
  explicit SqliteConnection(const std::filesystem::path& file);
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  // Runs one or more statements that return nothing of interest.
  void Exec(const char* sql);
  // Runs sql, ignoring failure (rollbacks on paths that already failed).
  void ExecQuietly(const char* sql) noexcept;
  // The statement for sql, prepared once per connection.
  Query Prepare(std::string_view sql);

  int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_.get()); }
  int Changes() const { return sqlite3_changes(db_.get()); }
  int64_t TotalChanges() const { return sqlite3_total_changes64(db_.get()); }
  bool InTransaction() const { return sqlite3_get_autocommit(db_.get()) == 0; }

  // Drops the connection without closing it: after fork() the child must not
  // touch the parent's SQLite state, so its copy is left alone.
  void Abandon() noexcept;

 private:
  [[noreturn]] void Fail(int code) const;

  ConnectionPtr db_;  // declared first: statements are finalized before it closes
  std::unordered_map<std::string, StatementPtr> statements_;
};

}  // namespace kavrin::platform::registry
