// The plain records of the repository's security model: identities, permissions, authorization
// entries, logins and the principal a connection acts for. Shared by the storage, the decision
// function, the listings and the client interface adapter; none of them carries behaviour.
//
// Identities are objects of types Person, IdentityGroup and Role, plus two built-in identities
// that every repository has (they are not stored): kEverybodyId for every connection and
// kAuthenticatedId for every connection that logged in.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mdserver/base/outcome.h"

namespace mdserver {

inline constexpr std::string_view kEverybodyId = "BUILTIN0.EVERYBDY";
inline constexpr std::string_view kEverybodyName = "Everybody";
inline constexpr std::string_view kAuthenticatedId = "BUILTIN0.AUTHUSRS";
inline constexpr std::string_view kAuthenticatedName = "Authenticated";
inline constexpr std::string_view kBuiltInType = "BuiltInGroup";

// The association that lists a group's or role's members (people, groups, roles), and the one
// by which a person may name its groups itself; membership is the union of both.
inline constexpr std::string_view kMembersAssociation = "MemberIdentities";
inline constexpr std::string_view kGroupsAssociation = "IdentityGroups";

// Permission names the model itself relies on; a repository defines these and any others.
inline constexpr std::string_view kPermissionRead = "Read";
inline constexpr std::string_view kPermissionWrite = "Write";
inline constexpr std::string_view kPermissionDelete = "Delete";
inline constexpr std::string_view kPermissionAdminister = "Administer";

struct IdentityRecord {
  std::string id;           // object identifier, or a built-in identifier
  std::string name;
  std::string type;         // Person, IdentityGroup, Role or kBuiltInType
  std::string description;
};

// One explicit grant or deny, on a repository (target = its 8-character identifier) or on an
// object (target = its 17-character identifier).
struct AccessEntry {
  std::string target;
  std::string identityId;
  std::string permission;   // the permission's name as the repository defines it
  bool grant = true;        // false: deny
  bool operator==(const AccessEntry&) const = default;
};

inline constexpr std::string_view kTemplateType = "AccessControlTemplate";
inline constexpr std::string_view kTemplateNameAttribute = "Name";
inline constexpr std::string_view kTemplateDescriptionAttribute = "Description";

// An access control template: an object of type AccessControlTemplate of one repository, with
// its own grant and deny entries (AccessEntry whose target is the template's identifier) and
// attributes, Name and Description first. It is applied to repositories and objects
// (applications).
struct TemplateRecord {
  std::string id;            // 17 characters, "<repository>.T<7 digits>"
  std::string repositoryId;
  std::vector<std::pair<std::string, std::string>> attributes;  // Name, Description, others
  std::string attribute(std::string_view name) const {
    for (const auto& [key, value] : attributes) {
      if (key.size() == name.size() &&
          std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
          })) {
        return value;
      }
    }
    return {};
  }
  std::string name() const { return attribute(kTemplateNameAttribute); }
  std::string description() const { return attribute(kTemplateDescriptionAttribute); }
};

// One change of the security model, staged in a transaction or applied at once:
//   kSet, kRemove              an explicit entry (for kRemove, grant is ignored);
//   kCreateTemplate            the template `templateRecord` (id, repository, attributes);
//   kDeleteTemplate            the template `templateId`, its entries and its applications;
//   kSetTemplateAttribute      attribute `attribute` of `templateId` (an empty value removes an
//                              attribute other than Name);
//   kApplyTemplate, kRemoveTemplate  the application of `templateId` to `target`.
struct AuthorizationChange {
  enum class Kind { kSet, kRemove, kCreateTemplate, kDeleteTemplate, kSetTemplateAttribute,
                    kApplyTemplate, kRemoveTemplate };
  Kind kind = Kind::kSet;
  AccessEntry entry;
  TemplateRecord templateRecord;
  std::string templateId;
  std::pair<std::string, std::string> attribute;
  std::string target;
};

// A login as stored. passwordHash never leaves the security model: listings copy the other
// fields only.
struct LoginRecord {
  std::string id;           // the login's own identifier
  std::string userId;
  std::string passwordHash; // libsodium password-hash string (salt and cost inside)
  std::string ownerId;      // the identity it logs in as
  std::string domain;       // authentication domain
};

// Who a connection acts for. The local administrator (a program run without a user, when the
// repository does not require a login) passes every decision; anyone else is decided by the
// entries for the identities in `identities`: the own identity, every group and role it belongs
// to (nesting followed), Authenticated and Everybody.
struct Principal {
  bool localAdministrator = false;
  std::string userId;       // empty for the local administrator
  std::string identityId;
  std::unordered_set<std::string> identities;
  // Not ok when a membership could not be read: `identities` may lack a group whose deny
  // decides, so every decision for this principal refuses with this status.
  Outcome failure;

  static Principal administrator() {
    Principal p;
    p.localAdministrator = true;
    return p;
  }
};

}  // namespace mdserver
