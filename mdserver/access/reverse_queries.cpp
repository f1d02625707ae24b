// Reverse questions; contract in reverse_queries.h.
#include "mdserver/access/reverse_queries.h"

#include "mdserver/access/audit_trail.h"

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "mdserver/base/ascii_case.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/readable_set.h"
#include "mdserver/security/security_model.h"

namespace mdserver {
namespace {

const char* levelText(DecisionLevel::Kind kind) {
  switch (kind) {
    case DecisionLevel::Kind::kObject: return "object";
    case DecisionLevel::Kind::kObjectTemplates: return "templates of the object";
    case DecisionLevel::Kind::kRepository: return "repository";
    case DecisionLevel::Kind::kRepositoryTemplates: return "templates of the repository";
  }
  return "";
}

std::string entryText(const AccessEntry& e) {
  return std::string(e.grant ? "grant " : "deny ") + e.permission + " to " + e.identityId +
         " on " + e.target;
}

// A misspelt permission would only ever answer "nobody" or "nothing": say what is wrong.
Outcome checkPermission(SecurityStore& store, std::string_view permission) {
  if (permission.empty()) return {kStatusUnknownPermission, "no permission given"};
  std::vector<std::string> defined;
  Outcome listed = store.permissions(defined);
  if (!listed.ok()) return listed;
  if (!defined.empty() &&
      std::none_of(defined.begin(), defined.end(),
                   [&](const std::string& name) { return equalNoCase(name, permission); })) {
    std::string known;
    for (const std::string& name : defined) known += (known.empty() ? "" : ", ") + name;
    return {kStatusUnknownPermission, "no permission '" + std::string(permission) +
                                          "' (the repository defines " + known + ")"};
  }
  return Outcome::success();
}

// The committed state with each level read once: the answer decides the same few levels for
// many identities or objects. The failure of a read is kept as decide() expects.
SecuritySources readOnce(SecurityStore& store) {
  auto from = std::make_shared<SecuritySources>(storeSources(store));
  auto entries = std::make_shared<std::unordered_map<std::string, std::vector<AccessEntry>>>();
  auto applied = std::make_shared<std::unordered_map<std::string, std::vector<std::string>>>();
  SecuritySources sources;
  sources.failure = from->failure;
  sources.entries = [from, entries](const std::string& target) {
    auto it = entries->find(target);
    if (it == entries->end()) it = entries->emplace(target, from->entries(target)).first;
    return it->second;
  };
  sources.applications = [from, applied](const std::string& target) {
    auto it = applied->find(target);
    if (it == applied->end()) it = applied->emplace(target, from->applications(target)).first;
    return it->second;
  };
  return sources;
}

std::vector<std::string> repositoryIds(Repository& repository) {
  std::vector<std::string> ids;
  for (const RepositoryInfo& info : repository.repositories()) ids.push_back(info.id);
  return ids;
}

// The target as the asker may see it: what it may not Read does not exist.
Outcome visibleTarget(Repository& repository, const ReadableSet& readable,
                      std::string_view object, AccessTarget& target) {
  auto visibleRepository = repository.repositoryByReference(object);
  if (visibleRepository && !readable.repositoryReadable(visibleRepository->id)) {
    visibleRepository.reset();
  }
  auto visibleObject =
      object.size() == 17 && object[8] == '.' ? repository.object(object) : std::nullopt;
  if (visibleObject && !readable.permits(visibleObject->id)) visibleObject.reset();
  if (visibleRepository) {
    target = repositoryTarget(visibleRepository->id);
  } else if (visibleObject) {
    target = objectTarget(visibleObject->id, visibleObject->type);
  } else if (object.size() == 17 && object[8] == '.' &&
             object.find_first_of(":\\?/") == object.npos) {
    return {kStatusObjectNotFound, "no object '" + std::string(object) + "'"};
  } else {
    std::vector<ObjectRow> rows;
    Outcome resolved = repository.resolve(object, 0, rows, &readable);
    if (!resolved.ok()) return resolved;
    if (rows.empty()) return {kStatusNoMatch, "no object matches '" + std::string(object) + "'"};
    target = objectTarget(rows.front().id, rows.front().type);
  }
  return Outcome::success();
}

bool allowedHere(const Decision& decision, Outcome& failure) {
  if (decision.basis == Decision::Basis::kFailure) failure = decision.failure;
  return decision.allowed;
}

}  // namespace

Outcome whoMay(Repository& repository, const Principal& asker, std::string_view object,
               std::string_view permission, const PageRequest& page, WhoPage& out) {
  out = WhoPage{};
  SecurityStore& store = repository.security();
  if (Outcome known = checkPermission(store, permission); !known.ok()) return known;
  ReadableSet readable;
  if (Outcome computed = readableSet(store, asker, repositoryIds(repository), readable);
      !computed.ok()) {
    return computed;
  }
  AccessTarget target;
  if (Outcome found = visibleTarget(repository, readable, object, target); !found.ok()) {
    return found;
  }
  // Who holds what here is the business of whoever administers the target.
  const GuardedCheck administer = guardedCheck(target, "", kPermissionAdminister);
  const Decision mayAsk = decide(store, asker, administer.target, administer.permission);
  if (mayAsk.basis == Decision::Basis::kFailure) return mayAsk.failure;
  if (!mayAsk.allowed) {
    recordRefusedQuestion(repository, asker, "who", target.id(), administer.permission,
                          kStatusAdministerDenied, &mayAsk, "");
    return {kStatusAdministerDenied, "listing who holds a permission needs " +
                                         administer.permission + " on " +
                                         administer.target.id()};
  }
  const GuardedCheck check = guardedCheck(target, "", permission);
  out.target = check.target.id();
  out.permission = check.permission;

  // Every identity in identifier order: the built-ins and the stored ones the asker may Read.
  std::vector<IdentityRecord> identities;
  for (std::string_view builtIn : {kAuthenticatedId, kEverybodyId}) {
    std::optional<IdentityRecord> record;
    if (Outcome found = findAnyIdentity(store, builtIn, "", record); !found.ok()) return found;
    if (record) identities.push_back(*record);
  }
  for (const std::string& id : repositoryIds(repository)) {
    std::vector<IdentityRecord> stored;
    if (Outcome listed = store.identities(id, stored); !listed.ok()) return listed;
    for (IdentityRecord& record : stored) {
      if (readable.permits(record.id)) identities.push_back(std::move(record));
    }
  }
  std::sort(identities.begin(), identities.end(),
            [](const IdentityRecord& a, const IdentityRecord& b) { return a.id < b.id; });

  const SecuritySources sources = readOnce(store);
  const bool enforced = store.enforced();
  Outcome failure;
  for (const IdentityRecord& identity : identities) {
    if (!page.cursor.empty() && identity.id <= page.cursor) continue;
    if (page.limit > 0 && out.answers.size() == page.limit) {
      out.nextCursor = out.answers.back().identityId;  // more identities remain to be asked
      break;
    }
    const Principal principal =
        principalOf(store, identity, /*authenticated=*/identity.id != kEverybodyId);
    const Decision decision =
        decide(sources, enforced, principal, check.target, check.permission);
    if (!allowedHere(decision, failure)) {
      if (!failure.ok()) return failure;
      continue;
    }
    WhoAnswer answer{identity.id, identity.name, identity.type, describe(decision), "", ""};
    if (decision.decidingEntry) {
      answer.decidingEntry = entryText(*decision.decidingEntry);
      answer.decidingLevel = levelText(decision.decidingKind);
    }
    out.answers.push_back(std::move(answer));
  }
  return Outcome::success();
}

Outcome whatMay(Repository& repository, const Principal& asker, std::string_view identity,
                std::string_view permission, std::string_view type, const PageRequest& page,
                WhatPage& out) {
  out = WhatPage{};
  SecurityStore& store = repository.security();
  if (Outcome known = checkPermission(store, permission); !known.ok()) return known;
  const std::vector<std::string> repositories = repositoryIds(repository);
  ReadableSet readable;
  if (Outcome computed = readableSet(store, asker, repositories, readable); !computed.ok()) {
    return computed;
  }
  const SecuritySources sources = readOnce(store);
  const bool enforced = store.enforced();
  Outcome failure;

  Principal subject = asker;
  // For another identity: only the repositories the asker administers are answered for.
  std::unordered_set<std::string> answeredFor;
  const bool restricted = !identity.empty() && !asker.localAdministrator;
  if (!identity.empty()) {
    if (restricted) {
      for (const std::string& id : repositories) {
        if (allowedHere(decide(sources, enforced, asker, repositoryTarget(id),
                               kPermissionAdminister),
                        failure)) {
          answeredFor.insert(id);
        }
        if (!failure.ok()) return failure;
      }
      // Asked before the identity is looked up: a refusal tells nothing of which exist.
      if (answeredFor.empty()) {
        recordRefusedQuestion(repository, asker, "what", "", kPermissionAdminister,
                              kStatusAdministerDenied, nullptr,
                              "listing what another identity may use needs Administer on a "
                              "repository");
        return {kStatusAdministerDenied,
                "listing what another identity may use needs Administer on a repository"};
      }
    }
    std::optional<IdentityRecord> record;
    if (Outcome found = findAnyIdentity(store, identity, "", record); !found.ok()) return found;
    if (record && record->type != kBuiltInType && !readable.permits(record->id)) record.reset();
    if (!record) return {kStatusUnknownIdentity, "no identity '" + std::string(identity) + "'"};
    subject = principalOf(store, *record, /*authenticated=*/record->id != kEverybodyId);
    out.identityId = record->id;
  } else {
    out.identityId = asker.identityId;
  }

  // The subject's decisions, as the readable set is built: per repository, and one by one for
  // the objects with levels of their own. A template is decided on its repository: Read as
  // Read, anything else as Administer (access_target.h).
  const bool everything = subject.localAdministrator || !enforced;
  const bool reading = equalNoCase(permission, kPermissionRead);
  std::unordered_map<std::string, bool> repositoryAllowed, repositoryAdministered;
  std::unordered_map<std::string, bool> exceptions;
  if (!everything) {
    if (!subject.failure.ok()) return subject.failure;
    for (const std::string& id : repositories) {
      repositoryAllowed[id] = allowedHere(
          decide(sources, true, subject, repositoryTarget(id), permission), failure);
      if (!reading) {
        repositoryAdministered[id] = allowedHere(
            decide(sources, true, subject, repositoryTarget(id), kPermissionAdminister),
            failure);
      }
      if (!failure.ok()) return failure;
    }
    std::vector<std::pair<std::string, std::string>> own;
    if (Outcome listed = store.objectsWithOwnLevels(own); !listed.ok()) return listed;
    for (const auto& [id, ownType] : own) {
      if (isTemplateType(ownType)) continue;  // decided on its repository
      exceptions[id] =
          allowedHere(decide(sources, true, subject, objectTarget(id, ownType), permission),
                      failure);
      if (!failure.ok()) return failure;
    }
  }
  auto permitted = [&](const ObjectRow& row) {
    if (everything) return true;
    const std::string repositoryId = row.id.substr(0, 8);
    if (isTemplateType(row.type)) {
      return reading ? repositoryAllowed[repositoryId] : repositoryAdministered[repositoryId];
    }
    if (auto found = exceptions.find(row.id); found != exceptions.end()) return found->second;
    return repositoryAllowed[repositoryId];
  };

  std::string after = page.cursor;
  const size_t batch = std::max<size_t>(1024, page.limit + 1);
  std::vector<ObjectRow> rows;
  for (;;) {
    if (Outcome listed = repository.objectsAfter(after, type, batch, rows); !listed.ok()) {
      return listed;
    }
    const std::string last = rows.empty() ? std::string() : rows.back().id;
    for (ObjectRow& row : rows) {
      if (page.limit > 0 && out.objects.size() == page.limit) {
        out.nextCursor = out.objects.back().id;  // more objects remain to be looked at
        return Outcome::success();
      }
      if (restricted && answeredFor.count(row.id.substr(0, 8)) == 0) continue;
      if (!readable.permits(row.id) || !permitted(row)) continue;
      out.objects.push_back(std::move(row));
    }
    if (rows.size() < batch) break;
    after = last;
  }
  return Outcome::success();
}

}  // namespace mdserver
