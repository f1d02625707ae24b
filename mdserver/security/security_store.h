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
  // A template number for a new template of the repository, taken for good.
  virtual Outcome reserveTemplateNumber(std::string_view repositoryId, int64_t& out) = 0;

  virtual Outcome findLogin(std::string_view userId, std::optional<LoginRecord>& out) = 0;
  virtual Outcome logins(std::vector<LoginRecord>& out) = 0;  // user id order
};

}  // namespace mdserver
