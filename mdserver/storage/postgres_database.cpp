#include "mdserver/storage/postgres_database.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "mdserver/storage/postgres_dialect.h"

namespace mdserver {

// The schema (postgres_schema.cpp).
const char* postgresSchemaStatements();
const char* postgresMigration(int fromVersion);

namespace {

// Writers take turns on this key (see the header); the schema set-up on the next one.
constexpr int64_t kWriteLockKey = 0x6d6473727677;   // "mdsrvw"
constexpr int64_t kSchemaLockKey = 0x6d6473727673;  // "mdsrvs"

constexpr const char* kQueryCanceled = "57014";

void ignoreNotice(void*, const char*) {}

class PostgresStatement final : public PreparedStatement {
 public:
  PostgresStatement(PostgresDatabase& database, std::string sql)
      : database_(database), sql_(std::move(sql)) {}
  ~PostgresStatement() override {
    PQclear(result_);
    if (generation_ != 0) database_.forgetStatement(name_, generation_);
  }

  void bindText(int index, std::string_view text) override {
    // Parameters travel as C strings: a NUL would cut the text short and compare (or store)
    // something else than was asked for.
    if (text.find('\0') != std::string_view::npos) {
      throw StorageError("a text with the character NUL cannot be stored in or compared with "
                         "PostgreSQL text");
    }
    slot(index) = std::string(text);
  }
  void bindInteger(int index, int64_t value) override { slot(index) = std::to_string(value); }
  void bindDouble(int index, double value) override {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    slot(index) = std::string(buffer);
  }
  void bindNull(int index) override { slot(index).reset(); }

  bool step() override {
    if (!result_) execute();
    ++row_;
    return row_ < PQntuples(result_);
  }
  int64_t integer(int column) const override {
    const char* value = field(column);
    if (!value) return 0;
    if (value[0] == 't' && value[1] == '\0') return 1;  // booleans read as SQLite's 1 and 0
    int64_t number = 0;
    std::from_chars(value, value + std::char_traits<char>::length(value), number);
    return number;
  }
  double real(int column) const override {
    const char* value = field(column);
    return value ? std::strtod(value, nullptr) : 0.0;
  }
  std::string text(int column) const override {
    const char* value = field(column);
    return value ? std::string(value, PQgetlength(result_, row_, column)) : std::string();
  }
  bool isNull(int column) const override { return field(column) == nullptr; }
  void reset() noexcept override {
    PQclear(result_);
    result_ = nullptr;
    row_ = -1;
    parameters_.clear();
  }

 private:
  std::optional<std::string>& slot(int index) {
    if (index < 1) database_.fail("parameter numbers start at 1");
    if (parameters_.size() < static_cast<size_t>(index)) parameters_.resize(index);
    return parameters_[index - 1];
  }
  const char* field(int column) const {
    if (!result_ || row_ < 0 || row_ >= PQntuples(result_) || column >= PQnfields(result_) ||
        PQgetisnull(result_, row_, column)) {
      return nullptr;
    }
    return PQgetvalue(result_, row_, column);
  }
  void execute() {
    PGconn* conn = database_.connection();
    if (generation_ != database_.generation()) {
      name_ = database_.newStatementName();
      PQclear(database_.checked(PQprepare(conn, name_.c_str(), sql_.c_str(), 0, nullptr),
                                "cannot prepare \"" + sql_.substr(0, 120) + "\""));
      generation_ = database_.generation();
    }
    std::vector<const char*> values;
    values.reserve(parameters_.size());
    for (const auto& p : parameters_) values.push_back(p ? p->c_str() : nullptr);
    result_ = database_.checked(
        PQexecPrepared(conn, name_.c_str(), static_cast<int>(values.size()), values.data(),
                       nullptr, nullptr, 0),
        "statement failed");
    database_.noteChanges(result_);
    row_ = -1;
  }

  PostgresDatabase& database_;
  std::string sql_;
  std::string name_;
  uint64_t generation_ = 0;  // of the connection it was prepared on; 0 never
  std::vector<std::optional<std::string>> parameters_;
  PGresult* result_ = nullptr;
  int row_ = -1;
};

}  // namespace

PostgresDatabase::PostgresDatabase(const std::string& location) : location_(location) {
  connect();
  try {
    createOrMigrateSchema();
    prepareSession();
  } catch (...) {
    // The destructor does not run for a constructor that throws: the connection goes here.
    PQfinish(conn_);
    conn_ = nullptr;
    throw;
  }
}

PostgresDatabase::~PostgresDatabase() {
  closing_ = true;  // the server forgets the statements with the connection
  dropStatementCache();
  PQfinish(conn_);
}

void PostgresDatabase::connect() {
  PQfinish(conn_);
  conn_ = PQconnectdb(location_.c_str());
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    // libpq's text names the host and the reason, never the password.
    std::string reason = conn_ ? PQerrorMessage(conn_) : "out of memory";
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    PQfinish(conn_);
    conn_ = nullptr;
    throw StorageError("cannot connect to " + redactedLocation(location_) + ": " + reason);
  }
  PQsetNoticeProcessor(conn_, ignoreNotice, nullptr);
  ++generation_;
  depth_ = 0;
  implicit_ = false;
}

void PostgresDatabase::prepareSession() {
  // Scratch table of object URI resolution, private to this connection.
  execute(
      "CREATE TEMP TABLE IF NOT EXISTS path_sets(path integer NOT NULL, k bigint NOT NULL, "
      "PRIMARY KEY(path, k))");
}

PGconn* PostgresDatabase::connection() {
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    connect();
    prepareSession();
  }
  return conn_;
}

void PostgresDatabase::failWithConnection(const std::string& what, const char* serverText) {
  std::string reason = serverText ? serverText : "";
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    depth_ = 0;
    implicit_ = false;
    throw StorageError(what + ": the connection to the PostgreSQL server was lost (" + reason +
                       "); the next call connects again");
  }
  throw StorageError(what + ": " + reason);
}

pg_result* PostgresDatabase::checked(pg_result* result, const std::string& what) {
  ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
  std::string text = result ? PQresultErrorMessage(result) : PQerrorMessage(conn_);
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  if (state && std::string_view(state) == kQueryCanceled && workTimeoutMs_ > 0) workSpent_ = true;
  PQclear(result);
  failWithConnection(what, text.c_str());
}

std::string PostgresDatabase::newStatementName() { return "s" + std::to_string(++nextStatement_); }

void PostgresDatabase::forgetStatement(const std::string& name, uint64_t generation) noexcept {
  if (closing_ || generation != generation_ || !conn_ || PQstatus(conn_) != CONNECTION_OK) return;
  PQclear(PQexec(conn_, ("DEALLOCATE " + name).c_str()));
}

void PostgresDatabase::noteChanges(pg_result* result) {
  const char* tuples = PQcmdTuples(result);
  lastChanges_ = tuples && *tuples ? std::atoi(tuples) : 0;
}

void PostgresDatabase::fail(const std::string& what) const {
  throw StorageError(what + (conn_ ? std::string(": ") + PQerrorMessage(conn_) : std::string()));
}

void PostgresDatabase::execute(const char* sql) {
  const std::string translated = postgresSql(sql);
  PGconn* conn = connection();
  PGresult* result = checked(PQexec(conn, translated.c_str()),
                             "SQL failed (" + std::string(sql).substr(0, 120) + ")");
  noteChanges(result);
  PQclear(result);
}

std::unique_ptr<PreparedStatement> PostgresDatabase::compile(const std::string& sql) {
  return std::make_unique<PostgresStatement>(*this, postgresSql(sql));
}

int64_t PostgresDatabase::lastInsertKey() {
  PGresult* result = checked(PQexec(connection(), "SELECT lastval()"), "no inserted key");
  int64_t key = PQntuples(result) > 0 ? std::atoll(PQgetvalue(result, 0, 0)) : 0;
  PQclear(result);
  return key;
}

namespace {

// The count changeCount() hands out for the shared count and this connection's own changes.
// Never 0: callers take 0 for "unknown". Distinct for every pair below 2^32 changes each.
uint64_t encodedCount(uint64_t shared, uint64_t own) {
  return ((own << 32) | (shared & 0xffffffffu)) + 1;
}

// The columns that read both parts of the count, first in every statement that reads it.
constexpr const char* kCountColumns =
    "n, coalesce(nullif(current_setting('mdserver.own_changes', true), ''), '0')";

}  // namespace

uint64_t PostgresDatabase::changeCount() {
  // The shared count moves once per committed transaction of anyone; this connection's own
  // statements move the session's count, so its own changes inside a transaction count too.
  PGresult* result =
      checked(PQexec(connection(), (std::string("SELECT ") + kCountColumns + " FROM change_count")
                                       .c_str()),
              "cannot read the change count");
  uint64_t shared = 0, own = 0;
  if (PQntuples(result) > 0) {
    shared = std::strtoull(PQgetvalue(result, 0, 0), nullptr, 10);
    own = std::strtoull(PQgetvalue(result, 0, 1), nullptr, 10);
  }
  PQclear(result);
  return encodedCount(shared, own);
}

bool PostgresDatabase::changeCountWithRow(const std::string& query,
                                          const std::vector<std::string>& texts,
                                          const std::function<void(const Statement&, int)>& row,
                                          uint64_t& count) {
  // One statement: the count's single row, joined with the query's row when there is one (its
  // leading true tells a missing row from one of nulls). Prepared once per query text, as every
  // statement here is, so each call is one execution.
  Statement both(*this, std::string("SELECT ") + kCountColumns +
                            ", q.* FROM change_count LEFT JOIN (SELECT true AS found_, r.* FROM (" +
                            query + ") r) q ON true");
  for (size_t i = 0; i < texts.size(); ++i) both.bind(static_cast<int>(i) + 1, texts[i]);
  if (!both.step()) fail("cannot read the change count");
  count = encodedCount(static_cast<uint64_t>(both.integer(0)), static_cast<uint64_t>(both.integer(1)));
  if (!both.isNull(2)) row(both, 3);
  return true;
}

bool PostgresDatabase::movedOnlyByThisTransaction(uint64_t before) {
  // The shared count is raised once by the first counted statement of a transaction, which then
  // holds its row until the commit: another transaction's commit either came before that
  // statement (and raised the count too) or waits for this one. So the count moved by this
  // transaction alone when its own statements were counted and the shared count is exactly one
  // past the one read after begin().
  if (depth_ == 0 || before == 0) return false;
  const uint64_t now = changeCount() - 1;
  const uint64_t then = before - 1;
  return (now >> 32) > (then >> 32) && (now & 0xffffffffu) == (((then & 0xffffffffu) + 1) & 0xffffffffu);
}

bool PostgresDatabase::copyRows(const char* table, const char* columns, std::string_view rows,
                                bool frozen) {
  if (rows.empty()) return true;
  PGconn* conn = connection();
  const std::string what = std::string("cannot copy rows into ") + table;
  const std::string sql = std::string("COPY ") + table + "(" + columns + ") FROM STDIN" +
                          (frozen ? " WITH (FREEZE)" : "");
  PGresult* start = PQexec(conn, sql.c_str());
  if (!start || PQresultStatus(start) != PGRES_COPY_IN) {
    PQclear(checked(start, what));  // throws: a copy that did not start is an error result
    fail(what);
  }
  PQclear(start);
  // Sent in pieces the server takes without a round trip each; one end marks the whole copy.
  constexpr size_t kPiece = 1 << 18;
  bool sent = true;
  for (size_t at = 0; at < rows.size() && sent; at += kPiece) {
    const size_t n = std::min(kPiece, rows.size() - at);
    sent = PQputCopyData(conn, rows.data() + at, static_cast<int>(n)) == 1;
  }
  if (PQputCopyEnd(conn, sent ? nullptr : "the rows could not be sent") != 1) {
    failWithConnection(what, PQerrorMessage(conn));
  }
  // The copy's own result, then the end of the command.
  PGresult* result = PQgetResult(conn);
  try {
    result = checked(result, what);
  } catch (...) {
    while (PGresult* rest = PQgetResult(conn)) PQclear(rest);
    throw;
  }
  noteChanges(result);
  PQclear(result);
  while (PGresult* rest = PQgetResult(conn)) PQclear(rest);
  return true;
}

void PostgresDatabase::begin() {
  if (depth_ != 0) fail("a transaction is already open");
  const std::string sql =
      "BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kWriteLockKey) + ")";
  PQclear(checked(PQexec(connection(), sql.c_str()), "cannot begin a transaction"));
  depth_ = 1;
  implicit_ = false;
}

void PostgresDatabase::commit() {
  PQclear(checked(PQexec(connection(), "COMMIT"), "cannot commit"));
  depth_ = 0;
}

void PostgresDatabase::rollback() noexcept {
  if (conn_ && PQstatus(conn_) == CONNECTION_OK && depth_ > 0) PQclear(PQexec(conn_, "ROLLBACK"));
  depth_ = 0;
  implicit_ = false;
}

void PostgresDatabase::savepoint(const char* name) {
  std::string sql;
  if (depth_ == 0) {
    // One snapshot for every statement until the release: nothing half-applied shows.
    sql = "BEGIN ISOLATION LEVEL REPEATABLE READ";
    if (workTimeoutMs_ > 0) sql += "; SET LOCAL statement_timeout = " + std::to_string(workTimeoutMs_);
    implicit_ = true;
  } else {
    sql = std::string("SAVEPOINT ") + name;
  }
  PQclear(checked(PQexec(connection(), sql.c_str()), "cannot open a savepoint"));
  ++depth_;
}

void PostgresDatabase::release(const char* name) {
  if (depth_ == 1 && implicit_) {
    PQclear(checked(PQexec(connection(), "COMMIT"), "cannot commit"));
    depth_ = 0;
    implicit_ = false;
    return;
  }
  PQclear(checked(PQexec(connection(), (std::string("RELEASE ") + name).c_str()),
                  "cannot release a savepoint"));
  --depth_;
}

void PostgresDatabase::rollbackTo(const char* name) noexcept {
  if (depth_ == 0) return;
  const bool alive = conn_ && PQstatus(conn_) == CONNECTION_OK;
  if (depth_ == 1 && implicit_) {
    if (alive) PQclear(PQexec(conn_, "ROLLBACK"));
    depth_ = 0;
    implicit_ = false;
    return;
  }
  if (alive) {
    std::string sql = std::string("ROLLBACK TO ") + name + "; RELEASE " + name;
    PQclear(PQexec(conn_, sql.c_str()));
  }
  --depth_;
}

int64_t PostgresDatabase::timeoutFor(int64_t steps) {
  // SQLite runs on the order of 100,000 virtual machine steps a millisecond; a server gets
  // the same time for the same limit.
  return std::max<int64_t>(1, steps / 100'000);
}

void PostgresDatabase::limitWork(int64_t steps) {
  workTimeoutMs_ = timeoutFor(steps);
  workSpent_ = false;
}

void PostgresDatabase::unlimitWork() noexcept { workTimeoutMs_ = 0; }

void PostgresDatabase::createOrMigrateSchema() {
  // One process sets the schema up; the others wait for it and find it done.
  const std::string lock =
      "BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) +
      "); CREATE TABLE IF NOT EXISTS schema_version(version integer NOT NULL)";
  PQclear(checked(PQexec(conn_, lock.c_str()), "cannot set up the schema"));
  try {
    PGresult* result = checked(PQexec(conn_, "SELECT max(version) FROM schema_version"),
                               "cannot read the schema version");
    int version = PQgetisnull(result, 0, 0) ? 0 : std::atoi(PQgetvalue(result, 0, 0));
    PQclear(result);
    if (version > kSchemaVersion) {
      throw StorageError("the database's schema version " + std::to_string(version) +
                         " is newer than this program's (" + std::to_string(kSchemaVersion) +
                         ")");
    }
    if (version == 0) {
      PQclear(checked(PQexec(conn_, postgresSchemaStatements()), "cannot create the schema"));
    } else {
      for (int from = version; from < kSchemaVersion; ++from) {
        PQclear(checked(PQexec(conn_, postgresMigration(from)),
                        "cannot migrate the schema from version " + std::to_string(from)));
      }
    }
    if (version != kSchemaVersion) {
      const std::string mark = "DELETE FROM schema_version; INSERT INTO schema_version VALUES(" +
                               std::to_string(kSchemaVersion) + ")";
      PQclear(checked(PQexec(conn_, mark.c_str()), "cannot record the schema version"));
    }
    PQclear(checked(PQexec(conn_, "COMMIT"), "cannot commit the schema"));
  } catch (...) {
    if (PQstatus(conn_) == CONNECTION_OK) PQclear(PQexec(conn_, "ROLLBACK"));
    throw;
  }
}

}  // namespace mdserver
