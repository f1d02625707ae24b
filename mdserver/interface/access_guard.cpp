// Enforcement helpers; contract in access_guard.h.
#include "mdserver/interface/access_guard.h"

#include <algorithm>
#include <unordered_map>

#include "mdserver/base/ascii_case.h"
#include "mdserver/security/security_store.h"

namespace mdserver {

Decision decideFor(ClientInterface& ci, const AccessTarget& target, std::string_view permission) {
  return decide(ci.repository().security(), ci.principal(), target, permission);
}

bool mayRead(ClientInterface& ci, const ObjectRow& row) {
  if (ci.principal().localAdministrator) return true;
  return decideFor(ci, guardedCheck(objectTarget(row.id), row.type, kPermissionRead).target,
                   kPermissionRead)
      .allowed;
}

StatusCode keepReadable(ClientInterface& ci, std::vector<ObjectRow>& rows) {
  if (ci.principal().localAdministrator || rows.empty()) return kStatusOk;
  SecurityStore& store = ci.repository().security();
  if (!store.enforced()) return kStatusOk;
  // One decision per row, as mayRead makes it, but each level read once for the whole list:
  // the rows of one listing share their repository's entries.
  std::unordered_map<std::string, std::vector<AccessEntry>> levels;
  std::unordered_map<std::string, std::vector<std::string>> applied;
  SecuritySources sources;
  sources.entries = [&](const std::string& target) -> std::vector<AccessEntry> {
    auto found = levels.find(target);
    if (found == levels.end()) {
      std::vector<AccessEntry> read;
      Outcome outcome = store.entries(target, read);
      sources.note(outcome);
      if (!outcome.ok()) read.clear();
      found = levels.emplace(target, std::move(read)).first;
    }
    return found->second;
  };
  sources.applications = [&](const std::string& target) -> std::vector<std::string> {
    // Objects are asked each time (their own applications); the repository's once.
    const bool repositoryLevel = target.size() == 8;
    if (repositoryLevel) {
      if (auto found = applied.find(target); found != applied.end()) return found->second;
    }
    std::vector<std::string> read;
    Outcome outcome = store.applications(target, read);
    sources.note(outcome);
    if (!outcome.ok()) read.clear();
    if (repositoryLevel) applied.emplace(target, read);
    return read;
  };
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [&](const ObjectRow& row) {
                              return !decide(sources, true, ci.principal(),
                                             guardedCheck(objectTarget(row.id), row.type,
                                                          kPermissionRead)
                                                 .target,
                                             kPermissionRead)
                                          .allowed;
                            }),
             rows.end());
  // A decision that could not be made left its row out; the listing as a whole is refused, so
  // that a failing storage never reads as "nothing there".
  if (sources.failed()) {
    rows.clear();
    return ci.fail(*sources.failure);
  }
  if (!ci.principal().failure.ok()) {
    rows.clear();
    return ci.fail(ci.principal().failure);
  }
  return kStatusOk;
}

StatusCode require(ClientInterface& ci, const AccessTarget& requested, std::string_view permission,
                   StatusCode denied, std::string_view operation) {
  if (ci.principal().localAdministrator) return kStatusOk;
  std::string type;
  if (!requested.objectId.empty() && !requested.isTemplate) {
    if (auto row = ci.repository().object(requested.objectId)) type = row->type;
  }
  const GuardedCheck check = guardedCheck(requested, type, permission);
  const AccessTarget& target = check.target;
  permission = check.permission;
  const Decision decision = decideFor(ci, target, permission);
  if (decision.allowed) return kStatusOk;
  if (decision.basis == Decision::Basis::kFailure) {
    // Refused, but not because of an entry: the caller gets the storage's status.
    return ci.fail(decision.failure.status, std::string(operation) + ": cannot decide " +
                                                std::string(permission) + " on " + target.id() +
                                                ": " + decision.failure.message);
  }
  const std::string who = ci.principal().userId.empty() ? std::string("the connection")
                                                        : "user '" + ci.principal().userId + "'";
  return ci.fail(denied, std::string(operation) + ": " + who + " may not " +
                             std::string(permission) + " " + target.id() + " (" +
                             describe(decision) + ")");
}

}  // namespace mdserver
