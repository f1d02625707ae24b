// The repository itself: opening one on either backend (schema included), its change count, and
// the repositories it holds.
#include "mdserver/model/repository.h"

#include <algorithm>

#include <sqlite3.h>

#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository_support.h"
#include "mdserver/query/object_uri.h"
#include "mdserver/security/audit_store.h"
#include "mdserver/security/sqlite_security_store.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {
namespace {

using namespace repository_support;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS settings(name TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS types(
  position INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS repositories(
  key INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  description TEXT NOT NULL DEFAULT '',
  serial INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS objects(
  key INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  repository INTEGER NOT NULL REFERENCES repositories(key),
  type TEXT NOT NULL COLLATE NOCASE,
  name TEXT NOT NULL DEFAULT '',
  description TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS objects_by_type_name ON objects(type, name COLLATE BINARY);
CREATE INDEX IF NOT EXISTS objects_by_type_name_nocase ON objects(type, name COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS attributes(
  object INTEGER NOT NULL REFERENCES objects(key) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE,
  position INTEGER NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY(object, name)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS attributes_by_value ON attributes(name, value);
CREATE TABLE IF NOT EXISTS properties(
  property INTEGER PRIMARY KEY REFERENCES objects(key) ON DELETE CASCADE,
  owner INTEGER NOT NULL REFERENCES objects(key) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  value TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS properties_by_owner ON properties(owner, position);
CREATE TABLE IF NOT EXISTS associations(
  source INTEGER NOT NULL REFERENCES objects(key) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE,
  target INTEGER NOT NULL REFERENCES objects(key) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  PRIMARY KEY(source, name, target)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS associations_in_order ON associations(source, name, position);
CREATE INDEX IF NOT EXISTS associations_by_target ON associations(target);
)sql";

}  // namespace

std::unique_ptr<Repository> Repository::open(const std::string& path, std::string* error) {
  try {
    std::unique_ptr<Database> database = openDatabase(path);
    // The PostgreSQL backend creates and migrates its own schema when it connects.
    if (database->sqliteHandle()) {
      database->execute(kSchema);
      database->execute(SqliteSecurityStore::schema());
      SqliteSecurityStore::migrate(*database);
      database->execute(AuditStore::schema());
      database->execute(kPathSetsTable);
    }
    return std::unique_ptr<Repository>(new Repository(std::move(database)));
  } catch (const StorageError& failure) {
    if (error) *error = failure.what();
    return nullptr;
  }
}

Repository::Repository(std::unique_ptr<Database> database)
    : db_(std::move(database)),
      security_(std::make_unique<SqliteSecurityStore>(*db_, mutex_)),
      audit_(std::make_unique<AuditStore>(*db_, mutex_)) {
  // A server database is shared with other hosts: never private.
  sqlite3* handle = db_->sqliteHandle();
  const char* file = handle ? sqlite3_db_filename(handle, "main") : "";
  privateDatabase_ = handle != nullptr && (file == nullptr || *file == '\0');
}
Repository::~Repository() = default;

SecurityStore& Repository::security() { return *security_; }

AuditStore& Repository::audit() { return *audit_; }

sqlite3* Repository::rawHandle() { return db_->sqliteHandle(); }

const char* Repository::backendName() const { return db_->backendName(); }

uint64_t Repository::changeCount() {
  std::lock_guard lock(mutex_);
  try {
    return db_->changeCount();
  } catch (const StorageError&) {
    return 0;  // nothing kept is handed out again while the count is unknown
  }
}

bool Repository::changeCountWithRow(const std::string& query,
                                    const std::vector<std::string>& texts,
                                    const std::function<void(const Statement&, int)>& row,
                                    uint64_t& count) {
  std::lock_guard lock(mutex_);
  try {
    return db_->changeCountWithRow(query, texts, row, count);
  } catch (const StorageError&) {
    return false;
  }
}

std::vector<RepositoryInfo> Repository::repositories() {
  std::lock_guard lock(mutex_);
  std::vector<RepositoryInfo> out;
  try {
    Statement s(*db_, "SELECT key, id, name, description FROM repositories ORDER BY key");
    while (s.step()) out.push_back({s.integer(0), s.text(1), s.text(2), s.text(3)});
  } catch (const StorageError&) {
    out.clear();
  }
  return out;
}

Outcome Repository::addRepository(std::string_view id, std::string_view name,
                                  std::string_view description) {
  return guarded(mutex_, [&] {
    if (!isIdentifierPart(id)) {
      return failure(kStatusInvalidArgument,
                     "repository identifier '" + std::string(id) +
                         "' is not 8 letters or digits");
    }
    if (repositoryWhereUnlocked("id", id)) {
      return failure(kStatusDuplicate, "repository '" + std::string(id) + "' already exists");
    }
    Statement(*db_, "INSERT INTO repositories(id, name, description) VALUES(?, ?, ?)")
        .bind(1, id)
        .bind(2, name)
        .bind(3, description)
        .run();
    return Outcome::success();
  });
}

std::optional<RepositoryInfo> Repository::repositoryWhereUnlocked(const char* column,
                                                                  std::string_view value) {
  // Identifiers compare exactly, names without regard to case.
  std::string sql = std::string("SELECT key, id, name, description FROM repositories WHERE ") +
                    column + " = ?" + (std::string_view(column) == "name" ? " COLLATE NOCASE" : "") +
                    " ORDER BY key LIMIT 1";
  Statement s(*db_, sql);
  s.bind(1, value);
  if (!s.step()) return std::nullopt;
  return RepositoryInfo{s.integer(0), s.text(1), s.text(2), s.text(3)};
}

std::optional<RepositoryInfo> Repository::repositoryByKeyUnlocked(int64_t key) {
  Statement s(*db_, "SELECT key, id, name, description FROM repositories WHERE key = ?");
  s.bind(1, key);
  if (!s.step()) return std::nullopt;
  return RepositoryInfo{s.integer(0), s.text(1), s.text(2), s.text(3)};
}

std::optional<RepositoryInfo> Repository::repositoryById(std::string_view id) {
  std::lock_guard lock(mutex_);
  try {
    return repositoryWhereUnlocked("id", id);
  } catch (const StorageError&) {
    return std::nullopt;
  }
}

std::optional<RepositoryInfo> Repository::repositoryByName(std::string_view name) {
  std::lock_guard lock(mutex_);
  try {
    return repositoryWhereUnlocked("name", name);
  } catch (const StorageError&) {
    return std::nullopt;
  }
}

std::optional<RepositoryInfo> Repository::repositoryByReference(std::string_view reference) {
  std::lock_guard lock(mutex_);
  try {
    if (reference.empty()) {
      Statement s(*db_, "SELECT key FROM repositories ORDER BY key LIMIT 1");
      if (!s.step()) return std::nullopt;
      return repositoryByKeyUnlocked(s.integer(0));
    }
    if (auto byId = repositoryWhereUnlocked("id", reference)) return byId;
    return repositoryWhereUnlocked("name", reference);
  } catch (const StorageError&) {
    return std::nullopt;
  }
}

}  // namespace mdserver
