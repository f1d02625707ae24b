// The decision function; the rules are in access_decision.h.
#include "mdserver/security/access_decision.h"

#include <algorithm>
#include <cctype>
#include <deque>

#include "mdserver/base/ascii_case.h"

namespace mdserver {

std::vector<DecisionLevel> decisionLevels(const AccessTarget& target,
                                          const ApplicationSource& applications) {
  using Kind = DecisionLevel::Kind;
  std::vector<DecisionLevel> levels;
  auto add = [&](Kind own, Kind templates, const std::string& id) {
    levels.push_back({own, id, {id}});
    if (!applications || target.isTemplate) return;
    std::vector<std::string> applied = applications(id);
    if (!applied.empty()) levels.push_back({templates, id, std::move(applied)});
  };
  if (target.isTemplate) {
    levels.push_back({Kind::kObject, target.objectId, {target.objectId}});
    return levels;
  }
  if (!target.objectId.empty()) add(Kind::kObject, Kind::kObjectTemplates, target.objectId);
  add(Kind::kRepository, Kind::kRepositoryTemplates, target.repositoryId);
  return levels;
}

Decision decide(const SecuritySources& sources, bool enforced, const Principal& principal,
                const AccessTarget& target, std::string_view permission) {
  Decision decision;
  if (principal.localAdministrator) {
    decision.allowed = true;
    decision.basis = Decision::Basis::kLocalAdministrator;
    return decision;
  }
  // Fail closed: what could not be read may have held the deny that decides.
  auto refuse = [&decision](const Outcome& failure) {
    Decision refused;
    refused.basis = Decision::Basis::kFailure;
    refused.failure = failure;
    refused.considered = std::move(decision.considered);
    return refused;
  };
  if (!principal.failure.ok()) return refuse(principal.failure);
  if (!enforced) {
    decision.allowed = true;
    decision.basis = Decision::Basis::kOpenRepository;
    return decision;
  }
  if (sources.failed()) return refuse(*sources.failure);
  const std::vector<DecisionLevel> levels = decisionLevels(target, sources.applications);
  if (sources.failed()) return refuse(*sources.failure);
  for (const DecisionLevel& level : levels) {
    std::vector<AccessEntry> mine;
    for (const std::string& source : level.sources) {
      for (AccessEntry& entry : sources.entries(source)) {
        if (equalNoCase(entry.permission, permission) &&
            principal.identities.count(entry.identityId) != 0) {
          mine.push_back(std::move(entry));
        }
      }
    }
    // Even a level farther out than the one that decided: its failure may stand for a failing
    // storage whose nearer answers cannot be trusted either.
    if (sources.failed()) return refuse(*sources.failure);
    if (!mine.empty()) decision.considered.push_back({level, mine});
    if (decision.basis == Decision::Basis::kEntry) {
      // Decided nearer: what this level says for the principal was overridden.
      decision.overridden.insert(decision.overridden.end(), mine.begin(), mine.end());
      continue;
    }
    if (mine.empty()) continue;
    auto deny = std::find_if(mine.begin(), mine.end(), [](const AccessEntry& e) { return !e.grant; });
    const auto deciding = deny != mine.end() ? deny : mine.begin();
    decision.basis = Decision::Basis::kEntry;
    decision.allowed = deciding->grant;
    decision.decidingEntry = *deciding;
    decision.decidingLevel = deciding->target;
    decision.decidingKind = level.kind;
    for (auto it = mine.begin(); it != mine.end(); ++it) {
      if (it != deciding && it->grant != deciding->grant) decision.overridden.push_back(*it);
    }
  }
  return decision;
}

SecuritySources storeSources(SecurityStore& store) {
  SecuritySources sources;
  sources.entries = [&store, failure = sources.failure](const std::string& level) {
    std::vector<AccessEntry> out;
    Outcome read = store.entries(level, out);
    if (!read.ok()) {
      out.clear();
      if (failure->ok()) *failure = read;
    }
    return out;
  };
  sources.applications = [&store, failure = sources.failure](const std::string& target) {
    std::vector<std::string> out;
    Outcome read = store.applications(target, out);
    if (!read.ok()) {
      out.clear();
      if (failure->ok()) *failure = read;
    }
    return out;
  };
  return sources;
}

Decision decide(SecurityStore& store, const Principal& principal, const AccessTarget& target,
                std::string_view permission) {
  if (principal.localAdministrator) {
    return decide(SecuritySources{}, true, principal, target, permission);
  }
  return decide(storeSources(store), store.enforced(), principal, target, permission);
}

Principal principalOf(SecurityStore& store, const IdentityRecord& identity, bool authenticated,
                      bool* complete) {
  if (complete) *complete = true;
  Principal principal;
  principal.identityId = identity.id;
  principal.identities.insert(std::string(kEverybodyId));
  if (authenticated) principal.identities.insert(std::string(kAuthenticatedId));
  // Breadth first over "member of"; the set stops cycles (a group that contains itself).
  std::deque<std::string> pending{identity.id};
  while (!pending.empty()) {
    std::string current = std::move(pending.front());
    pending.pop_front();
    if (!principal.identities.insert(current).second) continue;
    std::vector<std::string> groups;
    Outcome read = store.directGroups(current, groups);
    if (!read.ok()) {
      // A group left out could be the one whose deny decides: no decision for this principal.
      if (principal.failure.ok()) principal.failure = read;
      if (complete) *complete = false;
      continue;
    }
    for (std::string& group : groups) pending.push_back(std::move(group));
  }
  return principal;
}

std::string describe(const Decision& decision) {
  switch (decision.basis) {
    case Decision::Basis::kLocalAdministrator:
      return "granted: the local administrator";
    case Decision::Basis::kOpenRepository:
      return "granted: the repository defines no security";
    case Decision::Basis::kNoEntry:
      return "denied: no entry for the identity or its groups";
    case Decision::Basis::kFailure:
      return "refused: the security entries could not be read (" + decision.failure.message + ")";
    case Decision::Basis::kEntry:
      break;
  }
  const AccessEntry& e = *decision.decidingEntry;
  const bool fromTemplate = decision.decidingKind == DecisionLevel::Kind::kObjectTemplates ||
                            decision.decidingKind == DecisionLevel::Kind::kRepositoryTemplates;
  return std::string(decision.allowed ? "granted" : "denied") + " by the " +
         (e.grant ? "grant" : "deny") + " of " + e.permission + " to " + e.identityId + " on " +
         (fromTemplate ? "template " : "") + decision.decidingLevel;
}

}  // namespace mdserver
