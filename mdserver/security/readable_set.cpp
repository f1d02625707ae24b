// The readable set; why it agrees with decide() is in readable_set.h.
#include "mdserver/security/readable_set.h"

#include "mdserver/security/access_target.h"

namespace mdserver {

bool ReadableSet::repositoryReadable(std::string_view repositoryId) const {
  return everything || repositories.count(std::string(repositoryId)) != 0;
}

bool ReadableSet::permits(std::string_view objectId) const {
  if (everything) return true;
  if (auto found = exceptions.find(std::string(objectId)); found != exceptions.end()) {
    return found->second;
  }
  return repositoryReadable(objectId.substr(0, std::min<size_t>(8, objectId.size())));
}

Outcome readableSet(SecurityStore& store, const Principal& principal,
                    const std::vector<std::string>& repositoryIds, ReadableSet& out) {
  out = ReadableSet{};
  if (principal.localAdministrator || !store.enforced()) {
    out.everything = true;
    return Outcome::success();
  }
  if (!principal.failure.ok()) return principal.failure;
  std::shared_ptr<const SecuritySnapshot> snapshot;
  if (Outcome read = SecuritySnapshot::read(store, snapshot); !read.ok()) return read;
  return readableSet(*snapshot, principal, repositoryIds, out);
}

Outcome readableSet(const SecuritySnapshot& snapshot, const Principal& principal,
                    const std::vector<std::string>& repositoryIds, ReadableSet& out) {
  out = ReadableSet{};
  if (principal.localAdministrator || !snapshot.enforced()) {
    out.everything = true;
    return Outcome::success();
  }
  // A principal or a level that cannot be read makes no set at all: a failing storage must
  // never read as "nothing hidden" or "nothing there".
  if (!principal.failure.ok()) return principal.failure;
  const SecuritySources sources = snapshot.sources();
  for (const std::string& id : repositoryIds) {
    const Decision decision =
        decide(sources, true, principal, repositoryTarget(id), kPermissionRead);
    if (decision.basis == Decision::Basis::kFailure) return decision.failure;
    if (decision.allowed) out.repositories.insert(id);
  }
  // One decision per shape (security_snapshot.h): its objects are decided alike, and they are
  // all of one repository and all templates or none.
  for (size_t shape = 0; shape < snapshot.shapeCount(); ++shape) {
    const std::vector<const OwnLevelObject*>& members = snapshot.shapeMembers(shape);
    if (members.empty()) continue;  // unused since a patch
    const GuardedCheck check = guardedCheck(members.front()->target(), "", kPermissionRead);
    if (check.target.objectId.empty()) continue;  // decided on its repository
    const Decision decision = decide(sources, true, principal, check.target, check.permission);
    if (decision.basis == Decision::Basis::kFailure) return decision.failure;
    if (decision.allowed == out.repositoryReadable(check.target.repositoryId)) continue;
    for (const OwnLevelObject* member : members) out.exceptions.emplace(member->id, decision.allowed);
  }
  return Outcome::success();
}

}  // namespace mdserver
