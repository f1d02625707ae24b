// The storage layer under the repository and the security store: one connection, a cache of
// prepared statements keyed by their SQL text, and transactions that roll back unless
// committed. Two backends implement it: SQLite (sqlite_database.h, embedded, one machine) and
// PostgreSQL (postgres_database.h, a server many hosts share). All repository logic, the URI
// query compiler and the security store are written once against this interface.
//
// Errors are thrown as StorageError inside the repository and turned into status codes at its
// public edge; nothing here throws across a library boundary.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace mdserver {

class StorageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A backend's prepared statement. Parameters are numbered from 1; columns from 0.
class PreparedStatement {
 public:
  virtual ~PreparedStatement() = default;
  virtual void bindText(int index, std::string_view text) = 0;
  // Binds text the backend may read in place until reset(): the caller keeps it unchanged.
  virtual void bindUnchangingText(int index, std::string_view text) { bindText(index, text); }
  virtual void bindInteger(int index, int64_t value) = 0;
  virtual void bindDouble(int index, double value) = 0;
  virtual void bindNull(int index) = 0;
  // Steps once: true when a row is available, false when done.
  virtual bool step() = 0;
  virtual int64_t integer(int column) const = 0;
  virtual double real(int column) const = 0;
  virtual std::string text(int column) const = 0;
  virtual bool isNull(int column) const = 0;
  // Back to before the first step, bindings cleared.
  virtual void reset() noexcept = 0;
};

class Database;

// A borrowed prepared statement; reset and cleared of bindings when it goes out of scope, so
// the cached statement can be reused by the next caller. While it lives, its cached statement
// is marked busy: a nested use of the same SQL gets a private statement of its own, and the
// cache never drops a busy one.
class Statement {
 public:
  Statement(Database& database, const std::string& sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::string_view text) {
    prepared_->bindText(index, text);
    return *this;
  }
  // Binds text without copying it: the text must stay as it is until this Statement is gone.
  Statement& bindUnchanging(int index, std::string_view text) {
    prepared_->bindUnchangingText(index, text);
    return *this;
  }
  Statement& bind(int index, int64_t value) {
    prepared_->bindInteger(index, value);
    return *this;
  }
  Statement& bindDouble(int index, double value) {
    prepared_->bindDouble(index, value);
    return *this;
  }
  Statement& bindNull(int index) {
    prepared_->bindNull(index);
    return *this;
  }
  bool step() { return prepared_->step(); }
  // Back to before the first step, bindings cleared, for a statement held across many uses.
  void reset() { prepared_->reset(); }
  // Steps to completion of a statement that returns no rows.
  void run() {
    while (step()) {
    }
  }
  int64_t integer(int column) const { return prepared_->integer(column); }
  double real(int column) const { return prepared_->real(column); }
  std::string text(int column) const { return prepared_->text(column); }
  bool isNull(int column) const { return prepared_->isNull(column); }

 private:
  bool* busy_ = nullptr;  // the cache entry's flag, or null for a private statement
  std::unique_ptr<PreparedStatement> private_;
  PreparedStatement* prepared_;
};

class Database {
 public:
  virtual ~Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs statements that return no rows (one or more, separated by ';').
  virtual void execute(const char* sql) = 0;
  // The key the last INSERT gave its row.
  virtual int64_t lastInsertKey() = 0;
  // Rows changed by the last INSERT, UPDATE or DELETE.
  virtual int changes() = 0;
  // A number that grows whenever anything stored changes, by this connection or (where the
  // backend is shared) by any other.
  virtual uint64_t changeCount() = 0;
  // Runs `write`, whose rows no kept result depends on (a log's own records), so that it does
  // not move this connection's changeCount(): writing them must not make every result kept for
  // the current count stale. A backend whose count already leaves such tables out runs it as it
  // is. Other connections may still see the write as a change.
  virtual void writeUncounted(const std::function<void()>& write) { write(); }
  // Inside a write transaction, with `before` the changeCount() read right after begin(): true
  // when the count has moved since by this transaction's own statements alone, so that the
  // state committed at `before` with this transaction's changes is the state it commits at the
  // changeCount() read now. False when another connection may have committed in between, or
  // when it cannot be told (the default).
  // Reads changeCount() and the row of `query` (a SELECT of at most one row whose '?'
  // parameters are `texts`, in order) in one round trip, where the backend saves one by that:
  // true then, with `row` called when the query has a row (its first column is `firstColumn`
  // of the statement handed over). False, with nothing read, where reading them apart costs no
  // more (the default): the caller reads them itself.
  virtual bool changeCountWithRow(const std::string& query, const std::vector<std::string>& texts,
                                  const std::function<void(const Statement&, int)>& row,
                                  uint64_t& count) {
    (void)query, (void)texts, (void)row, (void)count;
    return false;
  }
  virtual bool movedOnlyByThisTransaction(uint64_t before) {
    (void)before;
    return false;
  }
  [[noreturn]] virtual void fail(const std::string& what) const = 0;

  // A write transaction: writers take turns, so a change never rests on a stale read.
  virtual void begin() = 0;
  virtual void commit() = 0;
  virtual void rollback() noexcept = 0;
  // A savepoint inside the current transaction, or a transaction of its own when none is open.
  virtual void savepoint(const char* name) = 0;
  virtual void release(const char* name) = 0;
  virtual void rollbackTo(const char* name) noexcept = 0;

  // Bounds the work of the statements that run until unlimitWork(): a statement that needs
  // more fails (StorageError) and workSpent() says that this was the reason.
  virtual void limitWork(int64_t steps) = 0;
  virtual void unlimitWork() noexcept = 0;
  virtual bool workSpent() const = 0;

  // Appends rows to a table in one bulk transfer (PostgreSQL's COPY, text format): fields are
  // separated by tabs and escaped with appendCopyField, each row ends with a newline. Runs
  // inside the caller's transaction. False when the backend has no bulk path (SQLite, whose
  // prepared single-row inserts are as fast); nothing is written then. frozen: the table was
  // created or emptied (TRUNCATE) in this transaction, with no savepoint begun since; the rows
  // are stored already frozen, so neither their first reader nor a later vacuum rewrites every
  // page they fill.
  virtual bool copyRows(const char* /*table*/, const char* /*columns*/, std::string_view /*rows*/,
                        bool /*frozen*/ = false) {
    return false;
  }

  // For benchmarks: the SQLite connection, or null on another backend.
  virtual sqlite3* sqliteHandle() { return nullptr; }
  // Which backend this is ("sqlite" or "postgresql"), for diagnostics and tests.
  virtual const char* backendName() const = 0;

 protected:
  Database() = default;
  virtual std::unique_ptr<PreparedStatement> compile(const std::string& sql) = 0;
  // Forgets every cached statement (a backend whose connection was renewed needs new ones).
  void dropStatementCache() {
    lastUsed_ = nullptr;
    statements_.clear();
  }

 private:
  friend class Statement;
  struct CachedStatement {
    std::unique_ptr<PreparedStatement> prepared;
    bool busy = false;
  };
  // The cached statement for sql, marked busy (busy set); or a private one in owned (busy
  // null) when the cached one is in use.
  PreparedStatement* acquire(const std::string& sql, bool*& busy,
                             std::unique_ptr<PreparedStatement>& owned);

  // Node-based: evicting entries leaves the busy flags of the others where they are.
  std::unordered_map<std::string, CachedStatement> statements_;
  // The entry used last: a repeated statement (a look-up in a loop) is found by comparing its
  // text, without hashing it. Forgotten whenever entries are dropped.
  std::pair<const std::string, CachedStatement>* lastUsed_ = nullptr;
};

// Begins a write transaction on construction; rolls back in the destructor unless commit() ran.
class Transaction {
 public:
  explicit Transaction(Database& database) : database_(database) { database_.begin(); }
  ~Transaction() {
    if (!done_) database_.rollback();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit() {
    database_.commit();
    done_ = true;
  }

 private:
  Database& database_;
  bool done_ = false;
};

// Appends text as one field of a copyRows row (backslash, tab, newline and return escaped).
void appendCopyField(std::string& out, std::string_view text);

// Opens the backend a location names: "postgresql://..." or "postgres://..." a server
// (a libpq connection URI), anything else an SQLite file ("" in memory).
std::unique_ptr<Database> openDatabase(const std::string& location);
bool isServerLocation(std::string_view location);
// The location with any password in it replaced by "***", for messages and logs.
std::string redactedLocation(std::string_view location);

}  // namespace mdserver
