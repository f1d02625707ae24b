// Sessions of the network server: a login hands out a random token; the database keeps only
// the token's SHA-256 digest, the user and its owner identity, and when the session ends. Any
// server over the same database accepts any token (servers keep nothing of their own), and a
// copy of the table gives no one a token that works.
//
// Thread safety: every member locks the store; one store serves all worker threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace mdserver {
class Database;
class Repository;
}

namespace mdserver_net {

struct SessionRecord {
  std::string userId;
  std::string identityId;
  int64_t expiresAt = 0;  // seconds since the epoch
  std::string transactions;  // the session's security transactions (transaction_state.h)
  // Moves on at every write of `transactions`: a write names the version it read, so two
  // requests of one session at the same moment (on two servers) cannot silently undo each
  // other's transaction changes.
  int64_t transactionsVersion = 0;
};

enum class SaveResult { kSaved, kChangedMeanwhile, kFailed };

class SessionStore {
 public:
  // Opens its own connection to `location` (the repository's URL) and creates the table when
  // missing. Null with *error saying what failed (never a password the location holds).
  static std::unique_ptr<SessionStore> open(const std::string& location, std::string* error);
  ~SessionStore();

  // A new session; the token is handed out once and kept nowhere. Nothing on a storage failure.
  std::optional<std::string> create(const SessionRecord& record);
  // The live session of a token; nothing for an unknown, forged or expired one.
  std::optional<SessionRecord> find(std::string_view token);
  // The same, with the token's digest already made (digest(token)): a request makes it once.
  std::optional<SessionRecord> findByDigest(std::string_view token, const std::string& key);
  // The same, and the repository's change count, read together on the repository's own
  // connection where its backend saves a round trip by that (this table is in the repository's
  // database there); count 0 when it was not read (the caller reads it itself).
  std::optional<SessionRecord> findWithChangeCount(std::string_view token, const std::string& key,
                                                   mdserver::Repository& repository,
                                                   uint64_t& count);
  void remove(std::string_view token);
  // Keeps the session's security transactions (transaction_state.h) for its next request,
  // when the row still holds `readVersion` (kChangedMeanwhile: another request wrote it since).
  SaveResult saveTransactions(std::string_view token, const std::string& text,
                              int64_t readVersion);
  // Drops sessions that ended before `now`; returns how many.
  int purgeExpired(int64_t now);

  static int64_t now();
  // The digest the table keeps of a token (lowercase hex).
  static std::string digest(std::string_view token);

 private:
  SessionStore() = default;
  std::mutex mutex_;
  std::unique_ptr<mdserver::Database> database_;
};

}  // namespace mdserver_net
