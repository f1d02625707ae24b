// Password hashing and authentication; contracts in authentication.h.
#include "mdserver/security/authentication.h"

#include <sodium.h>

#include "mdserver/base/status_codes.h"
#include "mdserver/security/access_decision.h"

namespace mdserver {
namespace {

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

bool verifyPassword(const std::string& hash, std::string_view password) {
  if (!sodiumReady() || !looksLikePasswordHash(hash)) return false;
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
  if (!login || !verifyPassword(login->passwordHash, password)) {
    result.outcome = failed;
    return result;
  }
  std::optional<IdentityRecord> owner;
  Outcome identity = store.findIdentity(login->ownerId, "", owner);
  if (!identity.ok() || !owner) {
    result.outcome = {kStatusLoginFailed,
                      "login failed for user '" + user + "': its owner identity is gone"};
    return result;
  }
  result.principal = principalOf(store, *owner, /*authenticated=*/true);
  result.principal.userId = login->userId;
  return result;
}

}  // namespace mdserver
