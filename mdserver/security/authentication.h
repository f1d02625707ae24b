// Logins: password hashing and checking, and authentication of a connection's credentials.
//
// Passwords are kept only as libsodium password-hash strings (Argon2id with a random salt; the
// cost is inside the string, so a hash made at any cost verifies). The cost of new hashes is the
// repository's security setting "passwordHashing":
//   "interactive" (default): libsodium's interactive limits (2 passes, 64 MiB), for real use;
//   "minimal": the smallest limits libsodium accepts (1 pass, 8 KiB), for test and sample
//              repositories whose passwords are public anyway.
// A clear password is never stored, logged or returned; functions here copy it nowhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mdserver/base/outcome.h"
#include "mdserver/security/security_store.h"
#include "mdserver/security/security_types.h"

namespace mdserver {

inline constexpr std::string_view kHashingInteractive = "interactive";
inline constexpr std::string_view kHashingMinimal = "minimal";

bool knownHashingCost(std::string_view cost);
// The hash string, or nothing when libsodium cannot make one (out of memory).
std::optional<std::string> hashPassword(std::string_view password, std::string_view cost);
bool verifyPassword(const std::string& hash, std::string_view password);
// True for a string hashPassword could have made (so a seed cannot smuggle a clear password
// into the hash field).
bool looksLikePasswordHash(std::string_view text);

// Password checks made by this process, and the cost part of the hash checked last
// ("$argon2id$v=19$m=8,t=1,p=1"): what a login costs, counted rather than timed.
struct PasswordCheckCount {
  uint64_t checks = 0;
  std::string lastCost;
};
PasswordCheckCount passwordChecks();

struct Authentication {
  Outcome outcome;
  Principal principal;
};

// No user: the local administrator, unless the repository's "requireLogin" setting is "true"
// (kStatusLoginRequired). A user: its login, password checked, acting as the login's owner
// identity with its groups. An unknown user and a wrong password give the same status and text
// (kStatusLoginFailed naming the user), so a caller cannot tell which user ids exist.
Authentication authenticate(SecurityStore& store, const std::string& user,
                            const std::string& password);

}  // namespace mdserver
