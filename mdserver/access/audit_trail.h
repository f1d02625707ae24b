// The audit trail as its readers and the login path see it. Recording of decisions is the
// client interface's (it notes what the decision function decided); storage is
// mdserver/security/audit_store.h. Entry points for any front end (mdhost, a network server):
//   authenticateAudited  a login, checked as authenticate() checks it, and recorded
//                        (success or failure; never the password);
//   readAuditTrail       the records a principal may see, filtered and paged.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mdserver/model/repository.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/audit_store.h"
#include "mdserver/security/authentication.h"

namespace mdserver {

// authenticate() (authentication.h), and a "login" record of its outcome: the user id typed,
// the identity it logged in as, the status. Without a user and without a required login
// (the local administrator) there is no login to record.
Authentication authenticateAudited(Repository& repository, const std::string& user,
                                   const std::string& password);

// How a record names its deciding entry ("grant Read to <identity> on <level>"; its level as
// levelText of decision_shown.h names it): every recorder writes them so, and readAuditTrail
// reads them back.
std::string auditDecidingEntry(const AccessEntry& entry);

// The records of the repositories on which `reader` holds Administer (decided by the decision
// function; the local administrator sees all), matching `filter` (its repository members are
// set here and any given are ignored). A reader who administers no repository is refused
// (kStatusAdministerDenied) rather than shown an empty trail. *more: records beyond the limit;
// page on with filter.afterKey = the last record's key. A deciding entry's level and identity the
// reader may not read are shown as kWithheldSource (decision_shown.h), in the entry and in the
// decision line; the acting principal is always named.
Outcome readAuditTrail(Repository& repository, const Principal& reader, AuditFilter filter,
                       std::vector<AuditRecord>& out, bool* more = nullptr);

// Records a question refused to `asker` (reading the trail, who, what) with the decision that
// refused it (null: no single decision, e.g. no repository administered).
void recordRefusedQuestion(Repository& repository, const Principal& asker,
                           std::string_view operation, std::string_view target,
                           std::string_view permission, StatusCode status,
                           const Decision* decision, std::string_view text);

// A record as one line for people, and the time as ISO 8601 (UTC, milliseconds).
std::string auditTimeText(int64_t milliseconds);
std::string auditLine(const AuditRecord& record);

}  // namespace mdserver
