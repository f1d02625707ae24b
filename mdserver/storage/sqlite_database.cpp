#include "mdserver/storage/sqlite_database.h"

#include <algorithm>
#include <limits>

namespace mdserver {
namespace {

class SqliteStatement final : public PreparedStatement {
 public:
  SqliteStatement(const SqliteDatabase& database, sqlite3_stmt* stmt)
      : database_(database), stmt_(stmt) {}
  ~SqliteStatement() override { sqlite3_finalize(stmt_); }

  void bindText(int index, std::string_view text) override {
    check(sqlite3_bind_text(stmt_, index, text.data() ? text.data() : "",
                            static_cast<int>(text.size()), SQLITE_TRANSIENT),
          "cannot bind parameter");
  }
  void bindUnchangingText(int index, std::string_view text) override {
    // reset() clears the bindings before the statement can be used again, so SQLite never
    // reads the text after the caller's Statement is gone.
    check(sqlite3_bind_text(stmt_, index, text.data() ? text.data() : "",
                            static_cast<int>(text.size()), SQLITE_STATIC),
          "cannot bind parameter");
  }
  void bindInteger(int index, int64_t value) override {
    check(sqlite3_bind_int64(stmt_, index, value), "cannot bind");
  }
  void bindDouble(int index, double value) override {
    check(sqlite3_bind_double(stmt_, index, value), "cannot bind");
  }
  void bindNull(int index) override { check(sqlite3_bind_null(stmt_, index), "cannot bind"); }
  bool step() override {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    database_.fail("statement failed");
  }
  int64_t integer(int column) const override { return sqlite3_column_int64(stmt_, column); }
  double real(int column) const override { return sqlite3_column_double(stmt_, column); }
  std::string text(int column) const override {
    const unsigned char* value = sqlite3_column_text(stmt_, column);
    int length = sqlite3_column_bytes(stmt_, column);
    return value ? std::string(reinterpret_cast<const char*>(value), length) : std::string();
  }
  bool isNull(int column) const override {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
  }
  void reset() noexcept override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

 private:
  void check(int rc, const char* what) const {
    if (rc != SQLITE_OK) database_.fail(what);
  }
  const SqliteDatabase& database_;
  sqlite3_stmt* stmt_;
};

}  // namespace

SqliteDatabase::SqliteDatabase(const std::string& path) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  const char* name = path.empty() ? ":memory:" : path.c_str();
  if (sqlite3_open_v2(name, &db_, flags, nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StorageError("cannot open " + std::string(name) + ": " + message);
  }
  sqlite3_busy_timeout(db_, 5000);
  try {
    execute("PRAGMA foreign_keys = ON");
    if (!path.empty()) {
      execute("PRAGMA journal_mode = WAL");
      // FULL: a change the repository reported as done survives a power loss too, not only a
      // crash of the program; WAL keeps that to one sync per transaction.
      execute("PRAGMA synchronous = FULL");
    }
  } catch (const StorageError&) {
    // The destructor does not run for a constructor that throws. The first statement is where
    // a file that is no SQLite database shows; say so in SQLite's words, without the pragma.
    std::string message = sqlite3_errmsg(db_);
    sqlite3_close(db_);
    db_ = nullptr;
    throw StorageError(message);
  }
}

SqliteDatabase::~SqliteDatabase() {
  dropStatementCache();  // statements are finalized before their connection closes
  sqlite3_finalize(dataVersion_);
  sqlite3_close(db_);
}

void SqliteDatabase::fail(const std::string& what) const {
  throw StorageError(what + ": " + sqlite3_errmsg(db_));
}

void SqliteDatabase::execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "unknown error";
    sqlite3_free(message);
    throw StorageError(std::string("SQL failed (") + sql + "): " + text);
  }
}

uint64_t SqliteDatabase::changeCount() {
  // This connection's own changes, plus (in the high half) the file's data version, which moves
  // with every commit of another connection or process on the same file: what was kept for one
  // count is never handed out after anyone changed the file.
  uint64_t version = 0;
  if (!dataVersion_) sqlite3_prepare_v2(db_, "PRAGMA data_version", -1, &dataVersion_, nullptr);
  if (dataVersion_) {
    if (sqlite3_step(dataVersion_) == SQLITE_ROW) {
      version = static_cast<uint64_t>(sqlite3_column_int64(dataVersion_, 0));
    }
    sqlite3_reset(dataVersion_);
  }
  return (version << 32) + static_cast<uint64_t>(sqlite3_total_changes64(db_)) - uncounted_;
}

bool SqliteDatabase::movedOnlyByThisTransaction(uint64_t before) {
  // A write transaction here is BEGIN IMMEDIATE: no other connection commits until it ends, and
  // the data version (the high half) says so anyway. The low half is this connection's own
  // changes; while it stays below 2^32 the halves cannot mix.
  if (sqlite3_get_autocommit(db_)) return false;  // no transaction open
  const uint64_t own = static_cast<uint64_t>(sqlite3_total_changes64(db_)) - uncounted_;
  if (own >> 32 != 0) return false;
  const uint64_t now = changeCount();
  return now > before && (now >> 32) == (before >> 32);
}

void SqliteDatabase::writeUncounted(const std::function<void()>& write) {
  const int64_t before = sqlite3_total_changes64(db_);
  try {
    write();
  } catch (...) {
    uncounted_ += static_cast<uint64_t>(sqlite3_total_changes64(db_) - before);
    throw;
  }
  uncounted_ += static_cast<uint64_t>(sqlite3_total_changes64(db_) - before);
}

std::unique_ptr<PreparedStatement> SqliteDatabase::compile(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(stmt);
    // Compiled queries can be megabytes long; the start says which statement it was.
    constexpr size_t kShown = 120;
    fail("cannot prepare \"" + sql.substr(0, kShown) + (sql.size() > kShown ? "...\"" : "\""));
  }
  return std::make_unique<SqliteStatement>(*this, stmt);
}

void SqliteDatabase::begin() { execute("BEGIN IMMEDIATE"); }
void SqliteDatabase::commit() { execute("COMMIT"); }
void SqliteDatabase::rollback() noexcept {
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteDatabase::savepoint(const char* name) {
  execute((std::string("SAVEPOINT ") + name).c_str());
}
void SqliteDatabase::release(const char* name) {
  execute((std::string("RELEASE ") + name).c_str());
}
void SqliteDatabase::rollbackTo(const char* name) noexcept {
  std::string sql = std::string("ROLLBACK TO ") + name + "; RELEASE " + name;
  sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

void SqliteDatabase::limitWork(int64_t steps) {
  // SQLite calls the handler every stride steps; a non-zero answer interrupts the statement.
  const int stride = static_cast<int>(std::clamp<int64_t>(steps, 1, 10000));
  budget_ = Budget{steps / stride - 1, false};
  if (stride == installedStride_) return;
  sqlite3_progress_handler(
      db_, stride,
      [](void* data) {
        auto* b = static_cast<Budget*>(data);
        if (--b->left >= 0) return 0;
        b->spent = true;
        return 1;
      },
      &budget_);
  installedStride_ = stride;
}

void SqliteDatabase::unlimitWork() noexcept {
  budget_.left = std::numeric_limits<int64_t>::max();
}

}  // namespace mdserver
