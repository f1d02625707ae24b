// What the security model answers and changes, in plain records: identity listings, the views of
// the authorization listing, the checking of an authorization change, and login listings. The
// client interface adapter (security_operations.cpp) turns these into the interface's lists.
//
// Codes of authorization entries (the listing's code member, METASEC_GETNAUTH's argument 6):
//    2  explicit grant on the object itself            1  explicit deny on the object itself
//   18  grant derived from a level further out         17  deny derived from a level further out
//   34  effective decision: granted                    33  effective decision: denied
//   32  effective decision: denied, no entry decides
// Text Q: blank for an entry on the object itself (and for code 32); otherwise the level it comes
// from as a reference the repository route accepts, "vqsobj:Repository\<identifier>".
//
// Views (flags of listAuthorizations / repoListAuthorizations):
//   0  every explicit entry that bears on the target: its own (1, 2), then, derived (17, 18),
//      those of the templates applied to it, of its repository and of the templates applied to
//      the repository; text Q of a template's entry is the template's identifier;
//   1  the target's own explicit entries only;
//   2  effective decisions: one entry per identity and permission, computed by the decision
//      function (access_decision.h) for that identity with its groups and roles. The identities
//      are those of the identity filter when one is given, else every identity that has an entry
//      on any level; the permissions are the one asked for, else every defined permission.
// The identity filter keeps an entry when one of its items matches: an item's text 1 is the
// identity's name or identifier, its text 2 the identity type; a blank text matches anything;
// letter case does not matter. The permission text keeps entries of that permission only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mdserver/security/access_decision.h"
#include "mdserver/security/security_store.h"

namespace mdserver {

inline constexpr int32_t kCodeDeny = 1;
inline constexpr int32_t kCodeGrant = 2;
inline constexpr int32_t kCodeDerived = 16;    // added to 1 or 2
inline constexpr int32_t kCodeEffective = 32;  // added to 1 or 2; alone: no entry decides

inline constexpr int32_t kViewBearing = 0;
inline constexpr int32_t kViewExplicit = 1;
inline constexpr int32_t kViewEffective = 2;

// Identity listing flags (repoListIdentities); 0 lists everything. Built-ins come first.
inline constexpr int32_t kIdentitiesPeople = 1;
inline constexpr int32_t kIdentitiesGroups = 2;
inline constexpr int32_t kIdentitiesRoles = 4;
inline constexpr int32_t kIdentitiesBuiltIn = 8;

// Grant codes of setAuthorization.
inline constexpr int32_t kGrantCodeRemove = 0;
inline constexpr int32_t kGrantCodeDeny = 1;
inline constexpr int32_t kGrantCodeGrant = 2;

std::vector<IdentityRecord> builtInIdentities();
Outcome listIdentities(SecurityStore& store, std::string_view repositoryId, int32_t flags,
                       std::vector<IdentityRecord>& out);
// A built-in or stored identity by name or identifier (type empty: any).
Outcome findAnyIdentity(SecurityStore& store, std::string_view idOrName, std::string_view type,
                        std::optional<IdentityRecord>& out);

// Whether the caller may see a stored identity (identities are objects: one it may not Read is,
// to it, no identity at all). Empty: every identity is seen. Never asked for the built-ins.
using IdentityVisible = std::function<bool(const IdentityRecord&)>;

// Whether the caller may see the level an entry sits on (a template of a repository it may not
// read, the repository of an object it reads only by the object's own entry). Empty: every
// level is seen. A level it may not see still counts and its entries are still shown, so the
// answer stays true; only where they sit is withheld, as kWithheldSource.
using LevelVisible = std::function<bool(DecisionLevel::Kind kind, const std::string& source)>;
inline constexpr const char* kWithheldSource = "(not readable to you)";

struct IdentityFilterItem {
  std::string name;  // text 1
  std::string type;  // text 2
};

struct AuthorizationRow {
  IdentityRecord identity;
  int32_t code = 0;
  std::string permission;  // text P
  std::string source;      // text Q
};

// The reference of the level an entry comes from, as text Q shows it: blank for the target
// itself, the template's identifier for a template's entry, the repository reference otherwise.
std::string levelReference(const AccessTarget& target, DecisionLevel::Kind kind,
                           const std::string& source);

// Identities `visible` rejects are left out: their entries are not listed, no effective row is
// made for them, and a filter item naming one finds nothing. A level `levelVisible` rejects is
// shown as kWithheldSource in text Q.
Outcome listAuthorizations(SecurityStore& store, const SecuritySources& sources,
                           const AccessTarget& target, int32_t view,
                           const std::vector<IdentityFilterItem>& filter,
                           std::string_view permission, std::vector<AuthorizationRow>& out,
                           const IdentityVisible& visible = {},
                           const LevelVisible& levelVisible = {});

// Checks a requested change and builds it: the identity (text 1 name or identifier, text 2
// type) must exist (kStatusUnknownIdentity), the permission must be defined
// (kStatusUnknownPermission), the grant code 0, 1 or 2 (kStatusInvalidArgument). An identity
// `visible` rejects is answered as one that does not exist.
Outcome prepareChange(SecurityStore& store, std::string_view identityName,
                      std::string_view identityType, int32_t grantCode,
                      std::string_view permission, const AccessTarget& target,
                      AuthorizationChange& out, const IdentityVisible& visible = {});

// Login listing (listLogins): text 1 the authentication domain (blank: all), text 2 a user id
// prefix (blank: all), option the maximum count (0 or less: no limit); flag 1 includes logins
// owned by groups and roles (otherwise only people's), flag 2 matches the prefix against the
// owner's name instead of the user id, flag 3 orders by owner name instead of user id. A caller
// without Administer on the default repository sees its own login only.
struct LoginQuery {
  std::string domain;
  std::string prefix;
  int32_t maximum = 0;
  bool includeGroupLogins = false;
  bool prefixMatchesOwner = false;
  bool orderByOwner = false;
};
struct LoginRow {  // never the password or its hash
  std::string userId;
  std::string id;
  std::string ownerName;
  std::string ownerType;
  std::string ownerId;
};
Outcome listLogins(SecurityStore& store, const Principal& principal, bool mayAdminister,
                   const LoginQuery& query, std::vector<LoginRow>& out);

}  // namespace mdserver
