// Enforcement helpers; contract in access_guard.h.
#include "mdserver/interface/access_guard.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "mdserver/base/ascii_case.h"
#include "mdserver/security/security_store.h"

namespace mdserver {
namespace {

// Who a refusal was for, as its text says it.
std::string who(ClientInterface& ci) {
  return ci.principal().userId.empty() ? std::string("the connection")
                                       : "user '" + ci.principal().userId + "'";
}

}  // namespace

Decision decideFor(ClientInterface& ci, const AccessTarget& target, std::string_view permission) {
  if (ci.principal().localAdministrator) {
    return decide(ci.repository().security(), ci.principal(), target, permission);
  }
  std::string key;
  key.reserve(permission.size() + target.repositoryId.size() + target.objectId.size() + 4);
  key.append(permission).append("\n").append(target.repositoryId).append("\n");
  key.append(target.objectId).append(target.isTemplate ? "\nT" : "");
  if (const Decision* kept = ci.keptDecision(key)) return *kept;
  Decision decision = decide(ci.repository().security(), ci.principal(), target, permission);
  // A decision that could not be made is asked again next time, not kept as a refusal.
  if (decision.basis != Decision::Basis::kFailure) ci.keepDecision(std::move(key), decision);
  return decision;
}

bool mayReadObject(ClientInterface& ci, std::string_view id) {
  if (ci.principal().localAdministrator) return true;
  std::string key = "object\n" + std::string(id);
  if (const Decision* kept = ci.keptDecision(key)) return kept->allowed;
  Decision readable;
  std::optional<ObjectRow> row = ci.repository().object(id);
  readable.allowed = !row || mayRead(ci, *row);
  ci.keepDecision(std::move(key), readable);
  return readable.allowed;
}

void noteRefusedRead(ClientInterface& ci, std::string_view id) {
  if (ci.principal().localAdministrator) return;
  std::optional<ObjectRow> row = ci.repository().object(id);
  if (!row) return;
  const GuardedCheck guarded = guardedCheck(objectTarget(row->id, row->type), row->type,
                                            kPermissionRead);
  const Decision decision = decideFor(ci, guarded.target, guarded.permission);
  // The readable set is decide()'s answer for Read; a decision that allows here means the set
  // was computed on another state, and nothing is recorded as refused that was not.
  if (decision.allowed) return;
  ci.noteDecision(objectTarget(row->id), kPermissionRead, decision, /*read=*/true);
}

bool mayReadId(ClientInterface& ci, std::string_view objectId) {
  if (ci.principal().localAdministrator) return true;
  const ReadableSet* readable = ci.readable();
  return readable && readable->permits(objectId);
}

bool mayReadRepository(ClientInterface& ci, std::string_view repositoryId) {
  if (ci.principal().localAdministrator) return true;
  const ReadableSet* readable = ci.readable();
  return readable && readable->repositoryReadable(repositoryId);
}

bool mayRead(ClientInterface& ci, const ObjectRow& row) { return mayReadId(ci, row.id); }

StatusCode keepReadable(ClientInterface& ci, std::vector<ObjectRow>& rows) {
  if (ci.principal().localAdministrator || rows.empty()) return kStatusOk;
  const ReadableSet* readable = ci.readable();
  if (!readable) {
    rows.clear();
    return ci.lastErrorStatus();
  }
  if (readable->everything) return kStatusOk;
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [&](const ObjectRow& row) { return !readable->permits(row.id); }),
             rows.end());
  // A principal whose memberships could not be read has no decision at all: the listing as a
  // whole is refused, so that a failing storage never reads as "nothing there".
  if (!ci.principal().failure.ok()) {
    rows.clear();
    return ci.fail(ci.principal().failure);
  }
  return kStatusOk;
}

StatusCode require(ClientInterface& ci, const AccessTarget& requested, std::string_view permission,
                   StatusCode denied, std::string_view operation) {
  Outcome outcome = check(ci, requested, permission, denied, operation);
  return outcome.ok() ? kStatusOk : ci.fail(outcome.status, std::move(outcome.message));
}

LinkGuard linkGuard(ClientInterface& ci, std::string_view operation, StatusCode denied) {
  LinkGuard guard;
  if (ci.principal().localAdministrator) return guard;
  const std::string name(operation);
  guard.sees = [&ci](const ObjectRow& object) { return mayRead(ci, object); };
  guard.mayRewrite = [&ci, name, denied](const ObjectRow& other) {
    return check(ci, objectTarget(other.id), kPermissionWrite, denied,
                 name + " (the other side of a paired association)");
  };
  guard.mayChangeMembership = [&ci, name, denied](const ObjectRow& group, const ObjectRow&) {
    Outcome outcome = check(ci, repositoryTarget(objectTarget(group.id).repositoryId),
                            kPermissionAdminister, denied, name);
    // The group may be one the principal cannot see (a deletion ends every membership of the
    // object): the refusal names no identifier and no entry.
    if (!outcome.ok()) {
      outcome.message = name + ": " + who(ci) +
                        " may not change a membership: that needs Administer on the group's "
                        "repository";
    }
    return outcome;
  };
  return guard;
}

Outcome check(ClientInterface& ci, const AccessTarget& requested, std::string_view permission,
              StatusCode denied, std::string_view operation) {
  if (ci.principal().localAdministrator) {
    // Changes of the local administrator are audited too, with the decision that allowed them.
    ci.noteDecision(requested, permission,
                    decide(SecuritySources{}, true, ci.principal(), requested, permission),
                    /*read=*/false);
    return Outcome::success();
  }
  std::string type;
  if (!requested.objectId.empty() && !requested.isTemplate) {
    if (auto row = ci.repository().object(requested.objectId)) type = row->type;
  }
  const GuardedCheck guarded = guardedCheck(requested, type, permission);
  const AccessTarget& target = guarded.target;
  permission = guarded.permission;
  const Decision decision = decideFor(ci, target, permission);
  ci.noteDecision(requested, permission, decision, /*read=*/false);
  if (decision.allowed) return Outcome::success();
  if (decision.basis == Decision::Basis::kFailure) {
    // Refused, but not because of an entry: the caller gets the storage's status.
    return Outcome{decision.failure.status, std::string(operation) + ": cannot decide " +
                                                std::string(permission) + " on " + target.id() +
                                                ": " + decision.failure.message};
  }
  return Outcome{denied, std::string(operation) + ": " + who(ci) + " may not " +
                             std::string(permission) + " " + target.id() + " (" +
                             describe(decision) + ")"};
}

}  // namespace mdserver
