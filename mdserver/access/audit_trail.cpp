// The audit trail's readers and logins; contract in audit_trail.h.
#include "mdserver/access/audit_trail.h"

#include <ctime>
#include <iomanip>
#include <optional>
#include <sstream>

#include "mdserver/access/decision_shown.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/security_model.h"

namespace mdserver {

std::string auditDecidingEntry(const AccessEntry& e) {
  return std::string(e.grant ? "grant " : "deny ") + e.permission + " to " + e.identityId +
         " on " + e.target;
}


Authentication authenticateAudited(Repository& repository, const std::string& user,
                                   const std::string& password) {
  SecurityStore& store = repository.security();
  Authentication result = authenticate(store, user, password);
  if (user.empty() && result.outcome.ok()) return result;
  AuditRecord record;
  record.operation = "login";
  record.userId = user;
  record.target = user;
  record.status = result.outcome.status;
  record.outcome = result.outcome.ok() ? "allowed" : "refused";
  record.identityId = result.principal.identityId;
  record.decision = result.outcome.ok() ? "logged in" : result.outcome.message;
  // The records belong to the repository of the identity the login is for, so that its
  // administrators see who logs in as its people (and who fails to); a user id without a login
  // belongs to the first repository.
  std::string owner = result.principal.identityId;
  if (owner.empty() && !user.empty()) {
    std::optional<LoginRecord> login;
    if (store.findLogin(user, login).ok() && login) owner = login->ownerId;
  }
  if (owner.size() >= 8 && owner.compare(0, 8, "BUILTIN0") != 0) {
    record.repositoryId = owner.substr(0, 8);
  } else {
    const std::vector<RepositoryInfo> all = repository.repositories();
    record.repositoryId = all.empty() ? std::string() : all.front().id;
  }
  record.changeCount = repository.changeCount();
  repository.audit().record(std::move(record));
  return result;
}

void recordRefusedQuestion(Repository& repository, const Principal& asker,
                           std::string_view operation, std::string_view target,
                           std::string_view permission, StatusCode status,
                           const Decision* decision, std::string_view text) {
  AuditRecord record;
  record.userId = asker.userId;
  record.identityId = asker.identityId;
  record.operation = operation;
  record.target = target;
  record.permission = permission;
  record.outcome = "refused";
  record.status = status;
  if (target.size() >= 8) {
    record.repositoryId = target.substr(0, 8);
  } else {
    const std::vector<RepositoryInfo> all = repository.repositories();
    record.repositoryId = all.empty() ? std::string() : all.front().id;
  }
  record.decision = decision ? describe(*decision) : std::string(text);
  if (decision && decision->decidingEntry) {
    record.decidingEntry = auditDecidingEntry(*decision->decidingEntry);
    record.decidingLevel = levelText(decision->decidingKind);
  }
  record.changeCount = repository.changeCount();
  repository.audit().record(std::move(record));
}

namespace {

std::optional<DecisionLevel::Kind> levelKindOf(std::string_view text) {
  for (DecisionLevel::Kind kind :
       {DecisionLevel::Kind::kObject, DecisionLevel::Kind::kObjectTemplates,
        DecisionLevel::Kind::kRepository, DecisionLevel::Kind::kRepositoryTemplates}) {
    if (text == levelText(kind)) return kind;
  }
  return std::nullopt;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
}

// The deciding entry is stored as auditDecidingEntry wrote it, "<grant|deny> <permission> to
// <identity> on <level>" (identifiers hold no blanks), and the decision line as describe() wrote
// it, which ends "to <identity> on [template ]<level>".
void withholdDecider(AuditRecord& record, const ReadableSet& readable,
                     std::string_view readerIdentity) {
  const size_t on = record.decidingEntry.rfind(" on ");
  const size_t to = on == std::string::npos ? on : record.decidingEntry.rfind(" to ", on);
  const std::optional<DecisionLevel::Kind> kind = levelKindOf(record.decidingLevel);
  if (to == std::string::npos || !kind) return;
  const std::string level = record.decidingEntry.substr(on + 4);
  const std::string identity = record.decidingEntry.substr(to + 4, on - to - 4);
  const std::string withheld = kWithheldSource;
  if (!levelShown(readable, *kind, level)) {
    record.decidingEntry.replace(on + 4, std::string::npos, withheld);
    if (record.decision.size() > level.size() &&
        record.decision.compare(record.decision.size() - level.size(), level.size(), level) == 0) {
      record.decision.replace(record.decision.size() - level.size(), level.size(), withheld);
    }
  }
  if (!identityShown(readable, readerIdentity, identity)) {
    record.decidingEntry.replace(to + 4, identity.size(), withheld);
    replaceAll(record.decision, " to " + identity + " on ", " to " + withheld + " on ");
  }
}

}  // namespace

Outcome readAuditTrail(Repository& repository, const Principal& reader, AuditFilter filter,
                       std::vector<AuditRecord>& out, bool* more) {
  out.clear();
  if (more) *more = false;
  filter.repositories.clear();
  filter.anyRepository = reader.localAdministrator;
  if (!reader.localAdministrator) {
    SecurityStore& store = repository.security();
    for (const RepositoryInfo& info : repository.repositories()) {
      const Decision decision =
          decide(store, reader, repositoryTarget(info.id), kPermissionAdminister);
      if (decision.basis == Decision::Basis::kFailure) return decision.failure;
      if (decision.allowed) filter.repositories.push_back(info.id);
    }
    if (filter.repositories.empty()) {
      const std::string text = "reading the audit trail needs Administer on a repository";
      recordRefusedQuestion(repository, reader, "readAudit", "", kPermissionAdminister,
                            kStatusAdministerDenied, nullptr, text);
      return {kStatusAdministerDenied, text};
    }
  }
  Outcome read = repository.audit().read(filter, out, more);
  if (!read.ok() || reader.localAdministrator) return read;
  // A record's deciding entry may sit on a level, or be for a group or role, the reader may not
  // read although it administers the record's repository (a template of another repository
  // applied there): withheld as explanations and who() withhold them.
  std::vector<std::string> repositories;
  for (const RepositoryInfo& info : repository.repositories()) repositories.push_back(info.id);
  ReadableSet readable;
  Outcome computed = readableSet(repository.security(), reader, repositories, readable);
  if (!computed.ok()) {
    out.clear();
    if (more) *more = false;
    return computed;
  }
  for (AuditRecord& record : out) withholdDecider(record, readable, reader.identityId);
  return read;
}

std::string auditTimeText(int64_t milliseconds) {
  const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  std::ostringstream text;
  text << std::put_time(&utc, "%Y-%m-%dT%H:%M:%S") << '.' << std::setw(3) << std::setfill('0')
       << (milliseconds % 1000) << 'Z';
  return text.str();
}

std::string auditLine(const AuditRecord& r) {
  std::ostringstream line;
  line << auditTimeText(r.time) << ' ' << r.outcome << ' ' << r.operation << ' '
       << (r.target.empty() ? "-" : r.target);
  if (!r.permission.empty()) line << ' ' << r.permission;
  line << " by " << (r.userId.empty() ? std::string("the local administrator") : "user " + r.userId);
  if (!r.identityId.empty()) line << " (" << r.identityId << ")";
  line << " status 0x" << std::hex << std::setw(8) << std::setfill('0') << r.status << std::dec;
  if (r.count > 1) line << " x" << r.count << " until " << auditTimeText(r.lastTime);
  line << ": " << r.decision;
  if (!r.decidingLevel.empty()) line << " [" << r.decidingLevel << "]";
  return line.str();
}

}  // namespace mdserver
