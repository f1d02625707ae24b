#include "mdserver/repository.h"

#include <algorithm>
#include <unordered_set>

#include <sqlite3.h>

#include "mdserver/object_uri.h"
#include "mdserver/repository_support.h"
#include "mdserver/sqlite_security_store.h"
#include "mdserver/sqlite_database.h"
#include "mdserver/status_codes.h"

namespace mdserver {
namespace {

using repository_support::equalNoCase;
using repository_support::failure;
using repository_support::guarded;
using repository_support::noSuchObject;
using repository_support::readObject;

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

constexpr std::string_view kPropertyType = "Property";

bool isIdentifierPart(std::string_view text) {
  return text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) != 0;
         });
}

std::string base36(uint64_t value, size_t width) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string out(width, '0');
  for (size_t i = width; i-- > 0 && value != 0;) {
    out[i] = kDigits[value % 36];
    value /= 36;
  }
  return out;
}

}  // namespace

std::unique_ptr<Repository> Repository::open(const std::string& path, std::string* error) {
  try {
    std::unique_ptr<Database> database = openDatabase(path);
    // The PostgreSQL backend creates and migrates its own schema when it connects.
    if (database->sqliteHandle()) {
      database->execute(kSchema);
      database->execute(SqliteSecurityStore::schema());
      SqliteSecurityStore::migrate(*database);
      database->execute(kPathSetsTable);
    }
    return std::unique_ptr<Repository>(new Repository(std::move(database)));
  } catch (const StorageError& failure) {
    if (error) *error = failure.what();
    return nullptr;
  }
}

Repository::Repository(std::unique_ptr<Database> database)
    : db_(std::move(database)), security_(std::make_unique<SqliteSecurityStore>(*db_, mutex_)) {
  // A server database is shared with other hosts: never private.
  sqlite3* handle = db_->sqliteHandle();
  const char* file = handle ? sqlite3_db_filename(handle, "main") : "";
  privateDatabase_ = handle != nullptr && (file == nullptr || *file == '\0');
}
Repository::~Repository() = default;

SecurityStore& Repository::security() { return *security_; }

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

// Programs ask for these on every call of a loop. A private database changes only through this
// connection, and every change that commits moves its data version, so what was read stays
// true until the version moves: then both are read again. Inside a transaction a change is not
// committed yet, and a database file may be changed by another process without this connection
// noticing: then they are read on every call.
const Repository::ServerFacts& Repository::serverFactsUnlocked() {
  sqlite3* handle = db_->sqliteHandle();
  uint32_t dataVersion = 0;
  const bool versioned =
      privateDatabase_ && handle != nullptr && sqlite3_get_autocommit(handle) != 0 &&
      sqlite3_file_control(handle, "main", SQLITE_FCNTL_DATA_VERSION, &dataVersion) == SQLITE_OK;
  if (versioned && serverFacts_.known && serverFacts_.dataVersion == dataVersion) {
    return serverFacts_;
  }
  ServerFacts facts;
  try {
    Statement s(*db_, "SELECT name, value FROM settings WHERE name IN ('version', 'paused')");
    while (s.step()) {
      if (s.text(0) == "version") facts.version = s.real(1);
      if (s.text(0) == "paused") facts.paused = static_cast<int32_t>(s.integer(1));
    }
    facts.known = versioned;
    facts.dataVersion = dataVersion;
  } catch (const StorageError&) {
    facts = ServerFacts{};  // read as 0, as before, and asked again next time
  }
  serverFacts_ = facts;
  return serverFacts_;
}

double Repository::serverVersion() {
  std::lock_guard lock(mutex_);
  return serverFactsUnlocked().version;
}

int32_t Repository::paused() {
  std::lock_guard lock(mutex_);
  return serverFactsUnlocked().paused;
}

Outcome Repository::setServerVersion(double version) {
  return guarded(mutex_, [&] {
    Statement(*db_, "INSERT INTO settings(name, value) VALUES('version', ?) "
                    "ON CONFLICT(name) DO UPDATE SET value = excluded.value")
        .bindDouble(1, version)
        .run();
    return Outcome::success();
  });
}

Outcome Repository::setPaused(int32_t paused) {
  return guarded(mutex_, [&] {
    Statement(*db_, "INSERT INTO settings(name, value) VALUES('paused', ?) "
                    "ON CONFLICT(name) DO UPDATE SET value = excluded.value")
        .bind(1, int64_t{paused})
        .run();
    return Outcome::success();
  });
}

std::vector<std::string> Repository::typeNames() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  try {
    Statement s(*db_, "SELECT name FROM types ORDER BY position");
    while (s.step()) names.push_back(s.text(0));
  } catch (const StorageError&) {
    names.clear();
  }
  return names;
}

Outcome Repository::addType(std::string_view name) {
  return guarded(mutex_, [&] {
    if (name.empty()) return failure(kStatusInvalidArgument, "a type name is empty");
    Statement(*db_, "INSERT OR IGNORE INTO types(name) VALUES(?)").bind(1, name).run();
    return Outcome::success();
  });
}

std::optional<std::string> Repository::canonicalTypeUnlocked(std::string_view name) {
  if (equalNoCase(name, kPropertyType)) return std::string(kPropertyType);
  Statement s(*db_, "SELECT name FROM types WHERE name = ?");
  s.bind(1, name);
  if (s.step()) return s.text(0);
  return std::nullopt;
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

std::vector<ObjectRow> Repository::rows(const std::string& sql,
                                        const std::vector<std::string>& params) {
  Statement s(*db_, sql);
  for (size_t i = 0; i < params.size(); ++i) s.bind(static_cast<int>(i + 1), params[i]);
  std::vector<ObjectRow> out;
  while (s.step()) out.push_back(readObject(s));
  return out;
}

Outcome Repository::resolve(std::string_view uri, int64_t repositoryKey,
                            std::vector<ObjectRow>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    CompiledUri own;
    const bool reuse = !lastCompiledInUse_;
    CompiledUri& compiled = reuse ? lastCompiled_ : own;
    struct InUse {
      bool& flag;
      bool set;
      ~InUse() {
        if (set) flag = false;
      }
    } inUse{lastCompiledInUse_, reuse};
    lastCompiledInUse_ = true;
    UriError error;
    if (!compileObjectUri(uri, compiled, error)) return failure(kStatusMalformedUri, error.text());
    // The compiler bounds the text; the budget bounds the work, whatever the repository holds.
    db_->limitWork(queryWorkLimit_);
    struct Unlimit {
      Database& db;
      ~Unlimit() { db.unlimitWork(); }
    } unlimit{*db_};
    try {
      return resolveUnlocked(compiled, repositoryKey, uri, out);
    } catch (const StorageError&) {
      if (!db_->workSpent()) throw;
      out.clear();
      return failure(kStatusQueryTooCostly,
                     "the query needs more work than the repository allows (" +
                         std::to_string(queryWorkLimit_) + " steps); narrow it down");
    }
  });
}

Outcome Repository::resolveUnlocked(const CompiledUri& compiled, int64_t repositoryKey,
                                    std::string_view uri, std::vector<ObjectRow>& out) {
  // One snapshot for the path statements and the query; the path sets are scratch and go with
  // the savepoint however it ends. A query without paths is one statement, which reads one
  // snapshot by itself: it runs without the savepoint and its two extra statements (on SQLite;
  // PostgreSQL bounds a query's work inside the snapshot's transaction, so it always opens one).
  struct Snapshot {
    Database& db;
    bool open = false;
    Snapshot(Database& database, bool needed) : db(database) {
      if (!needed) return;
      db.savepoint("resolve");
      open = true;
    }
    void release() {
      if (!open) return;
      db.release("resolve");
      open = false;
    }
    ~Snapshot() {
      if (open) db.rollbackTo("resolve");
    }
  } snapshot(*db_, !compiled.paths.empty() || !db_->sqliteHandle());
  for (const CompiledUri::PathStatement& path : compiled.paths) {
    Statement s(*db_, path.sql);
    for (size_t i = 0; i < path.parameters.size(); ++i) {
      s.bindUnchanging(static_cast<int>(i + 1), path.parameters[i]);
    }
    s.run();
  }
  {
    Statement s(*db_, compiled.sql);
    if (repositoryKey != 0) {
      s.bind(1, repositoryKey);
    } else {
      s.bindNull(1);
    }
    for (size_t i = 0; i < compiled.parameters.size(); ++i) {
      s.bindUnchanging(static_cast<int>(i + 2), compiled.parameters[i]);
    }
    while (s.step()) out.push_back(readObject(s));
  }
  if (!compiled.paths.empty()) Statement(*db_, "DELETE FROM temp.path_sets").run();
  snapshot.release();
  if (out.empty()) return failure(kStatusNoMatch, "no object matches " + std::string(uri));
  return Outcome::success();
}

Outcome Repository::findByPath(std::string_view repository, std::string_view path,
                               std::string_view type, std::vector<ObjectRow>& out) {
  out.clear();
  std::vector<std::string_view> steps;
  if (path.empty() || path.front() != '/') {
    return failure(kStatusMalformedPath, "a folder path starts with '/'");
  }
  for (size_t start = 1;;) {
    size_t slash = path.find('/', start);
    std::string_view step = path.substr(start, slash == std::string_view::npos ? path.npos
                                                                               : slash - start);
    if (step.empty()) {
      return failure(kStatusMalformedPath, "empty folder name at position " +
                                               std::to_string(start + 1) + " of the path");
    }
    steps.push_back(step);
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  auto target = repositoryByReference(repository);
  if (!target) {
    return failure(kStatusUnknownRepository,
                   "no repository named '" + std::string(repository) + "'");
  }
  return guarded(mutex_, [&] {
    // Root folders: trees of the repository that are no other tree's sub-tree.
    std::vector<int64_t> folders;
    if (steps.size() > 1) {
      Statement s(*db_,
                  "SELECT o.key FROM objects o WHERE o.type = 'Tree' AND o.name = ? AND "
                  "o.repository = ? AND NOT EXISTS (SELECT 1 FROM associations a WHERE "
                  "a.target = o.key AND a.name = 'SubTrees') ORDER BY o.id");
      s.bind(1, steps[0]).bind(2, target->key);
      while (s.step()) folders.push_back(s.integer(0));
    }
    for (size_t i = 1; i + 1 < steps.size() && !folders.empty(); ++i) {
      std::vector<int64_t> next;
      for (int64_t folder : folders) {
        Statement s(*db_,
                    "SELECT o.key FROM associations a JOIN objects o ON o.key = a.target "
                    "WHERE a.source = ? AND a.name = 'SubTrees' AND o.type = 'Tree' AND "
                    "o.name = ? ORDER BY a.position");
        s.bind(1, folder).bind(2, steps[i]);
        while (s.step()) next.push_back(s.integer(0));
      }
      folders = std::move(next);
    }
    std::unordered_set<int64_t> seen;
    auto keep = [&](ObjectRow row) {
      if (!type.empty() && !equalNoCase(row.type, type)) return;
      if (seen.insert(row.key).second) out.push_back(std::move(row));
    };
    std::string_view last = steps.back();
    if (steps.size() == 1) {
      // A single step names a root folder itself.
      Statement s(*db_,
                  "SELECT o.key, o.id, o.type, o.name, o.description FROM objects o WHERE "
                  "o.type = 'Tree' AND o.name = ? AND o.repository = ? AND NOT EXISTS (SELECT "
                  "1 FROM associations a WHERE a.target = o.key AND a.name = 'SubTrees') "
                  "ORDER BY o.id");
      s.bind(1, last).bind(2, target->key);
      while (s.step()) keep(readObject(s));
    }
    for (int64_t folder : folders) {
      Statement s(*db_,
                  "SELECT o.key, o.id, o.type, o.name, o.description FROM associations a JOIN "
                  "objects o ON o.key = a.target WHERE a.source = ? AND a.name IN ('Members', "
                  "'SubTrees') AND o.name = ? ORDER BY a.name, a.position");
      s.bind(1, folder).bind(2, last);
      while (s.step()) keep(readObject(s));
    }
    return Outcome::success();
  });
}

std::optional<ObjectRow> Repository::findObjectUnlocked(std::string_view id) {
  Statement s(*db_, "SELECT key, id, type, name, description FROM objects WHERE id = ?");
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return readObject(s);
}

int64_t Repository::objectKeyUnlocked(std::string_view id) {
  Statement s(*db_, "SELECT key FROM objects WHERE id = ?");
  s.bind(1, id);
  return s.step() ? s.integer(0) : 0;
}

std::optional<ObjectRow> Repository::object(std::string_view id) {
  std::lock_guard lock(mutex_);
  try {
    return findObjectUnlocked(id);
  } catch (const StorageError&) {
    return std::nullopt;
  }
}

std::string Repository::newIdentifierUnlocked(const RepositoryInfo& repository) {
  for (;;) {
    // A fresh statement each round: a stepped statement takes no new binding until reset.
    Statement next(*db_,
                   "UPDATE repositories SET serial = serial + 1 WHERE key = ? RETURNING serial");
    next.bind(1, repository.key);
    if (!next.step()) db_->fail("cannot advance the identifier serial");
    uint64_t serial = static_cast<uint64_t>(next.integer(0));
    while (next.step()) {
    }
    std::string id = repository.id + "." + base36(serial, 8);
    // Seeds may have taken serial-shaped identifiers already.
    if (objectKeyUnlocked(id) == 0 && !(reservedIds_ && reservedIds_->count(id))) return id;
  }
}

int64_t Repository::insertObjectUnlocked(const RepositoryInfo& repository, const std::string& id,
                                         const std::string& type, std::string_view name,
                                         std::string_view description) {
  Statement s(*db_,
              "INSERT INTO objects(id, repository, type, name, description) VALUES(?, ?, ?, ?, ?)");
  s.bind(1, id).bind(2, repository.key).bind(3, type).bind(4, name).bind(5, description).run();
  return db_->lastInsertKey();
}

Outcome Repository::createObjectUnlocked(const ObjectDraft& draft, std::string* createdId) {
  auto repository = repositoryWhereUnlocked("id", draft.repository);
  if (!repository) {
    return failure(kStatusUnknownRepository, "no repository '" + draft.repository + "'");
  }
  auto type = canonicalTypeUnlocked(draft.type);
  if (!type) return failure(kStatusUnknownType, "unknown type '" + draft.type + "'");
  std::string id = draft.id;
  if (id.empty()) {
    id = newIdentifierUnlocked(*repository);
  } else {
    if (id.size() != 17 || id.compare(0, 8, repository->id) != 0 || id[8] != '.' ||
        !isIdentifierPart(std::string_view(id).substr(9))) {
      return failure(kStatusInvalidArgument,
                     "identifier '" + id + "' is not '" + repository->id +
                         ".' followed by 8 letters or digits");
    }
    if (objectKeyUnlocked(id) != 0) {
      return failure(kStatusDuplicate, "identifier '" + id + "' is already in use");
    }
  }
  int64_t key = insertObjectUnlocked(*repository, id, *type, draft.name, draft.description);
  int64_t position = 0;
  for (const auto& [name, value] : draft.attributes) {
    Statement s(*db_,
                "INSERT INTO attributes(object, name, position, value) VALUES(?, ?, ?, ?) "
                "ON CONFLICT(object, name) DO UPDATE SET value = excluded.value");
    s.bind(1, key).bind(2, name).bind(3, ++position).bind(4, value).run();
  }
  if (createdId) *createdId = std::move(id);
  return Outcome::success();
}

Outcome Repository::createObject(const ObjectDraft& draft, std::string* createdId) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    Outcome outcome = createObjectUnlocked(draft, createdId);
    if (outcome.ok()) transaction.commit();
    return outcome;
  });
}

Outcome Repository::createRelatedObject(const ObjectDraft& draft, std::string_view relatedId,
                                        std::string_view association, std::string* createdId) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    int64_t related = objectKeyUnlocked(relatedId);
    if (related == 0) {
      return failure(kStatusObjectNotFound, "no object '" + std::string(relatedId) + "'");
    }
    std::string id;
    Outcome outcome = createObjectUnlocked(draft, &id);
    if (!outcome.ok()) return outcome;
    outcome = setAssociationUnlocked(related, association, AssociationMode::kMerge,
                                     {objectKeyUnlocked(id)});
    if (!outcome.ok()) return outcome;
    transaction.commit();
    if (createdId) *createdId = std::move(id);
    return Outcome::success();
  });
}

Outcome Repository::createObjects(const std::vector<ObjectDraft>& drafts,
                                  std::vector<std::string>* ids) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    std::vector<std::string> created;
    created.reserve(drafts.size());
    for (const ObjectDraft& draft : drafts) {
      std::string id;
      Outcome outcome = createObjectUnlocked(draft, &id);
      if (!outcome.ok()) return outcome;
      created.push_back(std::move(id));
    }
    transaction.commit();
    if (ids) *ids = std::move(created);
    return Outcome::success();
  });
}

Outcome Repository::deleteObject(std::string_view id) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    // Links to it go one by one, so that each association that loses it keeps its place among
    // its object's associations; its own links go with it.
    dropLinksToUnlocked(key);
    // Property objects belong to their owner and go with it.
    Statement(*db_,
              "DELETE FROM objects WHERE key IN (SELECT property FROM properties WHERE owner = ?)")
        .bind(1, key)
        .run();
    Statement(*db_, "DELETE FROM objects WHERE key = ?").bind(1, key).run();
    // Entries on a deleted object could only ever mislead a later object of that identifier;
    // so could templates applied to it, and, when it was a template, its applications.
    Statement(*db_, "DELETE FROM authorizations WHERE target = ?").bind(1, id).run();
    Statement(*db_, "DELETE FROM template_applications WHERE target = ?1 OR template = ?1")
        .bind(1, id)
        .run();
    transaction.commit();
    return Outcome::success();
  });
}

Outcome Repository::attributes(std::string_view id,
                               std::vector<std::pair<std::string, std::string>>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement s(*db_, "SELECT name, value FROM attributes WHERE object = ? ORDER BY position");
    s.bind(1, key);
    while (s.step()) out.emplace_back(s.text(0), s.text(1));
    return Outcome::success();
  });
}

Outcome Repository::attribute(std::string_view id, std::string_view name,
                              std::optional<std::string>& out) {
  out.reset();
  return guarded(mutex_, [&] {
    auto row = findObjectUnlocked(id);
    if (!row) return noSuchObject(id);
    Statement s(*db_, "SELECT value FROM attributes WHERE object = ? AND name = ?");
    s.bind(1, row->key).bind(2, name);
    if (s.step()) {
      out = s.text(0);
    } else if (equalNoCase(name, "Name")) {
      out = row->name;
    } else if (equalNoCase(name, "Desc")) {
      out = row->description;
    } else if (equalNoCase(name, "Id")) {
      out = row->id;
    }
    return Outcome::success();
  });
}

Outcome Repository::setAttribute(std::string_view id, std::string_view name,
                                 std::string_view value) {
  return guarded(mutex_, [&] {
    if (name.empty()) return failure(kStatusInvalidArgument, "the attribute name is empty");
    Transaction transaction(*db_);
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement existing(*db_, "SELECT 1 FROM attributes WHERE object = ? AND name = ?");
    existing.bind(1, key).bind(2, name);
    bool stored = existing.step();
    if (!stored && (equalNoCase(name, "Name") || equalNoCase(name, "Desc"))) {
      const char* sql = equalNoCase(name, "Name") ? "UPDATE objects SET name = ? WHERE key = ?"
                                                  : "UPDATE objects SET description = ? WHERE key = ?";
      Statement(*db_, sql).bind(1, value).bind(2, key).run();
    } else if (!stored && equalNoCase(name, "Id")) {
      return failure(kStatusInvalidArgument, "an object's identifier cannot be changed");
    } else {
      Statement(*db_,
                "INSERT INTO attributes(object, name, position, value) VALUES(?1, ?2, "
                "(SELECT coalesce(max(position), 0) + 1 FROM attributes WHERE object = ?1), ?3) "
                "ON CONFLICT(object, name) DO UPDATE SET value = excluded.value")
          .bind(1, key)
          .bind(2, name)
          .bind(3, value)
          .run();
    }
    transaction.commit();
    return Outcome::success();
  });
}

Outcome Repository::properties(std::string_view id, std::vector<PropertyRow>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement s(*db_,
                "SELECT o.id, o.name, p.value FROM properties p JOIN objects o ON o.key = "
                "p.property WHERE p.owner = ? ORDER BY p.position");
    s.bind(1, key);
    while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2)});
    return Outcome::success();
  });
}

Outcome Repository::property(std::string_view id, std::string_view name,
                             std::optional<PropertyRow>& out) {
  out.reset();
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement s(*db_,
                "SELECT o.id, o.name, p.value FROM properties p JOIN objects o ON o.key = "
                "p.property WHERE p.owner = ? AND o.name = ? COLLATE NOCASE ORDER BY p.position "
                "LIMIT 1");
    s.bind(1, key).bind(2, name);
    if (s.step()) out = PropertyRow{s.text(0), s.text(1), s.text(2)};
    return Outcome::success();
  });
}

Outcome Repository::addPropertyUnlocked(int64_t ownerKey, std::string_view name,
                                        std::string_view value, std::string_view propertyId,
                                        std::string* createdId) {
  if (name.empty()) return failure(kStatusInvalidArgument, "the property name is empty");
  Statement existing(*db_,
                     "SELECT 1 FROM properties p JOIN objects o ON o.key = p.property WHERE "
                     "p.owner = ? AND o.name = ? COLLATE NOCASE");
  existing.bind(1, ownerKey).bind(2, name);
  if (existing.step()) {
    return failure(kStatusDuplicate, "the object already has a property '" + std::string(name) +
                                         "'");
  }
  Statement ownerRepository(*db_, "SELECT repository FROM objects WHERE key = ?");
  ownerRepository.bind(1, ownerKey);
  if (!ownerRepository.step()) return failure(kStatusObjectNotFound, "owner object is gone");
  auto repository = repositoryByKeyUnlocked(ownerRepository.integer(0));
  ObjectDraft draft{repository->id, std::string(kPropertyType), std::string(propertyId),
                  std::string(name), "", {}};
  std::string id;
  Outcome outcome = createObjectUnlocked(draft, &id);
  if (!outcome.ok()) return outcome;
  Statement(*db_,
            "INSERT INTO properties(property, owner, position, value) VALUES(?1, ?2, (SELECT "
            "coalesce(max(position), 0) + 1 FROM properties WHERE owner = ?2), ?3)")
      .bind(1, objectKeyUnlocked(id))
      .bind(2, ownerKey)
      .bind(3, value)
      .run();
  if (createdId) *createdId = std::move(id);
  return Outcome::success();
}

Outcome Repository::addProperty(std::string_view id, std::string_view name,
                                std::string_view value, std::string_view propertyId,
                                std::string* createdId) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Outcome outcome = addPropertyUnlocked(key, name, value, propertyId, createdId);
    if (outcome.ok()) transaction.commit();
    return outcome;
  });
}

Outcome Repository::setPropertyValue(std::string_view id, std::string_view propertyId,
                                     std::string_view name, std::string_view value) {
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    if (!propertyId.empty()) {
      Statement(*db_,
                "UPDATE properties SET value = ? WHERE owner = ? AND property = (SELECT key "
                "FROM objects WHERE id = ?)")
          .bind(1, value)
          .bind(2, key)
          .bind(3, propertyId)
          .run();
    } else {
      Statement(*db_,
                "UPDATE properties SET value = ? WHERE owner = ? AND property = (SELECT "
                "p.property FROM properties p JOIN objects o ON o.key = p.property WHERE "
                "p.owner = ? AND o.name = ? COLLATE NOCASE ORDER BY p.position LIMIT 1)")
          .bind(1, value)
          .bind(2, key)
          .bind(3, key)
          .bind(4, name)
          .run();
    }
    if (db_->changes() == 0) {
      return failure(kStatusObjectNotFound, "the object has no such property");
    }
    return Outcome::success();
  });
}

Outcome Repository::appProperty(std::string_view application, std::string_view property,
                                std::optional<std::string>& out, std::string* componentId) {
  out.reset();
  return guarded(mutex_, [&] {
    Statement s(*db_,
                "SELECT p.value, c.id FROM objects c JOIN properties p ON p.owner = c.key JOIN objects "
                "o ON o.key = p.property WHERE c.type = 'SoftwareComponent' AND c.name = ? "
                "COLLATE NOCASE AND o.name = ? COLLATE NOCASE ORDER BY c.id, p.position LIMIT 1");
    s.bind(1, application).bind(2, property);
    if (!s.step()) {
      return failure(kStatusNoSuchAppProperty, "application '" + std::string(application) +
                                                   "' has no property '" +
                                                   std::string(property) + "'");
    }
    out = s.text(0);
    if (componentId) *componentId = s.text(1);
    return Outcome::success();
  });
}

}  // namespace mdserver
