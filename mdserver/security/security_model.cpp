// Listings and checked changes of the security model; contracts in security_model.h.
#include "mdserver/security/security_model.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "mdserver/base/ascii_case.h"
#include "mdserver/base/status_codes.h"

namespace mdserver {
namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalNoCase(text.substr(0, prefix.size()), prefix);
}

bool matchesFilter(const IdentityRecord& identity, const std::vector<IdentityFilterItem>& filter) {
  if (filter.empty()) return true;
  return std::any_of(filter.begin(), filter.end(), [&](const IdentityFilterItem& item) {
    const bool name = item.name.empty() || equalNoCase(item.name, identity.name) ||
                      item.name == identity.id;
    const bool type = item.type.empty() || equalNoCase(item.type, identity.type);
    return name && type;
  });
}

constexpr std::string_view kDeletedIdentityType = "Unknown";

// The identity record an entry names; an identity deleted since shows its identifier.
IdentityRecord identityOf(SecurityStore& store, const std::string& id,
                          std::map<std::string, IdentityRecord>& known) {
  if (auto found = known.find(id); found != known.end()) return found->second;
  std::optional<IdentityRecord> identity;
  if (!findAnyIdentity(store, id, "", identity).ok() || !identity) {
    identity = IdentityRecord{id, id, std::string(kDeletedIdentityType), "no longer in the repository"};
  }
  known.emplace(id, *identity);
  return *identity;
}

}  // namespace

std::vector<IdentityRecord> builtInIdentities() {
  return {{std::string(kEverybodyId), std::string(kEverybodyName), std::string(kBuiltInType),
           "Every connection, with or without a login"},
          {std::string(kAuthenticatedId), std::string(kAuthenticatedName),
           std::string(kBuiltInType), "Every connection that logged in"}};
}

Outcome listIdentities(SecurityStore& store, std::string_view repositoryId, int32_t flags,
                       std::vector<IdentityRecord>& out) {
  out.clear();
  const int32_t wanted =
      flags == 0 ? (kIdentitiesPeople | kIdentitiesGroups | kIdentitiesRoles | kIdentitiesBuiltIn)
                 : flags;
  if (wanted & kIdentitiesBuiltIn) out = builtInIdentities();
  std::vector<IdentityRecord> stored;
  Outcome outcome = store.identities(repositoryId, stored);
  if (!outcome.ok()) return outcome;
  for (IdentityRecord& identity : stored) {
    const int32_t kind = equalNoCase(identity.type, "Person")          ? kIdentitiesPeople
                         : equalNoCase(identity.type, "IdentityGroup") ? kIdentitiesGroups
                                                                       : kIdentitiesRoles;
    if (wanted & kind) out.push_back(std::move(identity));
  }
  return Outcome::success();
}

Outcome findAnyIdentity(SecurityStore& store, std::string_view idOrName, std::string_view type,
                        std::optional<IdentityRecord>& out) {
  out.reset();
  for (IdentityRecord& builtIn : builtInIdentities()) {
    if ((builtIn.id == idOrName || equalNoCase(builtIn.name, idOrName)) &&
        (type.empty() || equalNoCase(type, builtIn.type))) {
      out = std::move(builtIn);
      return Outcome::success();
    }
  }
  return store.findIdentity(idOrName, type, out);
}

std::string levelReference(const AccessTarget& target, DecisionLevel::Kind kind,
                           const std::string& source) {
  if (kind == DecisionLevel::Kind::kObjectTemplates ||
      kind == DecisionLevel::Kind::kRepositoryTemplates) {
    return source;
  }
  if (source == target.id()) return {};
  return "vqsobj:Repository\\" + source;
}

Outcome listAuthorizations(SecurityStore& store, const SecuritySources& sources,
                           const AccessTarget& target, int32_t view,
                           const std::vector<IdentityFilterItem>& filter,
                           std::string_view permission, std::vector<AuthorizationRow>& out,
                           const IdentityVisible& visible, const LevelVisible& levelVisible) {
  out.clear();
  auto sourceText = [&](DecisionLevel::Kind kind, const std::string& source) {
    std::string reference = levelReference(target, kind, source);
    if (reference.empty() || !levelVisible || levelVisible(kind, source)) return reference;
    return std::string(kWithheldSource);
  };
  std::map<std::string, IdentityRecord> known;
  // The built-ins are no objects, and an entry of a deleted identity names no object any more.
  auto shown = [&](const IdentityRecord& identity) {
    return identity.type == kBuiltInType || identity.type == kDeletedIdentityType || !visible ||
           visible(identity);
  };
  const std::vector<DecisionLevel> levels = decisionLevels(target, sources.applications);
  if (view != kViewEffective) {
    for (const DecisionLevel& level : levels) {
      const bool own = level.sources.size() == 1 && level.sources.front() == target.id() &&
                       level.kind != DecisionLevel::Kind::kObjectTemplates &&
                       level.kind != DecisionLevel::Kind::kRepositoryTemplates;
      if (!own && view == kViewExplicit) break;
      for (const std::string& source : level.sources) {
        for (const AccessEntry& entry : sources.entries(source)) {
          if (!permission.empty() && !equalNoCase(permission, entry.permission)) continue;
          IdentityRecord identity = identityOf(store, entry.identityId, known);
          if (!shown(identity) || !matchesFilter(identity, filter)) continue;
          const int32_t code = (entry.grant ? kCodeGrant : kCodeDeny) + (own ? 0 : kCodeDerived);
          out.push_back(
              {std::move(identity), code, entry.permission, sourceText(level.kind, source)});
        }
      }
    }
    // A listing made from what could be read is no listing: refuse it with the storage's status.
    return sources.failed() ? *sources.failure : Outcome::success();
  }

  // Effective view: the decision function for each identity and permission.
  std::vector<IdentityRecord> identities;
  std::set<std::string> seen;
  if (!filter.empty()) {
    for (const IdentityFilterItem& item : filter) {
      std::optional<IdentityRecord> identity;
      Outcome found = findAnyIdentity(store, item.name, item.type, identity);
      if (!found.ok()) return found;
      if (identity && !shown(*identity)) identity.reset();
      if (identity && seen.insert(identity->id).second) identities.push_back(*identity);
    }
  } else {
    for (const DecisionLevel& level : levels) {
      for (const std::string& source : level.sources) {
        for (const AccessEntry& entry : sources.entries(source)) {
          if (seen.insert(entry.identityId).second) {
            IdentityRecord identity = identityOf(store, entry.identityId, known);
            if (shown(identity)) identities.push_back(std::move(identity));
          }
        }
      }
    }
  }
  std::vector<std::string> permissions;
  if (!permission.empty()) {
    permissions.emplace_back(permission);
  } else {
    Outcome listed = store.permissions(permissions);
    if (!listed.ok()) return listed;
  }
  const bool enforced = store.enforced();
  for (const IdentityRecord& identity : identities) {
    const bool authenticated = identity.id != kEverybodyId;
    const Principal principal = principalOf(store, identity, authenticated);
    for (const std::string& name : permissions) {
      const Decision decision = decide(sources, enforced, principal, target, name);
      if (decision.basis == Decision::Basis::kFailure) return decision.failure;
      int32_t code = kCodeEffective;
      std::string source;
      if (decision.basis == Decision::Basis::kEntry) {
        code += decision.allowed ? kCodeGrant : kCodeDeny;
        source = sourceText(decision.decidingKind, decision.decidingLevel);
      } else if (decision.allowed) {
        code += kCodeGrant;  // an open repository
      }
      out.push_back({identity, code, name, std::move(source)});
    }
  }
  return sources.failed() ? *sources.failure : Outcome::success();
}

Outcome prepareChange(SecurityStore& store, std::string_view identityName,
                      std::string_view identityType, int32_t grantCode,
                      std::string_view permission, const AccessTarget& target,
                      AuthorizationChange& out, const IdentityVisible& visible) {
  if (grantCode != kGrantCodeRemove && grantCode != kGrantCodeDeny &&
      grantCode != kGrantCodeGrant) {
    return {kStatusInvalidArgument, "grant code " + std::to_string(grantCode) +
                                        " is none of 0 (remove), 1 (deny), 2 (grant)"};
  }
  std::optional<IdentityRecord> identity;
  Outcome found = findAnyIdentity(store, identityName, identityType, identity);
  if (!found.ok()) return found;
  if (identity && identity->type != kBuiltInType && visible && !visible(*identity)) identity.reset();
  if (!identity) {
    return {kStatusUnknownIdentity, "no identity '" + std::string(identityName) + "'" +
                                        (identityType.empty() ? std::string()
                                                              : " of type '" +
                                                                    std::string(identityType) +
                                                                    "'")};
  }
  std::vector<std::string> permissions;
  Outcome listed = store.permissions(permissions);
  if (!listed.ok()) return listed;
  auto defined = std::find_if(permissions.begin(), permissions.end(),
                              [&](const std::string& p) { return equalNoCase(p, permission); });
  if (defined == permissions.end()) {
    return {kStatusUnknownPermission,
            "the repository defines no permission '" + std::string(permission) + "'"};
  }
  out.kind = grantCode == kGrantCodeRemove ? AuthorizationChange::Kind::kRemove
                                           : AuthorizationChange::Kind::kSet;
  out.entry = {target.id(), identity->id, *defined, grantCode == kGrantCodeGrant};
  return Outcome::success();
}

Outcome listLogins(SecurityStore& store, const Principal& principal, bool mayAdminister,
                   const LoginQuery& query, std::vector<LoginRow>& out) {
  out.clear();
  std::vector<LoginRecord> logins;
  Outcome listed = store.logins(logins);
  if (!listed.ok()) return listed;
  for (const LoginRecord& login : logins) {
    if (!mayAdminister && !equalNoCase(login.userId, principal.userId)) continue;
    if (!query.domain.empty() && !equalNoCase(query.domain, login.domain)) continue;
    std::optional<IdentityRecord> owner;
    if (!store.findIdentity(login.ownerId, "", owner).ok()) owner.reset();
    if (!owner) owner = IdentityRecord{login.ownerId, "", "Unknown", ""};
    if (!query.includeGroupLogins && !equalNoCase(owner->type, "Person")) continue;
    const std::string& matched = query.prefixMatchesOwner ? owner->name : login.userId;
    if (!query.prefix.empty() && !startsWithNoCase(matched, query.prefix)) continue;
    out.push_back({login.userId, login.id, owner->name, owner->type, owner->id});
  }
  if (query.orderByOwner) {
    std::stable_sort(out.begin(), out.end(), [](const LoginRow& a, const LoginRow& b) {
      return a.ownerName < b.ownerName;
    });
  }
  if (query.maximum > 0 && out.size() > static_cast<size_t>(query.maximum)) {
    out.resize(static_cast<size_t>(query.maximum));
  }
  return Outcome::success();
}

}  // namespace mdserver
