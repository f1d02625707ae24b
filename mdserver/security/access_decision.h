// The one decision function of the security model: may this principal use this permission on
// this object (or repository)? Enforcement in the client interface, the effective view of the
// authorization listing and every explanation call it; nothing else applies the rules.
//
// Rules, in order:
//  1. The local administrator is allowed everything.
//  2. A store without any authorization entry is open: everything is allowed to everybody.
//  3. The levels that bear on the target are searched from the nearest: the object's own
//     entries, then the entries of the templates applied to the object (together one level),
//     then the repository's own entries, then those of the templates applied to the repository.
//     At the first level that holds an entry for one of the principal's identities and the
//     permission, the decision is made: a deny among them wins over a grant (deny over grant at
//     the same level). A template's own entries decide for the template itself only.
//  4. No level decides: denied.
// Fail closed: when a level's entries, the templates applied to a target, or the principal's
// memberships cannot be read, the decision refuses with the storage's status (`failure`). What
// could not be read might have held a deny nearer than anything further out, so no farther
// level may decide in its place.
// The decision names the entry that decided and the entries it overrode, so an explanation is
// the decision itself.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mdserver/security/security_store.h"
#include "mdserver/security/security_types.h"

namespace mdserver {

struct AccessTarget {
  std::string repositoryId;  // 8 characters
  std::string objectId;      // empty: the repository itself
  bool isTemplate = false;   // objectId names an access control template
  const std::string& id() const { return objectId.empty() ? repositoryId : objectId; }
};

// Where the decision reads a level's entries and the templates applied to a target (the store,
// or the store overlaid with a transaction's staged changes). A source whose read fails records
// the failure in `failure` (the first one stays) and answers empty; every decision made with
// those sources from then on refuses with it.
using EntrySource = std::function<std::vector<AccessEntry>(const std::string& target)>;
using ApplicationSource = std::function<std::vector<std::string>(const std::string& target)>;
struct SecuritySources {
  EntrySource entries;
  ApplicationSource applications;  // may be empty: no template applied anywhere
  std::shared_ptr<Outcome> failure = std::make_shared<Outcome>();
  bool failed() const { return failure && !failure->ok(); }
  // For sources: keeps the first failed read.
  void note(const Outcome& read) const {
    if (!read.ok() && failure && failure->ok()) *failure = read;
  }
};

struct DecisionLevel {
  enum class Kind { kObject, kObjectTemplates, kRepository, kRepositoryTemplates };
  Kind kind = Kind::kObject;
  std::string owner;                 // the object or repository the level belongs to
  std::vector<std::string> sources;  // targets whose entries form the level (the templates)
};

// The principal's entries on one level, in the order the decision read them.
struct ConsideredLevel {
  DecisionLevel level;
  std::vector<AccessEntry> entries;
};

struct Decision {
  enum class Basis { kLocalAdministrator, kOpenRepository, kEntry, kNoEntry, kFailure };
  bool allowed = false;
  Basis basis = Basis::kNoEntry;
  std::optional<AccessEntry> decidingEntry;
  std::string decidingLevel;          // the deciding entry's target (object, repository, template)
  DecisionLevel::Kind decidingKind = DecisionLevel::Kind::kObject;
  std::vector<AccessEntry> overridden; // the principal's entries that lost to the decision
  std::vector<ConsideredLevel> considered;  // every level with an entry for the principal
  // Not ok when what the decision needed could not be read: the decision then refuses, and
  // enforcement refuses with this status.
  Outcome failure;
};

// The levels that bear on a target, nearest first (template levels only where templates are
// applied).
std::vector<DecisionLevel> decisionLevels(const AccessTarget& target,
                                          const ApplicationSource& applications);

Decision decide(const SecuritySources& sources, bool enforced, const Principal& principal,
                const AccessTarget& target, std::string_view permission);
Decision decide(SecurityStore& store, const Principal& principal, const AccessTarget& target,
                std::string_view permission);

// The principal of an identity: itself, its groups and roles (nesting followed, cycles
// tolerated), Everybody, and Authenticated when it logged in. A membership that cannot be read
// leaves the principal's `failure` set (every decision for it refuses) and *complete (when
// given) false: the principal may then lack groups (and their denies).
Principal principalOf(SecurityStore& store, const IdentityRecord& identity, bool authenticated,
                      bool* complete = nullptr);

// The committed state of a store as decision sources.
SecuritySources storeSources(SecurityStore& store);

// One line for people: "granted by <entry> on <level>", "denied: no entry", ...
std::string describe(const Decision& decision);

}  // namespace mdserver
