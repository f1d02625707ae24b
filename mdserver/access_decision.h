// The one decision function of the security model: may this principal use this permission on
// this object (or repository)? Enforcement in the client interface, the effective view of the
// authorization listing and every explanation call it; nothing else applies the rules.
//
// Rules, in order:
//  1. The local administrator is allowed everything.
//  2. A store without any authorization entry is open: everything is allowed to everybody.
//  3. The levels that bear on the target are searched from the nearest: the object's own
//     entries, then its repository's entries (later: templates between them). At the first
//     level that holds an entry for one of the principal's identities and the permission, the
//     decision is made: a deny among them wins over a grant (deny over grant at the same level).
//  4. No level decides: denied.
// The decision names the entry that decided and the entries it overrode, so an explanation is
// the decision itself.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mdserver/security_store.h"
#include "mdserver/security_types.h"

namespace mdserver {

struct AccessTarget {
  std::string repositoryId;  // 8 characters
  std::string objectId;      // empty: the repository itself
  const std::string& id() const { return objectId.empty() ? repositoryId : objectId; }
};

struct Decision {
  enum class Basis { kLocalAdministrator, kOpenRepository, kEntry, kNoEntry };
  bool allowed = false;
  Basis basis = Basis::kNoEntry;
  std::optional<AccessEntry> decidingEntry;
  std::string decidingLevel;          // target identifier of the level that decided
  std::vector<AccessEntry> overridden; // the principal's entries that lost to the decision
};

// Where the decision reads a level's entries (the store, or the store overlaid with staged
// changes). A failing read counts as a level without entries for the principal; the caller's
// store then decides rule 2 and the failure shows in a denial.
using EntrySource = std::function<std::vector<AccessEntry>(const std::string& target)>;

// The levels that bear on a target, nearest first.
std::vector<std::string> decisionLevels(const AccessTarget& target);

Decision decide(const EntrySource& entries, bool enforced, const Principal& principal,
                const AccessTarget& target, std::string_view permission);
Decision decide(SecurityStore& store, const Principal& principal, const AccessTarget& target,
                std::string_view permission);

// The principal of an identity: itself, its groups and roles (nesting followed, cycles
// tolerated), Everybody, and Authenticated when it logged in.
Principal principalOf(SecurityStore& store, const IdentityRecord& identity, bool authenticated);

// One line for people: "granted by <entry> on <level>", "denied: no entry", ...
std::string describe(const Decision& decision);

}  // namespace mdserver
