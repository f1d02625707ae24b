// The SQLite security store; contract in security_store.h and sqlite_security_store.h.
#include "mdserver/sqlite_security_store.h"

#include <cctype>
#include <string>

#include "mdserver/ascii_case.h"
#include "mdserver/sqlite_database.h"
#include "mdserver/status_codes.h"

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
CREATE TABLE IF NOT EXISTS templates(
  id TEXT PRIMARY KEY,
  repository TEXT NOT NULL,
  number INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS template_attributes(
  position INTEGER PRIMARY KEY,
  template TEXT NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  value TEXT NOT NULL,
  UNIQUE(template, name));
CREATE TABLE IF NOT EXISTS template_applications(
  position INTEGER PRIMARY KEY,
  template TEXT NOT NULL,
  target TEXT NOT NULL,
  UNIQUE(template, target));
CREATE INDEX IF NOT EXISTS template_applications_target ON template_applications(target);
)sql";

constexpr const char* kIdentityTypes = "('Person', 'IdentityGroup', 'Role')";

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
  return guarded(mutex_, [&] {
    Statement s(db_,
                "SELECT a.target, a.identity, coalesce(p.name, a.permission), a.grant_flag FROM "
                "authorizations a LEFT JOIN permissions p ON p.name = a.permission WHERE "
                "a.target = ? ORDER BY a.position");
    s.bind(1, target);
    while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2), s.integer(3) != 0});
  });
}

Outcome SqliteSecurityStore::apply(const std::vector<AuthorizationChange>& changes) {
  return guarded(mutex_, [&] {
    Transaction transaction(db_);
    for (const AuthorizationChange& change : changes) {
      const AccessEntry& e = change.entry;
      switch (change.kind) {
        case AuthorizationChange::Kind::kRemove:
          Statement(db_, "DELETE FROM authorizations WHERE target = ? AND identity = ? AND "
                         "permission = ?")
              .bind(1, e.target)
              .bind(2, e.identityId)
              .bind(3, e.permission)
              .run();
          break;
        case AuthorizationChange::Kind::kSet:
          addEntry(e);
          break;
        default:
          applyTemplateChange(change);
          break;
      }
    }
    transaction.commit();
  });
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

void SqliteSecurityStore::addTemplate(const TemplateRecord& record) {
  const int64_t number = std::stoll(record.id.substr(10));
  Statement(db_, "INSERT INTO templates(id, repository, number) VALUES(?, ?, ?)")
      .bind(1, record.id)
      .bind(2, record.repositoryId)
      .bind(3, number)
      .run();
  for (const auto& [name, value] : record.attributes) setTemplateAttribute(record.id, name, value);
}

void SqliteSecurityStore::setTemplateAttribute(std::string_view id, std::string_view name,
                                               std::string_view value) {
  if (value.empty() && !(name.size() == 4 && equalNoCase(name, kTemplateNameAttribute))) {
    Statement(db_, "DELETE FROM template_attributes WHERE template = ? AND name = ?")
        .bind(1, id)
        .bind(2, name)
        .run();
    return;
  }
  Statement(db_, "INSERT INTO template_attributes(template, name, value) VALUES(?, ?, ?) ON "
                 "CONFLICT(template, name) DO UPDATE SET value = excluded.value")
      .bind(1, id)
      .bind(2, name)
      .bind(3, value)
      .run();
}

void SqliteSecurityStore::addApplication(std::string_view id, std::string_view target) {
  Statement(db_, "INSERT OR IGNORE INTO template_applications(template, target) VALUES(?, ?)")
      .bind(1, id)
      .bind(2, target)
      .run();
}

void SqliteSecurityStore::applyTemplateChange(const AuthorizationChange& change) {
  using Kind = AuthorizationChange::Kind;
  const std::string& id = change.templateId;
  switch (change.kind) {
    case Kind::kCreateTemplate:
      addTemplate(change.templateRecord);
      break;
    case Kind::kDeleteTemplate:
      for (const char* sql : {"DELETE FROM templates WHERE id = ?",
                              "DELETE FROM template_attributes WHERE template = ?",
                              "DELETE FROM template_applications WHERE template = ?",
                              "DELETE FROM authorizations WHERE target = ?"}) {
        Statement(db_, sql).bind(1, id).run();
      }
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
    Statement s(db_, "SELECT id FROM templates WHERE repository = ? ORDER BY id");
    s.bind(1, repositoryId);
    std::vector<std::string> ids;
    while (s.step()) ids.push_back(s.text(0));
    for (const std::string& id : ids) out.push_back(readTemplate(id, repositoryId));
  });
}

TemplateRecord SqliteSecurityStore::readTemplate(std::string_view id,
                                                 std::string_view repositoryId) {
  TemplateRecord record{std::string(id), std::string(repositoryId), {}};
  // Name and Description first, then the others in the order they were first set.
  Statement s(db_, "SELECT name, value FROM template_attributes WHERE template = ? ORDER BY "
                   "CASE lower(name) WHEN 'name' THEN 0 WHEN 'description' THEN 1 ELSE 2 END, "
                   "position");
  s.bind(1, id);
  while (s.step()) record.attributes.emplace_back(s.text(0), s.text(1));
  return record;
}

Outcome SqliteSecurityStore::findTemplate(std::string_view idOrName,
                                          std::optional<TemplateRecord>& out) {
  out.reset();
  return guarded(mutex_, [&] {
    std::string id;
    std::string repository;
    {
      Statement s(db_, "SELECT id, repository FROM templates WHERE id = ?");
      s.bind(1, idOrName);
      if (s.step()) {
        id = s.text(0);
        repository = s.text(1);
      }
    }
    if (id.empty()) {
      Statement s(db_, "SELECT t.id, t.repository FROM templates t JOIN template_attributes a ON "
                       "a.template = t.id WHERE a.name = 'Name' AND a.value = ? COLLATE NOCASE "
                       "ORDER BY t.id LIMIT 1");
      s.bind(1, idOrName);
      if (s.step()) {
        id = s.text(0);
        repository = s.text(1);
      }
    }
    if (!id.empty()) out = readTemplate(id, repository);
  });
}

Outcome SqliteSecurityStore::applications(std::string_view target, std::vector<std::string>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    Statement s(db_, "SELECT template FROM template_applications WHERE target = ? ORDER BY "
                     "position");
    s.bind(1, target);
    while (s.step()) out.push_back(s.text(0));
  });
}

Outcome SqliteSecurityStore::lastTemplateNumber(std::string_view repositoryId, int64_t& out) {
  out = 0;
  return guarded(mutex_, [&] {
    Statement s(db_, "SELECT coalesce(max(number), 0) FROM templates WHERE repository = ?");
    s.bind(1, repositoryId);
    if (s.step()) out = s.integer(0);
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
  std::vector<std::pair<std::string, std::string>> ids;
  {
    Statement s(db_, "SELECT id, repository FROM templates ORDER BY id");
    while (s.step()) ids.emplace_back(s.text(0), s.text(1));
  }
  for (const auto& [id, repository] : ids) out.push_back(readTemplate(id, repository));
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
