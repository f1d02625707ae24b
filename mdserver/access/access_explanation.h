// Why a permission is granted or denied: the decision function's own answer (access_decision.h)
// for an object or repository, laid out for people. Nothing here decides: the explanation is the
// Decision that enforcement would make, for the committed state of the repository.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mdserver/model/repository.h"
#include "mdserver/security/access_decision.h"

namespace mdserver {

// A step whose level the asker may not read (a template of a repository it may not read, the
// repository of an object it reads by an exception of its own) has an empty source and
// sourceName "(not readable to you)"; an entry for an identity object it may not read has an
// empty identity and that identityName. The asker's own identity and the built-ins are always
// named.
struct ExplanationStep {
  std::string level;        // "object", "templates of the object", "repository", ...
  std::string source;       // identifier of the object, template or repository holding the entry
  std::string sourceName;   // its name (a template's Name, an object's or repository's name)
  std::string identity;     // identifier of the identity the entry is for
  std::string identityName;
  std::string permission;
  bool grant = false;
  std::string role;         // "decided", "overridden" (a farther level lost) or "lost" (same level)
};

struct AccessExplanation {
  bool granted = false;
  std::string target;       // the identifier decided on
  std::string summary;      // describe() of the decision
  std::vector<ExplanationStep> steps;  // nearest level first
};

// object: blank for the default repository, a repository name or identifier, an object
// identifier or any object URI. identity: blank for the principal itself, otherwise an identity
// name or identifier decided on with its groups and roles as a logged-in user.
Outcome explainAccess(Repository& repository, const Principal& principal,
                      std::string_view object, std::string_view permission,
                      std::string_view identity, AccessExplanation& out);

// The explanation as lines of text, the decision first (mdhost access prints these).
std::vector<std::string> explanationLines(const AccessExplanation& explanation);

}  // namespace mdserver
