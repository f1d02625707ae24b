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

// Decisions are kept per interface while the repository's change count stays the same
// (ClientInterface::refreshSecurityState), so an unchanged state decides from memory.
Decision decideFor(ClientInterface& ci, const AccessTarget& target, std::string_view permission);
// Reads are decided through the principal's readable set (readable_set.h), which is what
// decide() answers for Read, kept while the repository is unchanged. A set that cannot be
// computed lets nothing through: mayRead answers false, keepReadable keeps nothing and returns
// the failure (reported through ci.fail).
bool mayRead(ClientInterface& ci, const ObjectRow& row);
// Whether the principal may Read the object with that identifier now, decided by its stored
// type (never by what a handle's record says). An object that is gone passes: the operation
// reports it as gone itself.
bool mayReadObject(ClientInterface& ci, std::string_view id);
bool mayReadId(ClientInterface& ci, std::string_view objectId);
// Whether the principal may Read the repository (and so list it and its templates), from the
// same kept set.
bool mayReadRepository(ClientInterface& ci, std::string_view repositoryId);
// Notes a read of the object refused by the decision function for the audit trail (refused
// reads are coalesced there); the local administrator and a gone object note nothing.
void noteRefusedRead(ClientInterface& ci, std::string_view id);
// Removes the rows the principal may not Read, keeping the order of the others. When a decision
// cannot be made (the security state cannot be read), no row is kept and the storage's status
// is returned through ci.fail; kStatusOk otherwise.
StatusCode keepReadable(ClientInterface& ci, std::vector<ObjectRow>& rows);
// kStatusOk, or `denied` reported through ci.fail with the decision's explanation; a decision
// that could not be made is refused with the storage's status instead.
StatusCode require(ClientInterface& ci, const AccessTarget& target, std::string_view permission,
                   StatusCode denied, std::string_view operation);
// The same check as an Outcome (the refusal's status and text), for checks made inside a
// repository change.
Outcome check(ClientInterface& ci, const AccessTarget& target, std::string_view permission,
              StatusCode denied, std::string_view operation);

// The checks an association change asks of its links (repository.h, LinkGuard), for an
// operation refused with `denied`:
//  - links to objects the principal may not Read are kept where they are, and such an object is
//    no target: changes act on the list the principal sees;
//  - rewriting the other side of a paired association needs Write on that object;
//  - adding or removing a membership (either side) needs Administer on the group's repository,
//    as every other security change needs Administer.
LinkGuard linkGuard(ClientInterface& ci, std::string_view operation, StatusCode denied);

}  // namespace mdserver
