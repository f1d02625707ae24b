// Explanations of decisions; contract in access_explanation.h.
#include "mdserver/access_explanation.h"

#include <map>

#include "mdserver/access_guard.h"
#include "mdserver/security_model.h"
#include "mdserver/status_codes.h"

namespace mdserver {
namespace {

const char* levelText(DecisionLevel::Kind kind) {
  switch (kind) {
    case DecisionLevel::Kind::kObject: return "object";
    case DecisionLevel::Kind::kObjectTemplates: return "templates of the object";
    case DecisionLevel::Kind::kRepository: return "repository";
    case DecisionLevel::Kind::kRepositoryTemplates: return "templates of the repository";
  }
  return "?";
}

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
  AccessTarget target;
  if (auto r = repository.repositoryByReference(object)) {
    target = repositoryTarget(r->id);
  } else if (auto row = object.size() == 17 && object[8] == '.' ? repository.object(object)
                                                                : std::nullopt) {
    target = objectTarget(row->id);
  } else {
    std::vector<ObjectRow> rows;
    Outcome resolved = repository.resolve(object, 0, rows);
    if (!resolved.ok()) return resolved;
    if (rows.empty()) return {kStatusNoMatch, "no object matches '" + std::string(object) + "'"};
    target = objectTarget(rows.front().id);
  }
  Principal decided = principal;
  if (!identity.empty()) {
    std::optional<IdentityRecord> record;
    Outcome found = findAnyIdentity(store, identity, "", record);
    if (!found.ok()) return found;
    if (!record) return {kStatusUnknownIdentity, "no identity '" + std::string(identity) + "'"};
    decided = principalOf(store, *record, /*authenticated=*/record->id != kEverybodyId);
  }
  const Decision decision = decide(store, decided, target, permission);
  out.granted = decision.allowed;
  out.target = target.id();
  out.summary = describe(decision);
  std::map<std::string, std::string> identityNames;
  for (const ConsideredLevel& level : decision.considered) {
    for (const AccessEntry& entry : level.entries) {
      ExplanationStep step;
      step.level = levelText(level.level.kind);
      step.source = entry.target;
      step.sourceName = nameOf(repository, level.level.kind, entry.target);
      step.identity = entry.identityId;
      auto known = identityNames.find(entry.identityId);
      if (known == identityNames.end()) {
        std::optional<IdentityRecord> record;
        std::string name = entry.identityId;
        if (findAnyIdentity(store, entry.identityId, "", record).ok() && record) name = record->name;
        known = identityNames.emplace(entry.identityId, name).first;
      }
      step.identityName = known->second;
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
  lines.push_back(std::string(e.granted ? "granted" : "denied") + ": " + e.summary);
  for (const ExplanationStep& s : e.steps) {
    lines.push_back("  " + s.role + ": " + (s.grant ? "grant" : "deny") + " of " + s.permission +
                    " to " + s.identityName + " (" + s.identity + ") on " + s.level + " " +
                    s.sourceName + " (" + s.source + ")");
  }
  return lines;
}

}  // namespace mdserver
