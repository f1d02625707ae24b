// Explanations of decisions; contract in access_explanation.h.
#include "mdserver/access/access_explanation.h"

#include <algorithm>
#include <map>

#include "mdserver/access/decision_shown.h"
#include "mdserver/base/ascii_case.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/readable_set.h"
#include "mdserver/security/security_model.h"

namespace mdserver {
namespace {

// Stands for a level or an identity the asker may not read, in steps and in the summary.
constexpr const char* kNotReadable = kWithheldSource;

bool isBuiltIn(const std::string& id) { return id == kEverybodyId || id == kAuthenticatedId; }


std::string nameOf(Repository& repository, DecisionLevel::Kind kind, const std::string& id) {
  SecurityStore& store = repository.security();
  if (kind == DecisionLevel::Kind::kObjectTemplates ||
      kind == DecisionLevel::Kind::kRepositoryTemplates) {
    std::optional<TemplateRecord> t;
    if (store.findTemplate(id, t).ok() && t) return t->name();
    return id;
  }
  if (id.size() == 8) {
    auto r = repository.repositoryByReference(id);
    return r ? r->name : id;
  }
  auto row = repository.object(id);
  return row ? row->name : id;
}

}  // namespace

Outcome explainAccess(Repository& repository, const Principal& principal,
                      std::string_view object, std::string_view permission,
                      std::string_view identity, AccessExplanation& out) {
  out = AccessExplanation{};
  SecurityStore& store = repository.security();
  // A misspelt permission would only ever be "denied": say what is wrong instead. A repository
  // that defines none is open, and every name is as good as another there.
  if (permission.empty()) return {kStatusUnknownPermission, "no permission given"};
  std::vector<std::string> defined;
  Outcome listed = store.permissions(defined);
  if (!listed.ok()) return listed;
  if (!defined.empty() &&
      std::none_of(defined.begin(), defined.end(),
                   [&](const std::string& name) { return equalNoCase(name, permission); })) {
    std::string known;
    for (const std::string& name : defined) known += (known.empty() ? "" : ", ") + name;
    return {kStatusUnknownPermission,
            "no permission '" + std::string(permission) + "' (the repository defines " + known + ")"};
  }
  // The asker learns nothing of what it may not read: such a repository or object is answered
  // exactly as one that does not exist, and a query sees only readable objects at every step.
  ReadableSet readable;
  {
    std::vector<std::string> repositories;
    for (const RepositoryInfo& info : repository.repositories()) repositories.push_back(info.id);
    Outcome computed = readableSet(store, principal, repositories, readable);
    if (!computed.ok()) return computed;
  }
  AccessTarget target;
  auto visibleRepository = repository.repositoryByReference(object);
  if (visibleRepository && !readable.repositoryReadable(visibleRepository->id)) {
    visibleRepository.reset();
  }
  auto visibleObject = object.size() == 17 && object[8] == '.' ? repository.object(object)
                                                               : std::nullopt;
  if (visibleObject && !readable.permits(visibleObject->id)) visibleObject.reset();
  if (visibleRepository) {
    target = repositoryTarget(visibleRepository->id);
  } else if (visibleObject) {
    target = objectTarget(visibleObject->id, visibleObject->type);
  } else if (object.size() == 17 && object[8] == '.' && object.find_first_of(":\\?/") == object.npos) {
    return {kStatusObjectNotFound, "no object '" + std::string(object) + "'"};
  } else {
    std::vector<ObjectRow> rows;
    Outcome resolved = repository.resolve(object, 0, rows, &readable);
    if (!resolved.ok()) return resolved;
    if (rows.empty()) return {kStatusNoMatch, "no object matches '" + std::string(object) + "'"};
    target = objectTarget(rows.front().id, rows.front().type);
  }
  // What enforcement decides for this permission here (a template object: its repository).
  const GuardedCheck check = guardedCheck(target, "", permission);
  Principal decided = principal;
  if (!identity.empty()) {
    // Another identity's access is the business of whoever administers the target; asked
    // before the identity is looked up, so a refusal says nothing about which identities exist.
    const GuardedCheck administer = guardedCheck(target, "", kPermissionAdminister);
    if (!decide(store, principal, administer.target, administer.permission).allowed) {
      return {kStatusAdministerDenied, "explaining the access of another identity needs " +
                                           administer.permission + " on " +
                                           administer.target.id()};
    }
    std::optional<IdentityRecord> record;
    Outcome found = findAnyIdentity(store, identity, "", record);
    if (!found.ok()) return found;
    // An identity object the asker may not read is no identity for it (the built-ins are no
    // objects and always known).
    if (record && !isBuiltIn(record->id) && !readable.permits(record->id)) record.reset();
    if (!record) return {kStatusUnknownIdentity, "no identity '" + std::string(identity) + "'"};
    decided = principalOf(store, *record, /*authenticated=*/record->id != kEverybodyId);
  }
  const Decision decision = decide(store, decided, check.target, check.permission);
  // No explanation of a decision that could not be made: the caller gets the storage's status.
  if (decision.basis == Decision::Basis::kFailure) return decision.failure;
  out.granted = decision.allowed;
  out.target = check.target.id();
  // Where an entry sits and whom it names are withheld from an asker who may not see them
  // (decision_shown.h); the entry itself is still shown.
  auto sourceShown = [&](DecisionLevel::Kind kind, const std::string& source) {
    return levelShown(readable, kind, source);
  };
  auto identityShownHere = [&](const std::string& id) {
    return identityShown(readable, principal.identityId, id);
  };
  out.summary = describe(shownTo(decision, readable, principal.identityId));
  if (check.target.id() != target.id() || check.permission != permission) {
    out.summary += " (asked as " + check.permission + " on repository " + check.target.id() +
                   ": an access control template is guarded by its repository)";
  }
  std::map<std::string, std::string> identityNames;
  for (const ConsideredLevel& level : decision.considered) {
    for (const AccessEntry& entry : level.entries) {
      ExplanationStep step;
      step.level = levelText(level.level.kind);
      if (sourceShown(level.level.kind, entry.target)) {
        step.source = entry.target;
        step.sourceName = nameOf(repository, level.level.kind, entry.target);
      } else {
        step.sourceName = kNotReadable;
      }
      if (identityShownHere(entry.identityId)) {
        step.identity = entry.identityId;
        auto known = identityNames.find(entry.identityId);
        if (known == identityNames.end()) {
          std::optional<IdentityRecord> record;
          std::string name = entry.identityId;
          if (findAnyIdentity(store, entry.identityId, "", record).ok() && record) {
            name = record->name;
          }
          known = identityNames.emplace(entry.identityId, name).first;
        }
        step.identityName = known->second;
      } else {
        step.identityName = kNotReadable;
      }
      step.permission = entry.permission;
      step.grant = entry.grant;
      if (decision.decidingEntry && entry == *decision.decidingEntry) {
        step.role = "decided";
      } else {
        const bool sameLevel = level.level.kind == decision.decidingKind;
        step.role = sameLevel ? (entry.grant == decision.allowed ? "agreed" : "lost")
                              : "overridden";
      }
      out.steps.push_back(std::move(step));
    }
  }
  return Outcome::success();
}

std::vector<std::string> explanationLines(const AccessExplanation& e) {
  std::vector<std::string> lines;
  // The summary opens with its own verdict ("granted by ...", "denied: no entry ...").
  lines.push_back(e.summary);
  for (const ExplanationStep& s : e.steps) {
    // A withheld identifier (empty) is not printed as "()".
    auto named = [](const std::string& name, const std::string& id) {
      return id.empty() ? name : name + " (" + id + ")";
    };
    lines.push_back("  " + s.role + ": " + (s.grant ? "grant" : "deny") + " of " + s.permission +
                    " to " + named(s.identityName, s.identity) + " on " + s.level + " " +
                    named(s.sourceName, s.source));
  }
  return lines;
}

}  // namespace mdserver
