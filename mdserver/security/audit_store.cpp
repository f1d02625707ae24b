// The audit trail's storage; contract in audit_store.h.
#include "mdserver/security/audit_store.h"

#include <chrono>
#include <cstdlib>

#include "mdserver/base/status_codes.h"
#include "mdserver/storage/database.h"

namespace mdserver {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS audit_log(
  key INTEGER PRIMARY KEY,
  time INTEGER NOT NULL,
  last_time INTEGER NOT NULL,
  count INTEGER NOT NULL DEFAULT 1,
  repository TEXT NOT NULL,
  user_id TEXT NOT NULL,
  identity TEXT NOT NULL,
  operation TEXT NOT NULL,
  target TEXT NOT NULL,
  permission TEXT NOT NULL,
  outcome TEXT NOT NULL,
  status INTEGER NOT NULL,
  deciding_entry TEXT NOT NULL,
  deciding_level TEXT NOT NULL,
  decision TEXT NOT NULL,
  change_count INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS audit_log_by_last_time ON audit_log(last_time);
)sql";

constexpr size_t kBatch = 64;
constexpr int64_t kBatchAgeMs = 1000;
constexpr uint64_t kPruneEvery = 1024;  // records written between two prunings
constexpr size_t kMaxWindows = 65536;     // refusals whose repeats are counted at one time

int64_t systemNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A whole number from a setting; the fallback for one that is blank or not a number.
int64_t settingNumber(const std::string& text, int64_t fallback) {
  if (text.empty()) return fallback;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  return end && *end == '\0' && value >= 0 ? value : fallback;
}

}  // namespace

AuditStore::AuditStore(Database& database, std::recursive_mutex& mutex)
    : db_(database), mutex_(mutex) {}

AuditStore::~AuditStore() {
  std::lock_guard lock(mutex_);
  try {
    writeUnlocked();
  } catch (const StorageError&) {
    // Closing: nowhere left to report it.
  }
}

const char* AuditStore::schema() { return kSchema; }

int64_t AuditStore::now() const { return clock_ ? clock_() : systemNow(); }

void AuditStore::loadSettingsUnlocked() {
  auto read = [&](std::string_view name) {
    Statement s(db_, "SELECT value FROM security_settings WHERE name = ?");
    s.bind(1, name);
    return s.step() ? s.text(0) : std::string();
  };
  AuditSettings loaded;
  loaded.enabled = read(kEnabledSetting) != "false";
  loaded.retentionDays = settingNumber(read(kRetentionSetting), loaded.retentionDays);
  loaded.maxRecords = settingNumber(read(kMaxRecordsSetting), loaded.maxRecords);
  loaded.coalesceSeconds = settingNumber(read(kCoalesceSetting), loaded.coalesceSeconds);
  settings_ = loaded;
  settingsLoaded_ = true;
}

AuditSettings AuditStore::settings() {
  std::lock_guard lock(mutex_);
  try {
    loadSettingsUnlocked();
  } catch (const StorageError&) {
    // The last known settings (or the defaults) stay.
  }
  return settings_;
}

void AuditStore::refreshSettingsUnlocked(uint64_t changeCount) {
  // Settings change only with a change of the repository: read again when the count the
  // record was decided at is not the one they were read at (0: not known, read again).
  if (settingsLoaded_ && changeCount != 0 && changeCount == settingsStamp_) return;
  try {
    loadSettingsUnlocked();
    settingsStamp_ = changeCount;
  } catch (const StorageError&) {
    settingsLoaded_ = false;  // the last known settings (or the defaults) stay; read again next time
  }
}

void AuditStore::record(AuditRecord record) {
  std::lock_guard lock(mutex_);
  refreshSettingsUnlocked(record.changeCount);
  if (!settings_.enabled) return;
  if (record.time == 0) record.time = now();
  record.lastTime = record.time;
  record.count = 1;
  waiting_.push_back(std::move(record));
  flushIfDueUnlocked(now());
}

bool AuditStore::enabled(uint64_t changeCount) {
  std::lock_guard lock(mutex_);
  refreshSettingsUnlocked(changeCount);
  return settings_.enabled;
}

bool AuditStore::countRepeat(const std::string& key, uint64_t changeCount) {
  std::lock_guard lock(mutex_);
  refreshSettingsUnlocked(changeCount);
  if (!settings_.enabled) return true;  // nothing is recorded: nothing more to do either
  return countRepeatUnlocked(key, now());
}

bool AuditStore::countRepeatUnlocked(const std::string& key, int64_t time) {
  const int64_t window = settings_.coalesceSeconds * 1000;
  if (window <= 0) return false;
  auto found = coalesced_.find(key);
  if (found == coalesced_.end()) return false;
  if (time - found->second.first >= window) return false;
  const int64_t at = found->second.key;
  if (at < 0) {
    AuditRecord& waiting = waiting_[static_cast<size_t>(-at - 1)];
    ++waiting.count;
    waiting.lastTime = time;
  } else {
    if (repeats_.empty()) repeatsSince_ = time;
    auto& [added, last] = repeats_[at];
    ++added;
    last = time;
  }
  flushIfDueUnlocked(time);
  return true;
}

void AuditStore::recordCoalesced(std::string key, AuditRecord record) {
  std::lock_guard lock(mutex_);
  refreshSettingsUnlocked(record.changeCount);
  if (!settings_.enabled) return;
  if (record.time == 0) record.time = now();
  if (countRepeatUnlocked(key, record.time)) return;
  const int64_t window = settings_.coalesceSeconds * 1000;
  if (window > 0) {
    // Windows that ended are forgotten, so the map stays as small as the recent refusals.
    while (!windows_.empty() && record.time - windows_.front().first >= window) {
      auto ended = coalesced_.find(windows_.front().second);
      if (ended != coalesced_.end() && ended->second.first == windows_.front().first) {
        coalesced_.erase(ended);
      }
      windows_.pop_front();
    }
    // Many different refusals within one window (someone trying every object) are each
    // recorded; beyond this many, no more windows are kept for repeats to be counted on.
    if (coalesced_.size() < kMaxWindows) {
      coalesced_[key] = {-static_cast<int64_t>(waiting_.size()) - 1, record.time};
      waitingWindows_.push_back({waiting_.size(), key});
      windows_.emplace_back(record.time, std::move(key));
    }
  }
  record.lastTime = record.time;
  record.count = 1;
  waiting_.push_back(std::move(record));
  flushIfDueUnlocked(now());
}

void AuditStore::flushIfDueUnlocked(int64_t time) {
  if (waiting_.empty() && repeats_.empty()) return;
  const bool waitingDue = !waiting_.empty() && (waiting_.size() >= kBatch ||
                                                time - waiting_.front().time >= kBatchAgeMs);
  const bool repeatsDue = !repeats_.empty() && (repeats_.size() >= kBatch ||
                                                time - repeatsSince_ >= kBatchAgeMs);
  if (!waitingDue && !repeatsDue) return;
  try {
    writeUnlocked();
  } catch (const StorageError&) {
    // Kept waiting: the next record or read tries again.
  }
}

void AuditStore::writeUnlocked() {
  if (waiting_.empty() && repeats_.empty()) return;
  // A batch is written with the settings of now (a seed import may have changed them).
  loadSettingsUnlocked();
  std::vector<int64_t> storedKeys;  // of the records in waitingWindows_, in its order
  db_.writeUncounted([&] {
    db_.savepoint("audit_write");
    try {
      // One statement for the batch, its texts bound in place (the records outlive it); a
      // stored key is asked only for the records whose window counts repeats against it.
      Statement insert(db_,
                       "INSERT INTO audit_log(time, last_time, count, repository, user_id, "
                       "identity, operation, target, permission, outcome, status, "
                       "deciding_entry, deciding_level, decision, change_count) "
                       "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
      auto window = waitingWindows_.begin();
      for (size_t i = 0; i < waiting_.size(); ++i) {
        const AuditRecord& r = waiting_[i];
        insert.bind(1, r.time)
            .bind(2, r.lastTime)
            .bind(3, r.count)
            .bindUnchanging(4, r.repositoryId)
            .bindUnchanging(5, r.userId)
            .bindUnchanging(6, r.identityId)
            .bindUnchanging(7, r.operation)
            .bindUnchanging(8, r.target)
            .bindUnchanging(9, r.permission)
            .bindUnchanging(10, r.outcome)
            .bind(11, static_cast<int64_t>(r.status))
            .bindUnchanging(12, r.decidingEntry)
            .bindUnchanging(13, r.decidingLevel)
            .bindUnchanging(14, r.decision)
            .bind(15, static_cast<int64_t>(r.changeCount & 0x7fffffffffffffffULL))
            .run();
        insert.reset();
        if (window != waitingWindows_.end() && window->index == i) {
          storedKeys.push_back(db_.lastInsertKey());
          ++window;
        }
      }
      for (const auto& [key, repeat] : repeats_) {
        Statement(db_,
                  "UPDATE audit_log SET count = count + ?, last_time = ? WHERE key = ?")
            .bind(1, repeat.first)
            .bind(2, repeat.second)
            .bind(3, key)
            .run();
      }
      db_.release("audit_write");
    } catch (...) {
      db_.rollbackTo("audit_write");
      throw;
    }
  });
  writtenSincePrune_ += waiting_.size();
  // Coalescing goes on against the stored records: each window still on its waiting record
  // (not ended, nor begun again for a later record) now counts on the stored one.
  for (size_t i = 0; i < waitingWindows_.size(); ++i) {
    auto found = coalesced_.find(waitingWindows_[i].key);
    if (found != coalesced_.end() &&
        found->second.key == -static_cast<int64_t>(waitingWindows_[i].index) - 1) {
      found->second.key = storedKeys[i];
    }
  }
  waiting_.clear();
  waitingWindows_.clear();
  repeats_.clear();
  if (writtenSincePrune_ >= kPruneEvery) pruneUnlocked(nullptr);
}

void AuditStore::pruneUnlocked(uint64_t* deleted) {
  writtenSincePrune_ = 0;
  uint64_t gone = 0;
  db_.writeUncounted([&] {
    if (settings_.retentionDays > 0) {
      Statement(db_, "DELETE FROM audit_log WHERE last_time < ?")
          .bind(1, now() - settings_.retentionDays * 86'400'000)
          .run();
      gone += static_cast<uint64_t>(db_.changes());
    }
    // Counting the records from the newest walks all of them when there are fewer than the
    // limit: the span of the keys says first (two index look-ups) whether there can be more.
    bool mayBeOver = settings_.maxRecords > 0;
    if (mayBeOver) {
      Statement span(db_, "SELECT min(key), max(key) FROM audit_log");
      mayBeOver = span.step() && !span.isNull(0) &&
                  span.integer(1) - span.integer(0) + 1 > settings_.maxRecords;
    }
    if (mayBeOver) {
      Statement(db_,
                "DELETE FROM audit_log WHERE key < (SELECT key FROM audit_log ORDER BY key DESC "
                "LIMIT 1 OFFSET ?)")
          .bind(1, settings_.maxRecords - 1)
          .run();
      gone += static_cast<uint64_t>(db_.changes());
    }
  });
  if (deleted) *deleted = gone;
}

Outcome AuditStore::flush() {
  std::lock_guard lock(mutex_);
  try {
    writeUnlocked();
    return Outcome::success();
  } catch (const StorageError& e) {
    return {kStatusStorageFailure, e.what()};
  }
}

Outcome AuditStore::prune(uint64_t* deleted) {
  std::lock_guard lock(mutex_);
  try {
    loadSettingsUnlocked();
    writeUnlocked();
    pruneUnlocked(deleted);
    return Outcome::success();
  } catch (const StorageError& e) {
    return {kStatusStorageFailure, e.what()};
  }
}

Outcome AuditStore::read(const AuditFilter& filter, std::vector<AuditRecord>& out, bool* more) {
  out.clear();
  if (more) *more = false;
  std::lock_guard lock(mutex_);
  try {
    writeUnlocked();
    if (!filter.anyRepository && filter.repositories.empty()) return Outcome::success();
    std::string sql =
        "SELECT key, time, last_time, count, repository, user_id, identity, operation, target, "
        "permission, outcome, status, deciding_entry, deciding_level, decision, change_count "
        "FROM audit_log WHERE key > ? AND last_time >= ?";
    if (!filter.userId.empty()) sql += " AND (user_id = ? OR identity = ?)";
    if (!filter.target.empty()) sql += " AND target = ?";
    if (!filter.outcome.empty()) sql += " AND outcome = ?";
    if (!filter.anyRepository) {
      sql += " AND repository IN (";
      for (size_t i = 0; i < filter.repositories.size(); ++i) sql += i ? ", ?" : "?";
      sql += ")";
    }
    sql += " ORDER BY key";
    if (filter.limit > 0) sql += " LIMIT " + std::to_string(filter.limit + 1);
    Statement s(db_, sql);
    int at = 1;
    s.bind(at++, filter.afterKey);
    s.bind(at++, filter.since);
    if (!filter.userId.empty()) {
      s.bind(at++, filter.userId);
      s.bind(at++, filter.userId);
    }
    if (!filter.target.empty()) s.bind(at++, filter.target);
    if (!filter.outcome.empty()) s.bind(at++, filter.outcome);
    if (!filter.anyRepository) {
      for (const std::string& id : filter.repositories) s.bind(at++, id);
    }
    while (s.step()) {
      if (filter.limit > 0 && out.size() == filter.limit) {
        if (more) *more = true;
        break;
      }
      AuditRecord r;
      r.key = s.integer(0);
      r.time = s.integer(1);
      r.lastTime = s.integer(2);
      r.count = s.integer(3);
      r.repositoryId = s.text(4);
      r.userId = s.text(5);
      r.identityId = s.text(6);
      r.operation = s.text(7);
      r.target = s.text(8);
      r.permission = s.text(9);
      r.outcome = s.text(10);
      r.status = static_cast<uint32_t>(s.integer(11));
      r.decidingEntry = s.text(12);
      r.decidingLevel = s.text(13);
      r.decision = s.text(14);
      r.changeCount = static_cast<uint64_t>(s.integer(15));
      out.push_back(std::move(r));
    }
    return Outcome::success();
  } catch (const StorageError& e) {
    out.clear();
    return {kStatusStorageFailure, e.what()};
  }
}

}  // namespace mdserver
