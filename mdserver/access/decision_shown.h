// What of a decision an asker may be told. An entry may sit on a level the asker cannot see (a
// template of a repository it may not read, the repository of an object it reads only by an
// entry of the object's own) or be for an identity object it may not read. The entry still
// counts and is still shown, with its permission and grant, so the answer stays true; only where
// it sits and whom it names are withheld. The asker's own identity and the built-ins are always
// named.
#pragma once

#include <string>
#include <string_view>

#include "mdserver/security/access_decision.h"
#include "mdserver/security/readable_set.h"

namespace mdserver {

// A level as people and the audit trail read it: "object", "templates of the object",
// "repository", "templates of the repository".
const char* levelText(DecisionLevel::Kind kind);

bool levelShown(const ReadableSet& readable, DecisionLevel::Kind kind, const std::string& source);
bool identityShown(const ReadableSet& readable, std::string_view askerIdentity,
                   const std::string& identityId);

// `decision` with its deciding level and the deciding entry's target and identity replaced by
// kWithheldSource where the asker may not see them.
Decision shownTo(const Decision& decision, const ReadableSet& readable,
                 std::string_view askerIdentity);

}  // namespace mdserver
