// Storage of the security model behind one interface, so a second backend can serve the same
// model: the SQLite store (sqlite_security_store.h) is the first implementation.
//
// Contract of every implementation:
//  - Reads see committed data only; staged transaction changes are the model's business.
//  - apply() makes a list of changes durable atomically: all of them or none.
//  - Names of permissions and identities compare without regard to case; identifiers exactly.
//  - Failures are reported as Outcome (kStatusStorageFailure with the backend's text); nothing
//    throws out of a store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mdserver/base/outcome.h"
#include "mdserver/security/security_types.h"

namespace mdserver {

struct SecurityLevels {
  std::vector<AccessEntry> entries;
  std::vector<std::pair<std::string, std::string>> applications;  // (target, template)
  std::vector<std::string> templateIds;  // every access control template, in no order
};

// What one apply() of a store left on the levels allLevels() reads, read inside that apply's own
// transaction: the targets it touched with their entries and applications as committed (an
// empty list: none left), and, when it made or deleted templates, every template identifier.
// `before` is the change count the transaction started from and `after` the one it committed;
// a store gives one only when nothing but the transaction itself moved the count in between.
struct LevelChange {
  uint64_t before = 0;
  uint64_t after = 0;
  std::vector<std::pair<std::string, std::vector<AccessEntry>>> entries;
  std::vector<std::pair<std::string, std::vector<std::string>>> applications;
  bool templatesChanged = false;
  std::vector<std::string> templateIds;  // all of them, when templatesChanged
};

class SecurityStore {
 public:
  virtual ~SecurityStore() = default;

  // True once any authorization entry exists: a store without one is open to everybody.
  virtual bool enforced() = 0;
  // Settings of the security section ("requireLogin", "passwordHashing"); empty when unset.
  virtual std::string setting(std::string_view name) = 0;

  // The stored identities (Person, IdentityGroup, Role objects) of one repository, in
  // identifier order; built-ins are the model's.
  virtual Outcome identities(std::string_view repositoryId, std::vector<IdentityRecord>& out) = 0;
  // A stored identity by identifier, or by name (first in identifier order) of the given type
  // (empty: any identity type).
  virtual Outcome findIdentity(std::string_view idOrName, std::string_view type,
                               std::optional<IdentityRecord>& out) = 0;
  // The groups and roles that list the identity as a member (one level).
  virtual Outcome directGroups(std::string_view identityId, std::vector<std::string>& out) = 0;

  // Permission names in definition order.
  virtual Outcome permissions(std::vector<std::string>& out) = 0;
  // Entries on one target, in the order they were set.
  virtual Outcome entries(std::string_view target, std::vector<AccessEntry>& out) = 0;
  // Every kind of change (security_types.h), all of them or none.
  virtual Outcome apply(const std::vector<AuthorizationChange>& changes) = 0;

  // Templates of one repository in identifier order; one template by identifier or name
  // (letter case aside; first in identifier order).
  virtual Outcome templates(std::string_view repositoryId, std::vector<TemplateRecord>& out) = 0;
  virtual Outcome findTemplate(std::string_view idOrName, std::optional<TemplateRecord>& out) = 0;
  // Identifiers of the templates applied to a target, in the order they were applied.
  virtual Outcome applications(std::string_view target, std::vector<std::string>& out) = 0;
  // The largest template number used in a repository (0: none), for new identifiers.
  virtual Outcome lastTemplateNumber(std::string_view repositoryId, int64_t& out) = 0;
  // (identifier, type) of every object that is the target of an entry or of a template
  // application: the only objects whose decisions can differ from their repository's.
  virtual Outcome objectsWithOwnLevels(std::vector<std::pair<std::string, std::string>>& out) = 0;
  // Every entry and every template application at once (entries as entries() gives them, both
  // in the order they were set) and which objects are templates, for answers that decide many
  // targets: a few reads instead of some per target.
  virtual Outcome allLevels(SecurityLevels& out) = 0;
  // The changes this store's own apply() committed that lead from change count `from` to `to`
  // one after the other, oldest first; false when they do not (any other write, here or by
  // another connection, came between, or they are no longer kept): then only allLevels() tells
  // the state at `to`. A store that keeps none says false.
  virtual bool levelChangesBetween(uint64_t from, uint64_t to,
                                   std::vector<std::shared_ptr<const LevelChange>>& out) {
    (void)from;
    (void)to;
    out.clear();
    return false;
  }
  // A template number for a new template of the repository, taken for good.
  virtual Outcome reserveTemplateNumber(std::string_view repositoryId, int64_t& out) = 0;

  virtual Outcome findLogin(std::string_view userId, std::optional<LoginRecord>& out) = 0;
  virtual Outcome logins(std::vector<LoginRecord>& out) = 0;  // user id order
};

}  // namespace mdserver
