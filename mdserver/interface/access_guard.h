// Enforcement: the checks the client interface's operations make before they read or change
// anything, all through the one decision function (access_decision.h) for the interface's
// principal. Reads: objects the principal may not Read are left out of resolutions and
// listings as if they did not exist. Changes: refused with a status of their own and a text
// that says who was refused what where, and nothing is changed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mdserver/interface/client_interface.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/access_target.h"

namespace mdserver {

Decision decideFor(ClientInterface& ci, const AccessTarget& target, std::string_view permission);
bool mayRead(ClientInterface& ci, const ObjectRow& row);
// Removes the rows the principal may not Read, keeping the order of the others. When a decision
// cannot be made (the security state cannot be read), no row is kept and the storage's status
// is returned through ci.fail; kStatusOk otherwise.
StatusCode keepReadable(ClientInterface& ci, std::vector<ObjectRow>& rows);
// kStatusOk, or `denied` reported through ci.fail with the decision's explanation; a decision
// that could not be made is refused with the storage's status instead.
StatusCode require(ClientInterface& ci, const AccessTarget& target, std::string_view permission,
                   StatusCode denied, std::string_view operation);

}  // namespace mdserver
