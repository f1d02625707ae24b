// The "security" section of a seed file, imported inside the seed import's transaction and
// exported beside the objects:
//
//   "security": {
//     "passwordHashing": "interactive" | "minimal",      (authentication.h; default interactive)
//     "requireLogin": false,                              (true: no user, no connection)
//     "permissions": ["Read", {"name": "Write", "description": "..."}, ...],
//     "logins": [{"id": "...", "user": "ada", "password": "clear text" | "passwordHash": "$argon2id$...",
//                 "owner": "<identity identifier>", "domain": "DefaultAuth"}],
//     "authorizations": [{"target": "<repository or object identifier>",
//                         "identity": "<identity identifier or name>", "permission": "Read",
//                         "decision": "grant" | "deny"}],
//     "templates": [{"id": "<repository>.T<7 digits>", "attributes": {"Name": "...", ...},
//                    "authorizations": [{"identity": ..., "permission": ..., "decision": ...}],
//                    "appliedTo": ["<repository or object identifier of that repository>"]}]
//   }
// A template is an object of type AccessControlTemplate. A "templates" entry whose identifier
// names no object creates that object from its "attributes" (Name required); one that names an
// AccessControlTemplate of "objects" adds its entries and applications (and sets any attributes
// it gives). The export writes template objects among the objects and their entries and
// applications here, without "attributes".
// A clear "password" is hashed at once and never stored; the export writes "passwordHash" only.
// A section without authorizations leaves the repository open (access_decision.h, rule 2).
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace mdserver {

class SqliteSecurityStore;

// Thrown at the first fault of a seed file: where (a JSON pointer) and why.
struct SeedProblem {
  std::string pointer;
  std::string reason;
};

// targetExists: whether an identifier names a repository or an object of the repository.
void importSecuritySection(SqliteSecurityStore& store, const nlohmann::ordered_json& section,
                           const std::function<bool(std::string_view)>& targetExists);
// Null when the repository has no security data at all (so old seed files round-trip as they
// were).
nlohmann::ordered_json exportSecuritySection(SqliteSecurityStore& store);

}  // namespace mdserver
