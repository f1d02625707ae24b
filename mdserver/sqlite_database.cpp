#include "mdserver/sqlite_database.h"

namespace mdserver {

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
  for (auto& [sql, cached] : statements_) sqlite3_finalize(cached.stmt);
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

sqlite3_stmt* SqliteDatabase::compile(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(stmt);
    // Compiled queries can be megabytes long; the start says which statement it was.
    constexpr size_t kShown = 120;
    fail("cannot prepare \"" + sql.substr(0, kShown) + (sql.size() > kShown ? "...\"" : "\""));
  }
  return stmt;
}

sqlite3_stmt* SqliteDatabase::acquire(const std::string& sql, bool*& busy) {
  busy = nullptr;
  auto found = statements_.find(sql);
  if (found != statements_.end()) {
    if (found->second.busy) return compile(sql);
    found->second.busy = true;
    busy = &found->second.busy;
    return found->second.stmt;
  }
  sqlite3_stmt* stmt = compile(sql);
  // Queries compiled from object URIs are many and varied; keep the cache bounded, dropping
  // only statements that no live Statement is using.
  constexpr size_t kCacheLimit = 512;
  if (statements_.size() >= kCacheLimit) {
    for (auto it = statements_.begin(); it != statements_.end();) {
      if (it->second.busy) {
        ++it;
      } else {
        sqlite3_finalize(it->second.stmt);
        it = statements_.erase(it);
      }
    }
  }
  auto [entry, inserted] = statements_.emplace(sql, CachedStatement{stmt, true});
  busy = &entry->second.busy;
  return stmt;
}

Statement::Statement(SqliteDatabase& database, const std::string& sql)
    : database_(database), stmt_(database.acquire(sql, busy_)) {}

Statement::~Statement() {
  if (!busy_) {
    sqlite3_finalize(stmt_);
    return;
  }
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  *busy_ = false;
}

Statement& Statement::bind(int index, std::string_view text) {
  if (sqlite3_bind_text(stmt_, index, text.data() ? text.data() : "",
                        static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
    database_.fail("cannot bind parameter");
  }
  return *this;
}

Statement& Statement::bindUnchanging(int index, std::string_view text) {
  // The destructor clears the bindings before the statement can be used again, so SQLite never
  // reads the text after the caller's Statement is gone.
  if (sqlite3_bind_text(stmt_, index, text.data() ? text.data() : "",
                        static_cast<int>(text.size()), SQLITE_STATIC) != SQLITE_OK) {
    database_.fail("cannot bind parameter");
  }
  return *this;
}

Statement& Statement::bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) database_.fail("cannot bind");
  return *this;
}

Statement& Statement::bindDouble(int index, double value) {
  if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) database_.fail("cannot bind");
  return *this;
}

Statement& Statement::bindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) database_.fail("cannot bind");
  return *this;
}

bool Statement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  database_.fail("statement failed");
}

void Statement::run() {
  while (step()) {
  }
}

std::string Statement::text(int column) const {
  const unsigned char* value = sqlite3_column_text(stmt_, column);
  int length = sqlite3_column_bytes(stmt_, column);
  return value ? std::string(reinterpret_cast<const char*>(value), length) : std::string();
}

Transaction::Transaction(SqliteDatabase& database) : database_(database) {
  database_.execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!done_) sqlite3_exec(database_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  database_.execute("COMMIT");
  done_ = true;
}

}  // namespace mdserver
