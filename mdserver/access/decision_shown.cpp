#include "mdserver/access/decision_shown.h"

#include "mdserver/security/security_model.h"

namespace mdserver {

const char* levelText(DecisionLevel::Kind kind) {
  switch (kind) {
    case DecisionLevel::Kind::kObject: return "object";
    case DecisionLevel::Kind::kObjectTemplates: return "templates of the object";
    case DecisionLevel::Kind::kRepository: return "repository";
    case DecisionLevel::Kind::kRepositoryTemplates: return "templates of the repository";
  }
  return "";
}

bool levelShown(const ReadableSet& readable, DecisionLevel::Kind kind, const std::string& source) {
  switch (kind) {
    case DecisionLevel::Kind::kObject: return true;  // the target, readable
    case DecisionLevel::Kind::kRepository: return readable.repositoryReadable(source);
    case DecisionLevel::Kind::kObjectTemplates:
    case DecisionLevel::Kind::kRepositoryTemplates: return readable.permits(source);
  }
  return false;
}

bool identityShown(const ReadableSet& readable, std::string_view askerIdentity,
                   const std::string& identityId) {
  return identityId == kEverybodyId || identityId == kAuthenticatedId ||
         identityId == askerIdentity || readable.permits(identityId);
}

Decision shownTo(const Decision& decision, const ReadableSet& readable,
                 std::string_view askerIdentity) {
  Decision shown = decision;
  if (!shown.decidingEntry) return shown;
  if (!levelShown(readable, shown.decidingKind, shown.decidingLevel)) {
    shown.decidingLevel = kWithheldSource;
    shown.decidingEntry->target = kWithheldSource;
  }
  if (!identityShown(readable, askerIdentity, shown.decidingEntry->identityId)) {
    shown.decidingEntry->identityId = kWithheldSource;
  }
  return shown;
}

}  // namespace mdserver
