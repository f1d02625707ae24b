// Enforcement helpers; contract in access_guard.h.
#include "mdserver/interface/access_guard.h"

#include <algorithm>

#include "mdserver/base/ascii_case.h"
#include "mdserver/security/security_store.h"

namespace mdserver {

Decision decideFor(ClientInterface& ci, const AccessTarget& target, std::string_view permission) {
  return decide(ci.repository().security(), ci.principal(), target, permission);
}

bool mayReadId(ClientInterface& ci, std::string_view objectId) {
  if (ci.principal().localAdministrator) return true;
  const ReadableSet* readable = ci.readable();
  return readable && readable->permits(objectId);
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
  const std::string who = ci.principal().userId.empty() ? std::string("the connection")
                                                        : "user '" + ci.principal().userId + "'";
  return ci.fail(denied, std::string(operation) + ": " + who + " may not " +
                             std::string(permission) + " " + target.id() + " (" +
                             describe(decision) + ")");
}

}  // namespace mdserver
