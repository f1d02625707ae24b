// Enforcement: the checks the client interface's operations make before they read or change
// anything, all through the one decision function (access_decision.h) for the interface's
// principal. Reads: objects the principal may not Read are left out of resolutions and
// listings as if they did not exist. Changes: refused with a status of their own and a text
// that says who was refused what where, and nothing is changed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mdserver/access_decision.h"
#include "mdserver/client_interface.h"

namespace mdserver {

// Identifiers begin with their repository's identifier ("A0000001.TABLE001").
AccessTarget objectTarget(std::string_view objectId);
AccessTarget repositoryTarget(std::string_view repositoryId);
// An object of the given type as a target: an access control template is marked as one, so its
// entries are read as the template's (for the objects it is applied to).
AccessTarget objectTarget(std::string_view objectId, std::string_view type);
bool isTemplateType(std::string_view type);

Decision decideFor(ClientInterface& ci, const AccessTarget& target, std::string_view permission);
bool mayRead(ClientInterface& ci, const ObjectRow& row);
// Removes the rows the principal may not Read, keeping the order of the others.
void keepReadable(ClientInterface& ci, std::vector<ObjectRow>& rows);
// An access control template's own entries are for the objects it is applied to, never for the
// template object itself: reading it is decided on its repository, and any change of it through
// the object operations needs Administer on its repository, as the template operations do.
// guardedCheck gives what enforcement decides for a permission on a target of a type (blank:
// not known to be a template); explanations ask it too, so they agree with enforcement.
struct GuardedCheck {
  AccessTarget target;
  std::string permission;
};
GuardedCheck guardedCheck(const AccessTarget& target, std::string_view type,
                          std::string_view permission);

// kStatusOk, or `denied` reported through ci.fail with the decision's explanation.
StatusCode require(ClientInterface& ci, const AccessTarget& target, std::string_view permission,
                   StatusCode denied, std::string_view operation);

}  // namespace mdserver
