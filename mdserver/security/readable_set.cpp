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
  // A principal or a level that cannot be read makes no set at all: a failing storage must
  // never read as "nothing hidden" or "nothing there".
  if (!principal.failure.ok()) return principal.failure;
  const SecuritySources sources = storeSources(store);
  for (const std::string& id : repositoryIds) {
    const Decision decision =
        decide(sources, true, principal, repositoryTarget(id), kPermissionRead);
    if (decision.basis == Decision::Basis::kFailure) return decision.failure;
    if (decision.allowed) out.repositories.insert(id);
  }
  std::vector<std::pair<std::string, std::string>> own;
  Outcome listed = store.objectsWithOwnLevels(own);
  if (!listed.ok()) return listed;
  for (const auto& [id, type] : own) {
    const GuardedCheck check = guardedCheck(objectTarget(id, type), type, kPermissionRead);
    if (check.target.objectId.empty()) continue;  // decided on its repository
    const Decision decision = decide(sources, true, principal, check.target, check.permission);
    if (decision.basis == Decision::Basis::kFailure) return decision.failure;
    const bool readable = decision.allowed;
    if (readable != out.repositoryReadable(check.target.repositoryId)) {
      out.exceptions.emplace(id, readable);
    }
  }
  return Outcome::success();
}

}  // namespace mdserver
