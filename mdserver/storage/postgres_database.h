// The PostgreSQL backend of the storage layer (database.h): one libpq connection to a server
// that many hosts share. The location is a libpq connection URI; a password comes from
// libpq's usual sources (PGPASSWORD, the password file, or the URI itself) and never appears
// in a message.
//
// Concurrency: every write transaction first takes one transaction-scoped advisory lock, so
// writers take turns across all processes, as SQLite's BEGIN IMMEDIATE makes them take turns
// on one file. A transaction's reads after the lock see every change committed before it, so
// two transactions that change the same authorization never lose one of the updates. Readers
// are never blocked (each statement sees committed data only); a resolution of an object URI
// reads all its statements from one snapshot.
//
// A dropped connection fails the call that met it with a StorageError that says so; the next
// call connects again (a transaction open at the time is lost, as the server rolled it back).
#pragma once

#include <cstdint>
#include <string>

#include "mdserver/storage/database.h"

struct pg_conn;
struct pg_result;

namespace mdserver {

class PostgresDatabase final : public Database {
 public:
  // Connects and creates or migrates the schema. Throws StorageError.
  explicit PostgresDatabase(const std::string& location);
  ~PostgresDatabase() override;

  void execute(const char* sql) override;
  int64_t lastInsertKey() override;
  int changes() override { return lastChanges_; }
  uint64_t changeCount() override;
  bool movedOnlyByThisTransaction(uint64_t before) override;
  bool changeCountWithRow(const std::string& query, const std::vector<std::string>& texts,
                          const std::function<void(const Statement&, int)>& row,
                          uint64_t& count) override;
  [[noreturn]] void fail(const std::string& what) const override;
  void begin() override;
  void commit() override;
  void rollback() noexcept override;
  void savepoint(const char* name) override;
  void release(const char* name) override;
  void rollbackTo(const char* name) noexcept override;
  void limitWork(int64_t steps) override;
  void unlimitWork() noexcept override;
  bool workSpent() const override { return workSpent_; }
  const char* backendName() const override { return "postgresql"; }
  bool copyRows(const char* table, const char* columns, std::string_view rows,
                bool frozen = false) override;

  // The schema version this program writes and reads.
  static constexpr int kSchemaVersion = 3;
  // Milliseconds a resolution may run for a work limit of that many steps.
  static int64_t timeoutFor(int64_t steps);

  // Used by the backend's statements (postgres_database.cpp).
  pg_conn* connection();  // connected (again, if it was dropped)
  uint64_t generation() const { return generation_; }
  // Checks a result; frees it and throws on failure.
  pg_result* checked(pg_result* result, const std::string& what);
  void noteChanges(pg_result* result);
  std::string newStatementName();
  // The server may drop a prepared statement that is no longer cached.
  void forgetStatement(const std::string& name, uint64_t generation) noexcept;

 protected:
  std::unique_ptr<PreparedStatement> compile(const std::string& sql) override;

 private:
  void connect();
  void prepareSession();
  void createOrMigrateSchema();
  [[noreturn]] void failWithConnection(const std::string& what, const char* serverText);

  std::string location_;
  pg_conn* conn_ = nullptr;
  uint64_t generation_ = 0;  // grows with each new connection; prepared statements belong to one
  int lastChanges_ = 0;
  int depth_ = 0;              // open savepoints (and 1 for a write transaction)
  bool implicit_ = false;      // the outermost savepoint began the transaction itself
  int64_t workTimeoutMs_ = 0;  // 0: no limit
  bool workSpent_ = false;
  uint64_t nextStatement_ = 0;
  bool closing_ = false;
};

}  // namespace mdserver
