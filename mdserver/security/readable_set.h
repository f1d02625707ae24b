// The objects a principal may Read, as a set the query compiler can join: what decide() answers
// for every object of the repository, computed without asking it once per object.
//
// Why it agrees with decide(): an object's decision reads its own entries and the templates
// applied to it first, and falls to its repository's levels only when those hold no entry for
// the principal. So an object that is the target of no entry and of no application is decided
// exactly as its repository is; only objects that are (the "own level" objects the store names)
// can differ, and each of those is decided by decide() itself. The set is therefore:
//   - the repositories decide() lets the principal Read (every object of them without a
//     differing decision of its own), plus
//   - the exceptions: own-level objects whose decision differs from their repository's.
// Access control templates are decided on their repository (access_target.h) and are never
// exceptions. A test compares the set with decide() on every object of several repositories.
//
// Cost: the state is read at once (security_snapshot.h: one read of every entry and every
// template application), and own-level objects alike are decided once, so the first set after
// a change costs a few storage reads and one decision per shape, not queries per object.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mdserver/base/outcome.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/security_snapshot.h"
#include "mdserver/security/security_store.h"

namespace mdserver {

struct ReadableSet {
  // The local administrator, or a store without any entry: everything is readable and nothing
  // needs to be joined.
  bool everything = false;
  // Repositories (identifiers) whose objects are readable unless an exception says otherwise.
  std::unordered_set<std::string> repositories;
  // Objects (identifiers) decided otherwise than their repository: true readable, false hidden.
  std::unordered_map<std::string, bool> exceptions;

  bool repositoryReadable(std::string_view repositoryId) const;
  // An object by identifier (its repository is the identifier's first eight characters).
  bool permits(std::string_view objectId) const;
};

// The set for a principal over the given repositories (identifiers). Fails with the store's
// status when the store cannot be read: a set that cannot be computed hides nothing less than
// it should, so the caller refuses the request.
Outcome readableSet(SecurityStore& store, const Principal& principal,
                    const std::vector<std::string>& repositoryIds, ReadableSet& out);
// The same over a state read already (shared by answers asked at one change count).
Outcome readableSet(const SecuritySnapshot& snapshot, const Principal& principal,
                    const std::vector<std::string>& repositoryIds, ReadableSet& out);

}  // namespace mdserver
