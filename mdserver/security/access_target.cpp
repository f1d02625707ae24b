// Targets of access decisions; contract in access_target.h.
#include "mdserver/security/access_target.h"

#include <algorithm>

#include "mdserver/base/ascii_case.h"
#include "mdserver/security/security_types.h"

namespace mdserver {

AccessTarget objectTarget(std::string_view objectId) {
  return AccessTarget{std::string(objectId.substr(0, std::min<size_t>(8, objectId.size()))),
                      std::string(objectId)};
}

AccessTarget repositoryTarget(std::string_view repositoryId) {
  return AccessTarget{std::string(repositoryId), ""};
}

bool isTemplateType(std::string_view type) { return equalNoCase(type, kTemplateType); }

AccessTarget objectTarget(std::string_view objectId, std::string_view type) {
  AccessTarget target = objectTarget(objectId);
  target.isTemplate = isTemplateType(type);
  return target;
}

GuardedCheck guardedCheck(const AccessTarget& target, std::string_view type,
                          std::string_view permission) {
  if (!target.isTemplate && !isTemplateType(type)) return {target, std::string(permission)};
  const bool reading = equalNoCase(permission, kPermissionRead);
  return {repositoryTarget(target.repositoryId),
          std::string(reading ? kPermissionRead : kPermissionAdminister)};
}

}  // namespace mdserver
