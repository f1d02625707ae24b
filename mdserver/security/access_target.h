// Targets of access decisions: an object or a repository named by identifier, and the check
// that enforcement and explanations both make for a target of a given type (an access control
// template is decided on its repository).
#pragma once

#include <string>
#include <string_view>

#include "mdserver/security/access_decision.h"

namespace mdserver {

// Identifiers begin with their repository's identifier ("A0000001.TABLE001").
AccessTarget objectTarget(std::string_view objectId);
AccessTarget repositoryTarget(std::string_view repositoryId);
// An object of the given type as a target: an access control template is marked as one, so its
// entries are read as the template's (for the objects it is applied to).
AccessTarget objectTarget(std::string_view objectId, std::string_view type);
bool isTemplateType(std::string_view type);

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

}  // namespace mdserver
