// The SQLite security store; contract in security_store.h and sqlite_security_store.h.
#include "mdserver/security/sqlite_security_store.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

#include "mdserver/base/ascii_case.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS security_settings(name TEXT PRIMARY KEY, value TEXT NOT NULL)
  WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS permissions(
  position INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  description TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS authorizations(
  position INTEGER PRIMARY KEY,
  target TEXT NOT NULL,
  identity TEXT NOT NULL,
  permission TEXT NOT NULL COLLATE NOCASE,
  grant_flag INTEGER NOT NULL,
  UNIQUE(target, identity, permission));
CREATE TABLE IF NOT EXISTS logins(
  id TEXT PRIMARY KEY,
  user_id TEXT NOT NULL UNIQUE COLLATE NOCASE,
  password_hash TEXT NOT NULL,
  owner TEXT NOT NULL,
  domain TEXT NOT NULL DEFAULT '') WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS template_applications(
  position INTEGER PRIMARY KEY,
  template TEXT NOT NULL,
  target TEXT NOT NULL,
  UNIQUE(template, target));
CREATE INDEX IF NOT EXISTS template_applications_target ON template_applications(target);
)sql";

// Repository files written before templates were objects kept them in tables of their own:
// their rows become AccessControlTemplate objects (Name and Description the object's name and
// description, the other attributes its attributes) and the old tables go. Identifiers stay,
// so entries and applications keyed by them keep their templates.
constexpr const char* kLegacyTemplateMigration = R"sql(
INSERT OR IGNORE INTO types(name) VALUES('AccessControlTemplate');
INSERT INTO objects(id, repository, type, name, description)
  SELECT t.id, r.key, 'AccessControlTemplate',
    coalesce((SELECT value FROM template_attributes a WHERE a.template = t.id AND a.name = 'Name'), ''),
    coalesce((SELECT value FROM template_attributes a WHERE a.template = t.id
              AND a.name = 'Description'), '')
  FROM templates t JOIN repositories r ON r.id = t.repository
  WHERE t.id NOT IN (SELECT id FROM objects) ORDER BY t.id;
INSERT OR IGNORE INTO attributes(object, name, position, value)
  SELECT o.key, a.name, a.position, a.value FROM template_attributes a
  JOIN objects o ON o.id = a.template AND o.type = 'AccessControlTemplate'
  WHERE a.name NOT IN ('Name', 'Description');
DROP TABLE template_attributes;
DROP TABLE templates;
)sql";

// Template objects: the type, and the identifiers newAct hands out ("<repository>.T<7 digits>").
constexpr const char* kIsTemplate = "type = 'AccessControlTemplate'";
constexpr const char* kTemplateIdPattern = ".T[0-9][0-9][0-9][0-9][0-9][0-9][0-9]";

constexpr const char* kIdentityTypes = "('Person', 'IdentityGroup', 'Role')";

// The repository setting (one per repository: the name goes on with its identifier) that keeps
// the last template number handed out.
constexpr const char* kTemplateSerialSetting = "templateSerial.";
constexpr int64_t kLastTemplateNumber = 9999999;

template <typename Body>
Outcome guarded(std::recursive_mutex& mutex, Body&& body) {
  std::lock_guard lock(mutex);
  try {
    body();
    return Outcome::success();
  } catch (const StorageError& error) {
    return {kStatusStorageFailure, error.what()};
  } catch (const std::bad_alloc&) {
    return {kStatusNoMemory, "out of memory"};
  }
}

IdentityRecord readIdentity(const Statement& s) {
  return IdentityRecord{s.text(0), s.text(1), s.text(2), s.text(3)};
}

}  // namespace

SqliteSecurityStore::SqliteSecurityStore(Database& database, std::recursive_mutex& mutex)
    : db_(database), mutex_(mutex) {}

const char* SqliteSecurityStore::schema() { return kSchema; }

bool SqliteSecurityStore::enforced() {
  std::lock_guard lock(mutex_);
  try {
    Statement s(db_, "SELECT 1 FROM authorizations LIMIT 1");
    return s.step();
  } catch (const StorageError&) {
    return true;  // a store that cannot say stays closed rather than open
  }
}

std::string SqliteSecurityStore::setting(std::string_view name) {
  std::lock_guard lock(mutex_);
  try {
    Statement s(db_, "SELECT value FROM security_settings WHERE name = ?");
    s.bind(1, name);
    return s.step() ? s.text(0) : std::string();
  } catch (const StorageError&) {
    return {};
  }
}

Outcome SqliteSecurityStore::identities(std::string_view repositoryId,
                                        std::vector<IdentityRecord>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    Statement s(db_, std::string("SELECT o.id, o.name, o.type, o.description FROM objects o JOIN "
                                 "repositories r ON r.key = o.repository WHERE r.id = ? AND "
                                 "o.type IN ") + kIdentityTypes + " ORDER BY o.id");
    s.bind(1, repositoryId);
    while (s.step()) out.push_back(readIdentity(s));
  });
}

Outcome SqliteSecurityStore::findIdentity(std::string_view idOrName, std::string_view type,
                                          std::optional<IdentityRecord>& out) {
  out.reset();
  return guarded(mutex_, [&] {
    const std::string base = std::string("SELECT id, name, type, description FROM objects WHERE "
                                         "type IN ") + kIdentityTypes;
    {
      Statement s(db_, base + " AND id = ?");
      s.bind(1, idOrName);
      if (s.step()) {
        out = readIdentity(s);
        return;
      }
    }
    Statement s(db_, base + " AND name = ? COLLATE NOCASE AND (? = '' OR type = ?) ORDER BY id "
                            "LIMIT 1");
    s.bind(1, idOrName).bind(2, type).bind(3, type);
    if (s.step()) out = readIdentity(s);
  });
}

Outcome SqliteSecurityStore::directGroups(std::string_view identityId,
                                          std::vector<std::string>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    Statement s(db_,
                std::string("SELECT g.id FROM objects m JOIN associations a ON a.target = m.key "
                            "JOIN objects g ON g.key = a.source WHERE m.id = ?1 AND a.name = "
                            "'MemberIdentities' AND g.type IN ('IdentityGroup', 'Role') UNION "
                            "SELECT g.id FROM objects m JOIN associations a ON a.source = m.key "
                            "JOIN objects g ON g.key = a.target WHERE m.id = ?1 AND a.name = "
                            "'IdentityGroups' AND g.type IN ('IdentityGroup', 'Role')"));
    s.bind(1, identityId);
    while (s.step()) out.push_back(s.text(0));
  });
}

Outcome SqliteSecurityStore::permissions(std::vector<std::string>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    Statement s(db_, "SELECT name FROM permissions ORDER BY position");
    while (s.step()) out.push_back(s.text(0));
  });
}

Outcome SqliteSecurityStore::entries(std::string_view target, std::vector<AccessEntry>& out) {
  out.clear();
  return guarded(mutex_, [&] { readEntries(target, out); });
}

Outcome SqliteSecurityStore::apply(const std::vector<AuthorizationChange>& changes) {
  return guarded(mutex_, [&] {
    std::shared_ptr<LevelChange> made;
    Transaction transaction(db_);
    const uint64_t before = db_.changeCount();
    // The targets whose levels this apply may change, to be read again before the commit.
    std::vector<std::string> touched;
    bool templatesChanged = false;
    for (const AuthorizationChange& change : changes) {
      const AccessEntry& e = change.entry;
      switch (change.kind) {
        case AuthorizationChange::Kind::kRemove:
          touched.push_back(e.target);
          Statement(db_, "DELETE FROM authorizations WHERE target = ? AND identity = ? AND "
                         "permission = ?")
              .bind(1, e.target)
              .bind(2, e.identityId)
              .bind(3, e.permission)
              .run();
          break;
        case AuthorizationChange::Kind::kSet:
          // An entry staged before its target or its identity was deleted is dropped: deleting
          // either takes its entries along, and this one would otherwise outlive it.
          touched.push_back(e.target);
          if (targetExists(e.target) && identityExists(e.identityId)) addEntry(e);
          break;
        case AuthorizationChange::Kind::kDeleteTemplate: {
          // Its entries, its applications and the applications of it go with it.
          templatesChanged = true;
          touched.push_back(change.templateId);
          Statement s(db_, "SELECT DISTINCT target FROM template_applications WHERE template = ?");
          s.bind(1, change.templateId);
          while (s.step()) touched.push_back(s.text(0));
          applyTemplateChange(change);
          break;
        }
        case AuthorizationChange::Kind::kCreateTemplate:
          templatesChanged = true;
          applyTemplateChange(change);
          break;
        case AuthorizationChange::Kind::kApplyTemplate:
        case AuthorizationChange::Kind::kRemoveTemplate:
          touched.push_back(change.target);
          applyTemplateChange(change);
          break;
        default:
          applyTemplateChange(change);
          break;
      }
    }
    // What the levels of the touched targets are now, read where nothing but this transaction
    // can have changed them since `before`: kept decisions built at `before` are patched with it
    // instead of reading everything again.
    if (before != 0 && db_.movedOnlyByThisTransaction(before)) {
      made = std::make_shared<LevelChange>();
      made->before = before;
      made->after = db_.changeCount();
      std::sort(touched.begin(), touched.end());
      touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
      for (const std::string& target : touched) {
        std::vector<AccessEntry> entries;
        readEntries(target, entries);
        made->entries.emplace_back(target, std::move(entries));
        std::vector<std::string> applied;
        readApplications(target, applied);
        made->applications.emplace_back(target, std::move(applied));
      }
      made->templatesChanged = templatesChanged;
      if (templatesChanged) made->templateIds = templateIds();
    }
    transaction.commit();
    // Kept once committed, still under the lock, so the changes stay in the order committed.
    // Only the last few: a reader that fell further behind reads everything again anyway.
    if (made) {
      if (levelChanges_.size() == kKeptLevelChanges) levelChanges_.erase(levelChanges_.begin());
      levelChanges_.push_back(std::move(made));
    }
  });
}

bool SqliteSecurityStore::levelChangesBetween(uint64_t from, uint64_t to,
                                              std::vector<std::shared_ptr<const LevelChange>>& out) {
  out.clear();
  if (from == 0 || to == 0) return false;
  std::lock_guard lock(mutex_);
  uint64_t at = from;
  for (const std::shared_ptr<const LevelChange>& change : levelChanges_) {
    if (at == to) break;
    if (change->before != at) continue;  // older, or after a write that left no change here
    out.push_back(change);
    at = change->after;
  }
  if (at == to && !out.empty()) return true;
  out.clear();
  return false;
}

void SqliteSecurityStore::readEntries(std::string_view target, std::vector<AccessEntry>& out) {
  Statement s(db_,
              "SELECT a.target, a.identity, coalesce(p.name, a.permission), a.grant_flag FROM "
              "authorizations a LEFT JOIN permissions p ON p.name = a.permission WHERE "
              "a.target = ? ORDER BY a.position");
  s.bind(1, target);
  while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2), s.integer(3) != 0});
}

void SqliteSecurityStore::readApplications(std::string_view target, std::vector<std::string>& out) {
  Statement s(db_, "SELECT template FROM template_applications WHERE target = ? ORDER BY "
                   "position");
  s.bind(1, target);
  while (s.step()) out.push_back(s.text(0));
}

std::vector<std::string> SqliteSecurityStore::templateIds() {
  std::vector<std::string> ids;
  Statement s(db_, std::string("SELECT id FROM objects WHERE ") + kIsTemplate);
  while (s.step()) ids.push_back(s.text(0));
  return ids;
}

Outcome SqliteSecurityStore::findLogin(std::string_view userId, std::optional<LoginRecord>& out) {
  out.reset();
  return guarded(mutex_, [&] {
    Statement s(db_, "SELECT id, user_id, password_hash, owner, domain FROM logins WHERE "
                     "user_id = ?");
    s.bind(1, userId);
    if (s.step()) out = LoginRecord{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4)};
  });
}

Outcome SqliteSecurityStore::logins(std::vector<LoginRecord>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    Statement s(db_, "SELECT id, user_id, password_hash, owner, domain FROM logins ORDER BY "
                     "user_id COLLATE NOCASE");
    while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2), s.text(3), s.text(4)});
  });
}

void SqliteSecurityStore::migrate(Database& database) {
  {
    // Reset before the tables are dropped: SQLite does not drop a table a statement is reading.
    Statement legacy(database, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = "
                               "'template_attributes'");
    if (!legacy.step()) return;
  }
  Transaction transaction(database);
  database.execute(kLegacyTemplateMigration);
  transaction.commit();
}

bool SqliteSecurityStore::targetExists(std::string_view id) {
  Statement s(db_, "SELECT EXISTS (SELECT 1 FROM objects WHERE id = ?1) OR EXISTS (SELECT 1 FROM "
                   "repositories WHERE id = ?1)");
  s.bind(1, id);
  return s.step() && s.integer(0) != 0;
}

bool SqliteSecurityStore::objectExists(std::string_view id) {
  Statement s(db_, "SELECT 1 FROM objects WHERE id = ?");
  s.bind(1, id);
  return s.step();
}

bool SqliteSecurityStore::identityExists(std::string_view id) {
  if (id == kEverybodyId || id == kAuthenticatedId) return true;
  Statement s(db_, std::string("SELECT 1 FROM objects WHERE id = ? AND type IN ") + kIdentityTypes);
  s.bind(1, id);
  return s.step();
}

int64_t SqliteSecurityStore::templateKey(std::string_view id) {
  Statement s(db_, std::string("SELECT key FROM objects WHERE id = ? AND ") + kIsTemplate);
  s.bind(1, id);
  return s.step() ? s.integer(0) : 0;
}

void SqliteSecurityStore::addTemplate(const TemplateRecord& record) {
  if (templateKey(record.id) != 0) {
    for (const auto& [name, value] : record.attributes) setTemplateAttribute(record.id, name, value);
    return;
  }
  // Templates are objects: their type belongs in the namespace like any other.
  Statement(db_, "INSERT OR IGNORE INTO types(name) VALUES(?)").bind(1, kTemplateType).run();
  Statement insert(db_, "INSERT INTO objects(id, repository, type, name, description) SELECT ?, "
                        "key, ?, ?, ? FROM repositories WHERE id = ?");
  insert.bind(1, record.id)
      .bind(2, kTemplateType)
      .bind(3, record.name())
      .bind(4, record.description())
      .bind(5, record.repositoryId)
      .run();
  if (db_.changes() == 0) db_.fail("no repository '" + record.repositoryId + "' for template " + record.id);
  for (const auto& [name, value] : record.attributes) {
    if (equalNoCase(name, kTemplateNameAttribute) || equalNoCase(name, kTemplateDescriptionAttribute)) {
      continue;
    }
    setTemplateAttribute(record.id, name, value);
  }
}

void SqliteSecurityStore::setTemplateAttribute(std::string_view id, std::string_view name,
                                               std::string_view value) {
  // Name and Description are the object's own name and description; the others its attributes.
  if (equalNoCase(name, kTemplateNameAttribute) || equalNoCase(name, kTemplateDescriptionAttribute)) {
    const std::string sql =
        std::string("UPDATE objects SET ") +
        (equalNoCase(name, kTemplateNameAttribute) ? "name" : "description") +
        " = ? WHERE id = ? AND " + kIsTemplate;
    Statement(db_, sql).bind(1, value).bind(2, id).run();
    return;
  }
  const int64_t key = templateKey(id);
  if (key == 0) return;  // deleted meanwhile: nothing left to set
  if (value.empty()) {
    Statement(db_, "DELETE FROM attributes WHERE object = ? AND name = ?")
        .bind(1, key)
        .bind(2, name)
        .run();
    return;
  }
  Statement(db_, "INSERT INTO attributes(object, name, position, value) VALUES(?1, ?2, (SELECT "
                 "coalesce(max(position), 0) + 1 FROM attributes WHERE object = ?1), ?3) ON "
                 "CONFLICT(object, name) DO UPDATE SET value = excluded.value")
      .bind(1, key)
      .bind(2, name)
      .bind(3, value)
      .run();
}

void SqliteSecurityStore::addApplication(std::string_view id, std::string_view target) {
  // Only a template that exists, to a repository or object that exists: a change staged before
  // either was deleted leaves no dangling application when it is committed.
  Statement(db_, std::string("INSERT OR IGNORE INTO template_applications(template, target) "
                             "SELECT ?1, ?2 WHERE EXISTS (SELECT 1 FROM objects WHERE id = ?1 AND ") +
                     kIsTemplate + ") AND (EXISTS (SELECT 1 FROM objects WHERE id = ?2) OR EXISTS "
                                   "(SELECT 1 FROM repositories WHERE id = ?2))")
      .bind(1, id)
      .bind(2, target)
      .run();
}

void SqliteSecurityStore::deleteTemplate(std::string_view id) {
  const int64_t key = templateKey(id);
  if (key != 0) {
    // As the repository deletes any object: its properties go with it, its attributes and
    // links by cascade.
    Statement(db_, "DELETE FROM objects WHERE key IN (SELECT property FROM properties WHERE "
                   "owner = ?)")
        .bind(1, key)
        .run();
    Statement(db_, "DELETE FROM objects WHERE key = ?").bind(1, key).run();
  }
  for (const char* sql : {"DELETE FROM template_applications WHERE template = ?1 OR target = ?1",
                          "DELETE FROM authorizations WHERE target = ?1"}) {
    Statement(db_, sql).bind(1, id).run();
  }
}

void SqliteSecurityStore::applyTemplateChange(const AuthorizationChange& change) {
  using Kind = AuthorizationChange::Kind;
  const std::string& id = change.templateId;
  switch (change.kind) {
    case Kind::kCreateTemplate:
      // A creation never merges into what is there: an identifier taken meanwhile (it cannot
      // be, numbers are reserved) fails the whole commit rather than join two templates.
      if (objectExists(change.templateRecord.id)) {
        db_.fail("the identifier " + change.templateRecord.id + " of a new template is taken");
      }
      addTemplate(change.templateRecord);
      break;
    case Kind::kDeleteTemplate:
      deleteTemplate(id);
      break;
    case Kind::kSetTemplateAttribute:
      setTemplateAttribute(id, change.attribute.first, change.attribute.second);
      break;
    case Kind::kApplyTemplate:
      addApplication(id, change.target);
      break;
    case Kind::kRemoveTemplate:
      Statement(db_, "DELETE FROM template_applications WHERE template = ? AND target = ?")
          .bind(1, id)
          .bind(2, change.target)
          .run();
      break;
    default:
      break;
  }
}

Outcome SqliteSecurityStore::templates(std::string_view repositoryId,
                                       std::vector<TemplateRecord>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    Statement s(db_, std::string("SELECT o.key, o.id, o.name, o.description FROM objects o JOIN "
                                 "repositories r ON r.key = o.repository WHERE r.id = ? AND o.") +
                         kIsTemplate + " ORDER BY o.id");
    s.bind(1, repositoryId);
    std::vector<std::pair<int64_t, TemplateRecord>> found;
    while (s.step()) {
      found.emplace_back(s.integer(0), TemplateRecord{s.text(1), std::string(repositoryId), {}});
      readTemplateHead(found.back().second, s.text(2), s.text(3));
    }
    for (auto& [key, record] : found) {
      readTemplateAttributes(key, record);
      out.push_back(std::move(record));
    }
  });
}

void SqliteSecurityStore::readTemplateHead(TemplateRecord& record, std::string name,
                                           std::string description) {
  // A blank name or description is no attribute, as a blank value removes any other (a template
  // made as a bare object through the object functions may have neither).
  if (!name.empty()) record.attributes.emplace_back(std::string(kTemplateNameAttribute), std::move(name));
  if (!description.empty()) {
    record.attributes.emplace_back(std::string(kTemplateDescriptionAttribute),
                                   std::move(description));
  }
}

void SqliteSecurityStore::readTemplateAttributes(int64_t key, TemplateRecord& record) {
  // After Name and Description, the others in the order they were first set. A stored
  // attribute of either name (set through the object functions) cannot shadow the object's own.
  Statement s(db_, "SELECT name, value FROM attributes WHERE object = ? AND name NOT IN ('Name', "
                   "'Description') ORDER BY position");
  s.bind(1, key);
  while (s.step()) record.attributes.emplace_back(s.text(0), s.text(1));
}

Outcome SqliteSecurityStore::findTemplate(std::string_view idOrName,
                                          std::optional<TemplateRecord>& out) {
  out.reset();
  if (idOrName.empty()) return Outcome::success();  // a blank reference names no template
  return guarded(mutex_, [&] {
    const std::string columns =
        std::string("SELECT o.key, o.id, r.id, o.name, o.description FROM objects o JOIN "
                    "repositories r ON r.key = o.repository WHERE o.") + kIsTemplate;
    auto readFrom = [&](Statement& s) {
      if (!s.step()) return false;
      TemplateRecord record{s.text(1), s.text(2), {}};
      readTemplateHead(record, s.text(3), s.text(4));
      const int64_t key = s.integer(0);
      readTemplateAttributes(key, record);
      out = std::move(record);
      return true;
    };
    {
      Statement s(db_, columns + " AND o.id = ?");
      s.bind(1, idOrName);
      if (readFrom(s)) return;
    }
    Statement s(db_, columns + " AND o.name = ? COLLATE NOCASE ORDER BY o.id LIMIT 1");
    s.bind(1, idOrName);
    readFrom(s);
  });
}

Outcome SqliteSecurityStore::applications(std::string_view target, std::vector<std::string>& out) {
  out.clear();
  return guarded(mutex_, [&] { readApplications(target, out); });
}

Outcome SqliteSecurityStore::objectsWithOwnLevels(
    std::vector<std::pair<std::string, std::string>>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    Statement s(db_, "SELECT o.id, o.type FROM objects o WHERE o.id IN (SELECT target FROM "
                     "authorizations) OR o.id IN (SELECT target FROM template_applications) "
                     "ORDER BY o.id");
    while (s.step()) out.emplace_back(s.text(0), s.text(1));
  });
}

Outcome SqliteSecurityStore::allLevels(SecurityLevels& out) {
  out = SecurityLevels{};
  return guarded(mutex_, [&] {
    {
      Statement s(db_,
                  "SELECT a.target, a.identity, coalesce(p.name, a.permission), a.grant_flag FROM "
                  "authorizations a LEFT JOIN permissions p ON p.name = a.permission ORDER BY "
                  "a.position");
      while (s.step()) out.entries.push_back({s.text(0), s.text(1), s.text(2), s.integer(3) != 0});
    }
    {
      Statement s(db_, "SELECT target, template FROM template_applications ORDER BY position");
      while (s.step()) out.applications.emplace_back(s.text(0), s.text(1));
    }
    out.templateIds = templateIds();
  });
}

Outcome SqliteSecurityStore::lastTemplateNumber(std::string_view repositoryId, int64_t& out) {
  out = 0;
  return guarded(mutex_, [&] {
    // Every object of the template identifier shape counts, template or not, so that a new
    // template never takes an identifier a seed gave to another object.
    Statement s(db_, "SELECT coalesce(max(CAST(substr(id, 11) AS INTEGER)), 0) FROM objects "
                     "WHERE id GLOB ?");
    s.bind(1, std::string(repositoryId) + kTemplateIdPattern);
    if (s.step()) out = s.integer(0);
  });
}

Outcome SqliteSecurityStore::reserveTemplateNumber(std::string_view repositoryId, int64_t& out) {
  out = 0;
  return guarded(mutex_, [&] {
    // Taken in a write transaction of its own, so that two processes never get one number, and
    // recorded, so that a number once handed out never comes back, not even after its template
    // was deleted: a change staged for the deleted template would otherwise land on the next.
    Transaction transaction(db_);
    const std::string key = std::string(kTemplateSerialSetting) + std::string(repositoryId);
    int64_t last = 0;
    {
      Statement s(db_, "SELECT value FROM settings WHERE name = ?");
      s.bind(1, key);
      if (s.step()) last = std::strtoll(s.text(0).c_str(), nullptr, 10);
    }
    {
      // Objects of the template identifier shape count too (seeds may have made them).
      Statement s(db_, "SELECT coalesce(max(CAST(substr(id, 11) AS INTEGER)), 0) FROM objects "
                       "WHERE id GLOB ?");
      s.bind(1, std::string(repositoryId) + kTemplateIdPattern);
      if (s.step()) last = std::max(last, s.integer(0));
    }
    if (last >= kLastTemplateNumber) {
      db_.fail("repository " + std::string(repositoryId) + " has used every template identifier");
    }
    Statement(db_, "INSERT INTO settings(name, value) VALUES(?, ?) ON CONFLICT(name) DO UPDATE "
                   "SET value = excluded.value")
        .bind(1, key)
        .bind(2, std::to_string(last + 1))
        .run();
    transaction.commit();
    out = last + 1;
  });
}

std::vector<std::pair<std::string, std::string>> SqliteSecurityStore::allApplications() {
  std::vector<std::pair<std::string, std::string>> out;
  Statement s(db_, "SELECT template, target FROM template_applications ORDER BY position");
  while (s.step()) out.emplace_back(s.text(0), s.text(1));
  return out;
}

std::vector<TemplateRecord> SqliteSecurityStore::allTemplates() {
  std::vector<TemplateRecord> out;
  std::vector<std::string> repositories;
  {
    Statement s(db_, "SELECT id FROM repositories ORDER BY key");
    while (s.step()) repositories.push_back(s.text(0));
  }
  for (const std::string& repository : repositories) {
    std::vector<TemplateRecord> some;
    Outcome read = templates(repository, some);
    if (!read.ok()) db_.fail(read.message);
    for (TemplateRecord& record : some) out.push_back(std::move(record));
  }
  return out;
}

void SqliteSecurityStore::setSetting(std::string_view name, std::string_view value) {
  Statement(db_, "INSERT INTO security_settings(name, value) VALUES(?, ?) ON CONFLICT(name) DO "
                 "UPDATE SET value = excluded.value")
      .bind(1, name)
      .bind(2, value)
      .run();
}

void SqliteSecurityStore::addPermission(std::string_view name, std::string_view description) {
  Statement(db_, "INSERT INTO permissions(name, description) VALUES(?, ?) ON CONFLICT(name) DO "
                 "UPDATE SET description = excluded.description")
      .bind(1, name)
      .bind(2, description)
      .run();
}

void SqliteSecurityStore::addEntry(const AccessEntry& e) {
  // A new decision for the same target, identity and permission replaces the old one in place.
  Statement(db_, "INSERT INTO authorizations(target, identity, permission, grant_flag) VALUES(?, "
                 "?, ?, ?) ON CONFLICT(target, identity, permission) DO UPDATE SET grant_flag = "
                 "excluded.grant_flag")
      .bind(1, e.target)
      .bind(2, e.identityId)
      .bind(3, e.permission)
      .bind(4, int64_t{e.grant ? 1 : 0})
      .run();
}

void SqliteSecurityStore::addLogin(const LoginRecord& login) {
  Statement(db_, "INSERT INTO logins(id, user_id, password_hash, owner, domain) VALUES(?, ?, ?, ?, "
                 "?)")
      .bind(1, login.id)
      .bind(2, login.userId)
      .bind(3, login.passwordHash)
      .bind(4, login.ownerId)
      .bind(5, login.domain)
      .run();
}

std::vector<SqliteSecurityStore::PermissionRow> SqliteSecurityStore::permissionRows() {
  std::vector<PermissionRow> out;
  Statement s(db_, "SELECT name, description FROM permissions ORDER BY position");
  while (s.step()) out.push_back({s.text(0), s.text(1)});
  return out;
}

std::vector<std::pair<std::string, std::string>> SqliteSecurityStore::settings() {
  std::vector<std::pair<std::string, std::string>> out;
  Statement s(db_, "SELECT name, value FROM security_settings ORDER BY name");
  while (s.step()) out.emplace_back(s.text(0), s.text(1));
  return out;
}

std::vector<AccessEntry> SqliteSecurityStore::allEntries() {
  std::vector<AccessEntry> out;
  Statement s(db_, "SELECT target, identity, permission, grant_flag FROM authorizations ORDER BY "
                   "position");
  while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2), s.integer(3) != 0});
  return out;
}

}  // namespace mdserver
