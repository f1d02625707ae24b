// The SQLite backend of the storage layer (database.h): a file in WAL mode, or a private
// in-memory database. The embedded default: one machine, many threads of one process.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "mdserver/storage/database.h"

namespace mdserver {

class SqliteDatabase final : public Database {
 public:
  // path empty: a private in-memory database. A file database is put in WAL mode.
  explicit SqliteDatabase(const std::string& path);
  ~SqliteDatabase() override;

  void execute(const char* sql) override;
  int64_t lastInsertKey() override { return sqlite3_last_insert_rowid(db_); }
  int changes() override { return sqlite3_changes(db_); }
  uint64_t changeCount() override;
  bool movedOnlyByThisTransaction(uint64_t before) override;
  void writeUncounted(const std::function<void()>& write) override;
  [[noreturn]] void fail(const std::string& what) const override;
  void begin() override;
  void commit() override;
  void rollback() noexcept override;
  void savepoint(const char* name) override;
  void release(const char* name) override;
  void rollbackTo(const char* name) noexcept override;
  void limitWork(int64_t steps) override;
  void unlimitWork() noexcept override;
  bool workSpent() const override { return budget_.spent; }
  sqlite3* sqliteHandle() override { return db_; }
  const char* backendName() const override { return "sqlite"; }

 protected:
  std::unique_ptr<PreparedStatement> compile(const std::string& sql) override;

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* dataVersion_ = nullptr;  // PRAGMA data_version, kept for changeCount
  uint64_t uncounted_ = 0;  // rows written through writeUncounted, left out of changeCount
  struct Budget {
    int64_t left = 0;
    bool spent = false;
  } budget_;
  // The stride the handler was installed with, 0 before the first limit. The handler stays
  // installed once it is: lifting the limit only makes the budget endless, which spares every
  // look-up two calls into SQLite.
  int installedStride_ = 0;
};

}  // namespace mdserver
