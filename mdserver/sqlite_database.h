// A thin RAII layer over the SQLite C API: one connection, a cache of prepared statements keyed
// by their SQL text, and transactions that roll back unless committed. Errors are thrown as
// StorageError inside the repository and turned into status codes at its public edge.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace mdserver {

class StorageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SqliteDatabase;

// A borrowed prepared statement; reset and cleared of bindings when it goes out of scope, so
// the cached statement can be reused by the next caller. While it lives, its cached statement
// is marked busy: a nested use of the same SQL gets a private statement of its own, and the
// cache never finalizes a busy one.
class Statement {
 public:
  Statement(SqliteDatabase& database, const std::string& sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::string_view text);
  // Binds text without copying it: the text must stay as it is until this Statement is gone.
  Statement& bindUnchanging(int index, std::string_view text);
  Statement& bind(int index, int64_t value);
  Statement& bindDouble(int index, double value);
  Statement& bindNull(int index);
  int parameterIndex(const char* name) const { return sqlite3_bind_parameter_index(stmt_, name); }
  // Steps once: true when a row is available, false when done.
  bool step();
  // Steps to completion of a statement that returns no rows.
  void run();
  int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  double real(int column) const { return sqlite3_column_double(stmt_, column); }
  std::string text(int column) const;
  bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  SqliteDatabase& database_;
  // Declared before stmt_: acquiring stmt_ sets it.
  bool* busy_ = nullptr;  // the cache entry's flag, or null for a private statement
  sqlite3_stmt* stmt_;
};

class SqliteDatabase {
 public:
  // path empty: a private in-memory database. A file database is put in WAL mode.
  explicit SqliteDatabase(const std::string& path);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  void execute(const char* sql);
  sqlite3* handle() { return db_; }
  int64_t lastInsertKey() const { return sqlite3_last_insert_rowid(db_); }
  int changes() const { return sqlite3_changes(db_); }
  [[noreturn]] void fail(const std::string& what) const;

 private:
  friend class Statement;

  struct CachedStatement {
    sqlite3_stmt* stmt = nullptr;
    bool busy = false;
  };
  sqlite3_stmt* compile(const std::string& sql);
  // The cached statement for sql, marked busy; or a private one (busy stays null) when the
  // cached one is in use.
  sqlite3_stmt* acquire(const std::string& sql, bool*& busy);

  sqlite3* db_ = nullptr;
  // Node-based: evicting entries leaves the busy flags of the others where they are.
  std::unordered_map<std::string, CachedStatement> statements_;
};

// BEGIN IMMEDIATE on construction; rolls back in the destructor unless commit() ran.
class Transaction {
 public:
  explicit Transaction(SqliteDatabase& database);
  ~Transaction();
  void commit();

 private:
  SqliteDatabase& database_;
  bool done_ = false;
};

}  // namespace mdserver
