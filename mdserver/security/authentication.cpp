// Password hashing and authentication; contracts in authentication.h.
#include "mdserver/security/authentication.h"

#include <sodium.h>

#include <mutex>

#include "mdserver/base/status_codes.h"
#include "mdserver/security/access_decision.h"

namespace mdserver {
namespace {

std::mutex checkCountMutex;
PasswordCheckCount checkCount;

void countCheck(std::string_view hash) {
  // The cost is everything before the salt: algorithm, version, memory, passes, lanes.
  size_t end = 0;
  for (int dollars = 0; end < hash.size() && dollars < 4; ++end) {
    if (hash[end] == '$' && ++dollars == 4) break;
  }
  std::lock_guard lock(checkCountMutex);
  ++checkCount.checks;
  checkCount.lastCost = std::string(hash.substr(0, end));
}

// What a login of an unknown user is checked against: hashes of a random password nobody
// kept, one per cost of new hashes, so that such a login costs what a wrong password of a known
// user costs.
constexpr const char* kUnknownUserMinimal =
    "$argon2id$v=19$m=8,t=1,p=1$1amdYU+S3z+FZJBniRrKvA$Dy1e400d1P+rovzCD9mIHQcfK5pgfq8kOZ8vPaN0RlQ";
constexpr const char* kUnknownUserInteractive =
    "$argon2id$v=19$m=65536,t=2,p=1$k/j62mN3yAIC+KCwOEToEQ$"
    "i2jcFMCHwm+LIIN3lntfoivapG9rGPd0WBTcuTERMlc";

std::string unknownUserHash(std::string_view cost) {
  return cost == kHashingMinimal ? kUnknownUserMinimal : kUnknownUserInteractive;
}

bool sodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

}  // namespace

bool knownHashingCost(std::string_view cost) {
  return cost.empty() || cost == kHashingInteractive || cost == kHashingMinimal;
}

std::optional<std::string> hashPassword(std::string_view password, std::string_view cost) {
  if (!sodiumReady()) return std::nullopt;
  unsigned long long passes = crypto_pwhash_OPSLIMIT_INTERACTIVE;
  size_t memory = crypto_pwhash_MEMLIMIT_INTERACTIVE;
  if (cost == kHashingMinimal) {
    passes = crypto_pwhash_OPSLIMIT_MIN;
    memory = crypto_pwhash_MEMLIMIT_MIN;
  }
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), passes, memory) != 0) {
    return std::nullopt;
  }
  std::string hash(out);
  sodium_memzero(out, sizeof out);
  return hash;
}

PasswordCheckCount passwordChecks() {
  std::lock_guard lock(checkCountMutex);
  return checkCount;
}

bool verifyPassword(const std::string& hash, std::string_view password) {
  if (!sodiumReady() || !looksLikePasswordHash(hash)) return false;
  countCheck(hash);
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool looksLikePasswordHash(std::string_view text) {
  return text.rfind("$argon2id$", 0) == 0 && text.size() < crypto_pwhash_STRBYTES;
}

Authentication authenticate(SecurityStore& store, const std::string& user,
                            const std::string& password) {
  Authentication result;
  if (user.empty()) {
    if (store.setting("requireLogin") == "true") {
      result.outcome = {kStatusLoginRequired,
                        "the repository requires a login: give --user and a password"};
      return result;
    }
    result.principal = Principal::administrator();
    return result;
  }
  const Outcome failed{kStatusLoginFailed, "login failed for user '" + user + "'"};
  std::optional<LoginRecord> login;
  Outcome found = store.findLogin(user, login);
  if (!found.ok()) {
    result.outcome = found;
    return result;
  }
  if (!login) {
    // The same work as a wrong password of a known user, so the time a login takes does not
    // tell which user ids exist.
    verifyPassword(unknownUserHash(store.setting("passwordHashing")), password);
    result.outcome = failed;
    return result;
  }
  if (!verifyPassword(login->passwordHash, password)) {
    result.outcome = failed;
    return result;
  }
  // The owner by its identifier only: a login whose owner is gone must not attach itself to an
  // identity that merely carries the old identifier as its name.
  std::optional<IdentityRecord> owner;
  Outcome identity = store.findIdentity(login->ownerId, "", owner);
  if (!identity.ok()) {
    result.outcome = identity;
    return result;
  }
  if (!owner || owner->id != login->ownerId) {
    result.outcome = {kStatusLoginFailed,
                      "login failed for user '" + user + "': its owner identity is gone"};
    return result;
  }
  result.principal = principalOf(store, *owner, /*authenticated=*/true);
  result.principal.userId = login->userId;
  if (!result.principal.failure.ok()) {
    // Memberships unknown: no connection that could miss a group's deny.
    result.outcome = result.principal.failure;
    result.principal = Principal{};
  }
  return result;
}

}  // namespace mdserver
