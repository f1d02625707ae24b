#include "server/session_store.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>

#include "mdserver/model/repository.h"
#include "mdserver/storage/database.h"

namespace mdserver_net {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS server_sessions("
    "token_digest TEXT PRIMARY KEY, user_id TEXT NOT NULL, identity_id TEXT NOT NULL, "
    "expires_at BIGINT NOT NULL, transactions TEXT NOT NULL DEFAULT '', "
    "transactions_version BIGINT NOT NULL DEFAULT 0)";

std::string hex(const unsigned char* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

}  // namespace

std::unique_ptr<SessionStore> SessionStore::open(const std::string& location, std::string* error) {
  std::unique_ptr<SessionStore> store(new SessionStore);
  try {
    store->database_ = mdserver::openDatabase(location);
    store->database_->execute(kSchema);
    // A table made before the version column existed gets it; there it is already.
    try {
      store->database_->execute(
          "ALTER TABLE server_sessions ADD COLUMN transactions_version BIGINT NOT NULL DEFAULT 0");
    } catch (const std::exception&) {
    }
  } catch (const std::exception& e) {
    if (error) {
      *error = "cannot keep sessions in " + mdserver::redactedLocation(location) + ": " + e.what();
    }
    return nullptr;
  }
  return store;
}

SessionStore::~SessionStore() = default;

int64_t SessionStore::now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string SessionStore::digest(std::string_view token) {
  // Fetched once: EVP_sha256() makes every digest look the algorithm up again (about half
  // the digest's time for a token this short). Kept for the life of the process.
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!sha256 || EVP_Digest(token.data(), token.size(), out, &size, sha256, nullptr) != 1) {
    return {};
  }
  return hex(out, size);
}

std::optional<std::string> SessionStore::create(const SessionRecord& record) {
  unsigned char random[32];
  if (RAND_bytes(random, sizeof random) != 1) return std::nullopt;
  // The prefix lets a log or a scanner recognise a token without being able to use one.
  std::string token = "mds1." + hex(random, sizeof random);
  std::lock_guard lock(mutex_);
  try {
    mdserver::Statement insert(*database_,
                               "INSERT INTO server_sessions(token_digest, user_id, identity_id, "
                               "expires_at) VALUES (?, ?, ?, ?)");
    insert.bind(1, digest(token)).bind(2, record.userId).bind(3, record.identityId);
    insert.bind(4, record.expiresAt).run();
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return token;
}

std::optional<SessionRecord> SessionStore::find(std::string_view token) {
  return findByDigest(token, digest(token));
}

namespace {

constexpr const char* kFindSession =
    "SELECT user_id, identity_id, expires_at, transactions, transactions_version FROM "
    "server_sessions WHERE token_digest = ?";

bool wellFormed(std::string_view token) { return token.size() == 69 && token.substr(0, 5) == "mds1."; }

// The session of a row of kFindSession whose first column is `first`; nothing once it ended.
std::optional<SessionRecord> liveSession(const mdserver::Statement& row, int first) {
  SessionRecord record{row.text(first), row.text(first + 1), row.integer(first + 2),
                       row.text(first + 3), row.integer(first + 4)};
  if (record.expiresAt <= SessionStore::now()) return std::nullopt;
  return record;
}

}  // namespace

std::optional<SessionRecord> SessionStore::findByDigest(std::string_view token,
                                                        const std::string& key) {
  if (!wellFormed(token)) return std::nullopt;
  std::lock_guard lock(mutex_);
  try {
    mdserver::Statement select(*database_, kFindSession);
    select.bind(1, key);
    if (!select.step()) return std::nullopt;
    return liveSession(select, 0);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<SessionRecord> SessionStore::findWithChangeCount(std::string_view token,
                                                               const std::string& key,
                                                               mdserver::Repository& repository,
                                                               uint64_t& count) {
  count = 0;
  if (!wellFormed(token)) return std::nullopt;
  std::optional<SessionRecord> found;
  uint64_t read = 0;
  try {
    if (repository.changeCountWithRow(
            kFindSession, {key},
            [&](const mdserver::Statement& row, int first) { found = liveSession(row, first); },
            read)) {
      count = read;
      return found;
    }
  } catch (const std::exception&) {
    return std::nullopt;  // a row that could not be read is no session
  }
  return findByDigest(token, key);
}

SaveResult SessionStore::saveTransactions(std::string_view token, const std::string& text,
                                          int64_t readVersion) {
  const std::string key = digest(token);
  std::lock_guard lock(mutex_);
  try {
    mdserver::Statement update(*database_,
                               "UPDATE server_sessions SET transactions = ?, transactions_version "
                               "= transactions_version + 1 WHERE token_digest = ? AND "
                               "transactions_version = ?");
    update.bind(1, text).bind(2, key).bind(3, readVersion).run();
    if (database_->changes() == 1) return SaveResult::kSaved;
    // Nothing written: the session ended, or another request wrote its transactions first.
    mdserver::Statement still(*database_, "SELECT 1 FROM server_sessions WHERE token_digest = ?");
    still.bind(1, key);
    return still.step() ? SaveResult::kChangedMeanwhile : SaveResult::kFailed;
  } catch (const std::exception&) {
    return SaveResult::kFailed;
  }
}

void SessionStore::remove(std::string_view token) {
  const std::string key = digest(token);
  std::lock_guard lock(mutex_);
  try {
    mdserver::Statement erase(*database_, "DELETE FROM server_sessions WHERE token_digest = ?");
    erase.bind(1, key).run();
  } catch (const std::exception&) {
  }
}

int SessionStore::purgeExpired(int64_t when) {
  std::lock_guard lock(mutex_);
  try {
    mdserver::Statement erase(*database_, "DELETE FROM server_sessions WHERE expires_at < ?");
    erase.bind(1, when).run();
    return database_->changes();
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace mdserver_net
