#include "registry/sqlite_connection.h"

#include <chrono>
#include <thread>

namespace kavrin::platform::registry {
namespace {

// How long a statement waits for another connection's write lock. A
// transaction holds the lock for its whole life, so this bounds how long a
// writer waits behind one.
constexpr int kBusyTimeoutMs = 30000;

[[noreturn]] void Throw(sqlite3* db, int code) {
  std::string what = sqlite3_errstr(code);
  if (db != nullptr) what += std::string(": ") + sqlite3_errmsg(db);
  throw StorageError(code, what);
}

}  // namespace

Query& Query::Bind(int index, int64_t value) {
  if (const int rc = sqlite3_bind_int64(stmt_, index, value); rc != SQLITE_OK) Throw(sqlite3_db_handle(stmt_), rc);
  return *this;
}

Query& Query::Bind(int index, std::string_view text) {
  const int rc = sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) Throw(sqlite3_db_handle(stmt_), rc);
  return *this;
}

Query& Query::BindBlob(int index, std::span<const uint8_t> bytes) {
  // An empty value is a zero-length blob, never NULL.
  static const uint8_t kEmpty = 0;
  const void* data = bytes.empty() ? &kEmpty : bytes.data();
  const int rc = sqlite3_bind_blob64(stmt_, index, data, bytes.size(), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) Throw(sqlite3_db_handle(stmt_), rc);
  return *this;
}

bool Query::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  Throw(sqlite3_db_handle(stmt_), rc);
}

void Query::Run() {
  while (Step()) {
  }
}

std::string_view Query::Text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  return text == nullptr ? std::string_view() : std::string_view(text, static_cast<size_t>(size));
}

std::span<const uint8_t> Query::Blob(int column) const {
  const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  return data == nullptr ? std::span<const uint8_t>() : std::span<const uint8_t>(data, static_cast<size_t>(size));
}

SqliteConnection::SqliteConnection(const std::filesystem::path& file) {
  sqlite3* raw = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) Fail(rc);
  sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
  // Switching a new file to WAL needs a moment of exclusive access; another
  // process doing the same at once can make it report busy before the
  // timeout applies, so it is retried.
  for (int attempt = 0;; ++attempt) {
    const int mode = sqlite3_exec(db_.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (mode == SQLITE_OK) break;
    if ((mode & 0xFF) != SQLITE_BUSY || attempt == 100) Fail(mode);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // In WAL mode NORMAL keeps every transaction atomic through a crash of the
  // process or the machine; only the newest commits may be lost on power loss.
  Exec("PRAGMA synchronous=NORMAL");
}

void SqliteConnection::Exec(const char* sql) {
  const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail(rc);
}

void SqliteConnection::ExecQuietly(const char* sql) noexcept {
  sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
}

Query SqliteConnection::Prepare(std::string_view sql) {
  auto found = statements_.find(std::string(sql));
  if (found == statements_.end()) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db_.get(), sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    StatementPtr stmt(raw);
    if (rc != SQLITE_OK) Fail(rc);
    found = statements_.emplace(std::string(sql), std::move(stmt)).first;
  }
  return Query(found->second.get());
}

void SqliteConnection::Abandon() noexcept {
  for (auto& entry : statements_) static_cast<void>(entry.second.release());
  statements_.clear();
  static_cast<void>(db_.release());
}

void SqliteConnection::Fail(int code) const { Throw(db_.get(), code); }

}  // namespace kavrin::platform::registry
