// The metadata repository: repositories of typed objects with ordered attributes, properties
// and named, ordered associations, a type namespace, the server's version and paused state, all
// kept in SQLite (in memory by default, or a file in WAL mode).
//
// Thread safety: every public member locks the repository, so the interfaces of several host
// sessions may share one Repository. Objects are addressed by their 17-character identifier
// ("REPOID08.ABCDEFGH"); a name or type compares without regard to case unless noted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "frame/host_abi.h"
#include "mdserver/base/outcome.h"
#include "mdserver/query/object_uri.h"

struct sqlite3;

namespace mdserver {

class Database;
class Statement;
class SecurityStore;
class AuditStore;
class SqliteSecurityStore;
struct ReadableSet;

struct RepositoryInfo {
  int64_t key = 0;
  std::string id;  // 8 characters
  std::string name;
  std::string description;
};

struct ObjectRow {
  int64_t key = 0;
  std::string id;
  std::string type;
  std::string name;
  std::string description;
};

struct PropertyRow {
  std::string id;
  std::string name;
  std::string value;
};

// What a new object starts with (bulk loading and seed import).
struct ObjectDraft {
  std::string repository;  // identifier of its repository
  std::string type;
  std::string id;          // empty: generated
  std::string name;
  std::string description;
  std::vector<std::pair<std::string, std::string>> attributes;  // in order
};

// The five ways setAssociation changes an association (flag values of the interface).
enum class AssociationMode : int32_t {
  kAppend = 2,    // add the targets at the end; refused if one is already associated
  kMerge = 4,     // add the targets not yet associated, at the end; the others stay
  kModify = 8,    // keep exactly the targets: present ones keep their place, new ones go last
  kReplace = 16,  // the association becomes the targets in the order given
  kRemove = 32,   // drop the targets that are associated; others are ignored
};

// What a caller may do with links, asked by the association changes inside their own storage
// transaction, so that it decides on the very state the change rewrites (the client interface's
// enforcement; a member left empty restricts nothing).
struct LinkGuard {
  // Whether the caller sees the object. Changes act on the links to objects it sees and keep
  // every other link where it is; an object it does not see is no target (as if it did not
  // exist).
  std::function<bool(const ObjectRow& object)> sees;
  // The change rewrites `other`'s list too: the other side of a paired association.
  std::function<Outcome(const ObjectRow& other)> mayRewrite;
  // A membership link comes or goes: `group` lists `member` in MemberIdentities, or `member`
  // lists `group` in IdentityGroups (either side counts, so both are a membership).
  std::function<Outcome(const ObjectRow& group, const ObjectRow& member)> mayChangeMembership;
};

// What a seed import stored: objects (properties not counted), properties, and association
// links (one per target named).
struct SeedSummary {
  uint64_t objects = 0;
  uint64_t properties = 0;
  uint64_t associations = 0;
};

// Told now and then how far an import or export has come: for an import, bytes of the seed read
// of the total (the file is read twice, so the total is twice its size); for an export, objects
// written of the total.
using SeedProgress = std::function<void(uint64_t done, uint64_t total)>;

// What an import does with a repository that already holds something.
enum class SeedMode {
  kAdd,      // adds to it; an identifier already in use (object or repository) is refused
  kReplace,  // empties it first (objects, repositories, types, settings, security data)
  kMerge,    // objects and repositories matched by identifier are updated, the rest added
};

struct SeedImportOptions {
  SeedMode mode = SeedMode::kAdd;
  // Checks the whole file and reports every problem it finds, storing nothing.
  bool dryRun = false;
  SeedProgress progress;
};

// What an import stored (or, for a dry run, would have stored), and for a dry run every problem
// found, each "FILE:LINE:COLUMN: reason".
struct SeedReport {
  SeedSummary summary;
  std::vector<std::string> problems;
};

// What an export wrote.
struct SeedExportSummary {
  uint64_t objects = 0;  // not counting properties
  uint64_t properties = 0;
  uint64_t associations = 0;
};

class Repository {
 public:
  // Opens (creating if needed) a repository; path empty = in memory, "postgresql://..." a
  // PostgreSQL database (a libpq connection URI), anything else an SQLite file. Null with
  // *error on failure; the error never repeats a password the location holds.
  static std::unique_ptr<Repository> open(const std::string& path, std::string* error = nullptr);
  ~Repository();

  // Server-wide facts.
  double serverVersion();
  int32_t paused();
  Outcome setServerVersion(double version);
  Outcome setPaused(int32_t paused);

  // Type namespace "RUX": ordered type names.
  std::vector<std::string> typeNames();
  Outcome addType(std::string_view name);  // already present: success, order unchanged

  // Repositories, in creation order; the first is the default repository.
  std::vector<RepositoryInfo> repositories();
  Outcome addRepository(std::string_view id, std::string_view name, std::string_view description);
  std::optional<RepositoryInfo> repositoryById(std::string_view id);
  std::optional<RepositoryInfo> repositoryByName(std::string_view name);
  // Empty text: the default one; otherwise an identifier or a name.
  std::optional<RepositoryInfo> repositoryByReference(std::string_view reference);

  // Resolution of object URIs and queries; repositoryKey 0 = every repository. A malformed URI
  // gives kStatusMalformedUri with the position in message; no object gives kStatusNoMatch.
  // A query that needs more than the work limit (SQLite virtual machine steps) is stopped and
  // gives kStatusQueryTooCostly; nothing it read is returned.
  // readable (when given): only the objects of the set exist for the query, at every step
  // (object_uri.h); the interface passes its principal's set, so hidden objects neither come
  // back nor make a condition true.
  Outcome resolve(std::string_view uri, int64_t repositoryKey, std::vector<ObjectRow>& out,
                  const ReadableSet* readable = nullptr);
  static constexpr int64_t kDefaultQueryWorkLimit = 200'000'000;
  void setQueryWorkLimit(int64_t steps) { queryWorkLimit_ = steps; }

  // Folder look-up: "/A/B/Name" over Tree objects linked by "SubTrees"; the last step also
  // looks at "Members". type empty = any. Success with an empty result when nothing is found.
  // readable (when given): the walk passes only through folders of the set and finds only
  // objects of it, so a hidden folder hides what lies under it.
  Outcome findByPath(std::string_view repository, std::string_view path, std::string_view type,
                     std::vector<ObjectRow>& out, const ReadableSet* readable = nullptr);

  std::optional<ObjectRow> object(std::string_view id);
  // The same, telling a storage failure (its status) from an object that does not exist.
  Outcome findObject(std::string_view id, std::optional<ObjectRow>& out);
  // Objects in identifier order after `afterId` (empty: from the first), of one type (empty:
  // any; letter case aside), at most `limit` of them: a listing that pages by key, so that a
  // page never repeats or skips an object that stays.
  Outcome objectsAfter(std::string_view afterId, std::string_view type, size_t limit,
                       std::vector<ObjectRow>& out);
  // Creates an object; fills createdId. The type must be in the namespace.
  Outcome createObject(const ObjectDraft& draft, std::string* createdId);
  // Creates the object and appends it to the association of a related object, as one change.
  // guard (may be null): the link is checked as setAssociation checks it.
  Outcome createRelatedObject(const ObjectDraft& draft, std::string_view relatedId,
                              std::string_view association, std::string* createdId,
                              const LinkGuard* guard = nullptr);
  // Deletes the object, its attributes, properties and every association to or from it.
  // guard (may be null): every membership the deletion ends is checked first.
  Outcome deleteObject(std::string_view id, const LinkGuard* guard = nullptr);
  // Bulk load in one transaction (prepared statements); nothing is stored if one fails.
  Outcome createObjects(const std::vector<ObjectDraft>& drafts, std::vector<std::string>* ids);

  // Attributes in their order. Name, Desc and Id reach the object's own fields when no stored
  // attribute has that name (Id only for reading).
  Outcome attributes(std::string_view id, std::vector<std::pair<std::string, std::string>>& out);
  Outcome attribute(std::string_view id, std::string_view name, std::optional<std::string>& out);
  Outcome setAttribute(std::string_view id, std::string_view name, std::string_view value);

  Outcome properties(std::string_view id, std::vector<PropertyRow>& out);
  Outcome property(std::string_view id, std::string_view name, std::optional<PropertyRow>& out);
  // New property of the object; fails with kStatusDuplicate when one has that name.
  Outcome addProperty(std::string_view id, std::string_view name, std::string_view value,
                      std::string_view propertyId, std::string* createdId);
  // Changes the value of the object's property with that identifier (or, if the identifier is
  // empty, that name).
  Outcome setPropertyValue(std::string_view id, std::string_view propertyId,
                           std::string_view name, std::string_view value);

  Outcome associationNames(std::string_view id, std::vector<std::string>& out);
  Outcome associated(std::string_view id, std::string_view name, std::vector<ObjectRow>& out);
  // guard (may be null): the change acts on the links to objects the guard sees, and every link
  // it adds or removes is checked (LinkGuard) before anything is written.
  Outcome setAssociation(std::string_view id, std::string_view name, AssociationMode mode,
                         const std::vector<std::string>& targetIds,
                         const LinkGuard* guard = nullptr);
  // Removes every link of that name (and the other side of a paired association); the object's
  // type must match. None: kStatusNoSuchAssociation. guard: as for setAssociation (only the
  // links to objects it sees go; none of those: kStatusNoSuchAssociation).
  Outcome deleteAssociation(std::string_view id, std::string_view type, std::string_view name,
                            const LinkGuard* guard = nullptr);

  // The value of the named property of the SoftwareComponent with that name.
  // componentId, when given, receives the identifier of the SoftwareComponent that answered.
  Outcome appProperty(std::string_view application, std::string_view property,
                      std::optional<std::string>& out, std::string* componentId = nullptr);

  // Seed files (JSON). Import is one transaction: a bad file stores nothing and the message
  // names the file, the line and column, and the reason.
  Outcome importSeedFile(const std::string& path);
  Outcome importSeedText(std::string_view text, std::string_view sourceName);
  // The same, counting what was stored into *summary (when given; left zero on failure) and
  // reporting progress (when given).
  Outcome importSeedText(std::string_view text, std::string_view sourceName,
                         SeedSummary* summary, const SeedProgress& progress);
  // The streaming import: reads the seed (a file, or text) with memory that follows its largest
  // entry, writing as it goes, in one transaction. A dry run fills report->problems with every
  // problem and changes nothing; otherwise the first problem fails the import and nothing is
  // stored. report may be null.
  Outcome importSeedFile(const std::string& path, const SeedImportOptions& options,
                         SeedReport* report);
  Outcome importSeedText(std::string_view text, std::string_view sourceName,
                         const SeedImportOptions& options, SeedReport* report);
  Outcome exportSeedFile(const std::string& path);
  // Writes the seed to out as it reads the repository (memory follows one object); progress
  // (when given) hears objects written of the total. Throws StorageError, or the JSON
  // library's error for text a seed cannot carry.
  void exportSeed(std::FILE* out, SeedExportSummary* summary = nullptr,
                  const SeedProgress& progress = {});
  Outcome exportSeedFile(const std::string& path, SeedExportSummary* summary,
                         const SeedProgress& progress);
  std::string exportSeedText();

  // A number that changes whenever anything stored changes: results built from the repository
  // may be kept and handed out again while it stays the same.
  uint64_t changeCount();
  // changeCount() and the row of a one-row query read together, in one round trip where the
  // backend saves one by that (Database::changeCountWithRow). False, with nothing read, where
  // it does not, or on a storage failure: the caller reads them apart.
  bool changeCountWithRow(const std::string& query, const std::vector<std::string>& texts,
                          const std::function<void(const Statement&, int)>& row,
                          uint64_t& count);

  // The security model's storage (identities, permissions, authorizations, logins), sharing
  // this repository's database and lock.
  SecurityStore& security();
  // The audit trail's storage (mdserver/security/audit_store.h), sharing the database and lock.
  AuditStore& audit();

  // For benchmarks and diagnostics: the SQLite connection itself (null on PostgreSQL). Lock
  // with mutex() while using it.
  sqlite3* rawHandle();
  // "sqlite" or "postgresql".
  const char* backendName() const;
  std::recursive_mutex& mutex() { return mutex_; }
  // Results a module above the repository keeps between calls (the reverse questions' decisions
  // for one change count: mdserver/access/reverse_queries.cpp). The repository only holds them
  // and frees them when it closes. Lock mutex() while using the slot.
  struct KeptResults {
    virtual ~KeptResults() = default;
  };
  std::unique_ptr<KeptResults>& keptQueryResults() { return keptQueryResults_; }

 private:
  explicit Repository(std::unique_ptr<Database> database);
  friend class SeedImporter;
  friend class SeedExporter;

  // Unlocked helpers; callers hold mutex_ and catch StorageError.
  std::optional<ObjectRow> findObjectUnlocked(std::string_view id);
  int64_t objectKeyUnlocked(std::string_view id);
  std::optional<std::string> canonicalTypeUnlocked(std::string_view name);
  std::string newIdentifierUnlocked(const RepositoryInfo& repository);
  int64_t insertObjectUnlocked(const RepositoryInfo& repository, const std::string& id,
                               const std::string& type, std::string_view name,
                               std::string_view description);
  Outcome createObjectUnlocked(const ObjectDraft& draft, std::string* createdId);
  Outcome addPropertyUnlocked(int64_t ownerKey, std::string_view name, std::string_view value,
                              std::string_view propertyId, std::string* createdId);
  // followInverse false: the other side of a paired association is left alone (seed files
  // state both sides themselves).
  Outcome setAssociationUnlocked(int64_t sourceKey, std::string_view name, AssociationMode mode,
                                 const std::vector<int64_t>& targets, bool followInverse = true,
                                 const LinkGuard* guard = nullptr);
  // The guard's checks for the links of source's association `name` to `changed`, coming or
  // going.
  static Outcome checkLinks(const LinkGuard& guard, const ObjectRow& source,
                            std::string_view name, const std::vector<ObjectRow>& changed);
  std::optional<ObjectRow> objectByKeyUnlocked(int64_t key);
  std::vector<ObjectRow> linkedRowsUnlocked(int64_t source, std::string_view name);
  // Link helpers of repository_associations.cpp; each keeps the name's place (see there).
  std::vector<int64_t> linkedUnlocked(int64_t source, std::string_view name);
  std::string associationSpellingUnlocked(int64_t source, std::string_view name);
  void writeAssociationUnlocked(int64_t source, std::string_view name,
                                const std::vector<int64_t>& targets);
  void addLinkUnlocked(int64_t source, std::string_view name, int64_t target);
  void removeLinkUnlocked(int64_t source, std::string_view name, int64_t target);
  // Removes every link to the object, each from its side, before the object goes.
  void dropLinksToUnlocked(int64_t target);
  std::optional<RepositoryInfo> repositoryWhereUnlocked(const char* column,
                                                        std::string_view value);
  std::optional<RepositoryInfo> repositoryByKeyUnlocked(int64_t key);
  std::vector<ObjectRow> rows(const std::string& sql, const std::vector<std::string>& params);
  Outcome resolveUnlocked(const CompiledUri& compiled, int64_t repositoryKey,
                          std::string_view uri, std::vector<ObjectRow>& out);

  // The server's version and paused state as last read, for the database version they were
  // read at (see serverFactsUnlocked).
  struct ServerFacts {
    bool known = false;
    uint32_t dataVersion = 0;
    double version = 0.0;
    int32_t paused = 0;
  };
  const ServerFacts& serverFactsUnlocked();

  std::recursive_mutex mutex_;
  std::unique_ptr<KeptResults> keptQueryResults_;
  // The compiled form of the last look-up, whose room the next one compiles into: most
  // look-ups are alike, and their statement and parameters fit it again. Held under mutex_; a
  // look-up nested in another while it is in use compiles into a record of its own.
  CompiledUri lastCompiled_;
  bool lastCompiledInUse_ = false;
  std::unique_ptr<Database> db_;
  std::unique_ptr<SqliteSecurityStore> security_;
  // After db_: destroyed first, writing what is still waiting while the database is open.
  std::unique_ptr<AuditStore> audit_;
  int64_t queryWorkLimit_ = kDefaultQueryWorkLimit;
  ServerFacts serverFacts_;
  bool privateDatabase_ = false;  // in memory or temporary: no other connection can change it
  // While a seed file is imported: identifiers it names, which generated ones must not take.
  const std::unordered_set<std::string>* reservedIds_ = nullptr;
};

// The other name of a paired association ("Columns" ↔ "Table"), if the model pairs it.
std::optional<std::string_view> inverseAssociation(std::string_view name);

// For the runner: seed file into a repository file (created if missing), and back.
Outcome importSeedIntoDatabase(const std::string& databasePath, const std::string& seedPath);
Outcome exportDatabaseToSeed(const std::string& databasePath, const std::string& seedPath);

}  // namespace mdserver
