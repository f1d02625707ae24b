// The security model's storage in the repository's SQLite database: tables permissions,
// authorizations, logins, security_settings and template_applications beside the object tables
// (identities and access control templates are objects). Shares the repository's connection and
// lock.
//
// The seed methods (add*, setSetting) write inside a transaction the caller holds (the seed
// import's); apply() opens its own.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "mdserver/security/security_store.h"

namespace mdserver {

class Database;

class SqliteSecurityStore final : public SecurityStore {
 public:
  SqliteSecurityStore(Database& database, std::recursive_mutex& mutex);
  static const char* schema();
  // Brings a repository file of an earlier layout up to this one (after schema()); throws
  // StorageError.
  static void migrate(Database& database);

  bool enforced() override;
  std::string setting(std::string_view name) override;
  Outcome identities(std::string_view repositoryId, std::vector<IdentityRecord>& out) override;
  Outcome findIdentity(std::string_view idOrName, std::string_view type,
                       std::optional<IdentityRecord>& out) override;
  Outcome directGroups(std::string_view identityId, std::vector<std::string>& out) override;
  Outcome permissions(std::vector<std::string>& out) override;
  Outcome entries(std::string_view target, std::vector<AccessEntry>& out) override;
  Outcome apply(const std::vector<AuthorizationChange>& changes) override;
  Outcome findLogin(std::string_view userId, std::optional<LoginRecord>& out) override;
  Outcome logins(std::vector<LoginRecord>& out) override;
  Outcome templates(std::string_view repositoryId, std::vector<TemplateRecord>& out) override;
  Outcome findTemplate(std::string_view idOrName, std::optional<TemplateRecord>& out) override;
  Outcome applications(std::string_view target, std::vector<std::string>& out) override;
  Outcome lastTemplateNumber(std::string_view repositoryId, int64_t& out) override;
  Outcome objectsWithOwnLevels(std::vector<std::pair<std::string, std::string>>& out) override;
  Outcome allLevels(SecurityLevels& out) override;
  bool levelChangesBetween(uint64_t from, uint64_t to,
                           std::vector<std::shared_ptr<const LevelChange>>& out) override;
  Outcome reserveTemplateNumber(std::string_view repositoryId, int64_t& out) override;

  // Seed import and export (caller holds the lock and, for writes, a transaction). Throw
  // StorageError.
  void setSetting(std::string_view name, std::string_view value);
  void addPermission(std::string_view name, std::string_view description);
  void addEntry(const AccessEntry& entry);
  void addLogin(const LoginRecord& login);
  struct PermissionRow {
    std::string name;
    std::string description;
  };
  std::vector<PermissionRow> permissionRows();
  std::vector<std::pair<std::string, std::string>> settings();
  std::vector<AccessEntry> allEntries();
  // A new template object, or, when an object of that identifier is a template already (a seed
  // lists it among its objects), the attributes given set on it.
  void addTemplate(const TemplateRecord& record);
  int64_t templateKey(std::string_view id);  // 0: no template object of that identifier
  void addApplication(std::string_view templateId, std::string_view target);
  std::vector<TemplateRecord> allTemplates();
  std::vector<std::pair<std::string, std::string>> allApplications();  // (template, target)
  // A built-in identity, or a stored Person, IdentityGroup or Role of that identifier.
  bool identityExists(std::string_view id);

 private:
  void setTemplateAttribute(std::string_view id, std::string_view name, std::string_view value);
  void applyTemplateChange(const AuthorizationChange& change);
  void deleteTemplate(std::string_view id);
  bool targetExists(std::string_view id);  // a repository or object of that identifier
  bool objectExists(std::string_view id);
  static void readTemplateHead(TemplateRecord& record, std::string name, std::string description);
  void readTemplateAttributes(int64_t key, TemplateRecord& record);
  void readEntries(std::string_view target, std::vector<AccessEntry>& out);
  void readApplications(std::string_view target, std::vector<std::string>& out);
  std::vector<std::string> templateIds();
  Database& db_;
  std::recursive_mutex& mutex_;
  // What the last applies left on the levels (LevelChange), oldest first; under mutex_.
  static constexpr size_t kKeptLevelChanges = 16;
  std::vector<std::shared_ptr<const LevelChange>> levelChanges_;
};

}  // namespace mdserver
