// The audit trail's storage; contract in audit_store.h.
#include "mdserver/security/audit_store.h"

#include <chrono>
#include <cstdlib>
#include <limits>

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

// Records written by one INSERT (the rest of a batch one by one).
constexpr size_t kRowsPerInsert = 16;

// "INSERT INTO audit_log(...) VALUES(...)" for `rows` records (1 or kRowsPerInsert), the key
// given.
const std::string& insertText(size_t rows) {
  auto make = [](size_t n) {
    std::string text =
        "INSERT INTO audit_log(key, time, last_time, count, repository, user_id, identity, "
        "operation, target, permission, outcome, status, deciding_entry, deciding_level, "
        "decision, change_count) VALUES";
    for (size_t i = 0; i < n; ++i) {
      text += i ? ", " : "";
      text += "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
    }
    return text;
  };
  static const std::string one = make(1), many = make(kRowsPerInsert);
  return rows == 1 ? one : many;
}

// Keys for `count` new records, rising in the order they are given. SQLite: one past the
// largest key stored (what it would give them itself), read inside the writing transaction.
// PostgreSQL: taken from the key column's own sequence, so later inserts never collide.
void batchKeys(Database& db, size_t count, std::vector<int64_t>& keys) {
  keys.clear();
  if (count == 0) return;
  if (std::string_view(db.backendName()) == "postgresql") {
    Statement taken(db,
                    "SELECT nextval(pg_get_serial_sequence('audit_log', 'key')) "
                    "FROM generate_series(CAST(1 AS bigint), CAST(? AS bigint)) ORDER BY 1");
    taken.bind(1, static_cast<int64_t>(count));
    while (taken.step()) keys.push_back(taken.integer(0));
    if (keys.size() != count) db.fail("audit_log: the key sequence gave too few keys");
    return;
  }
  Statement largest(db, "SELECT max(key) FROM audit_log");
  const int64_t last = largest.step() && !largest.isNull(0) ? largest.integer(0) : 0;
  if (last > std::numeric_limits<int64_t>::max() - static_cast<int64_t>(count)) {
    db.fail("audit_log: no keys left");
  }
  for (size_t i = 1; i <= count; ++i) keys.push_back(last + static_cast<int64_t>(i));
}

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

void AuditStore::keepWaitingUnlocked(const AuditRecord& record) {
  Waiting w;
  w.time = record.time;
  w.lastTime = record.time;
  w.count = 1;
  w.changeCount = record.changeCount;
  w.status = record.status;
  const std::string* texts[kTexts] = {&record.repositoryId, &record.userId,
                                      &record.identityId,   &record.operation,
                                      &record.target,       &record.permission,
                                      &record.outcome,      &record.decidingEntry,
                                      &record.decidingLevel, &record.decision};
  for (size_t k = 0; k < kTexts; ++k) {
    w.text[k] = waitingText_.size();
    waitingText_ += *texts[k];
  }
  w.text[kTexts] = waitingText_.size();
  waiting_.push_back(w);
}

void AuditStore::record(const AuditRecord& record) {
  std::lock_guard lock(mutex_);
  refreshSettingsUnlocked(record.changeCount);
  if (!settings_.enabled) return;
  const int64_t time = record.time != 0 ? record.time : now();
  keepWaitingUnlocked(record);
  waiting_.back().time = waiting_.back().lastTime = time;
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

bool AuditStore::countRepeatUnlocked(std::string_view key, int64_t time) {
  const int64_t window = settings_.coalesceSeconds * 1000;
  if (window <= 0) return false;
  auto found = coalesced_.find(key);
  if (found == coalesced_.end()) return false;
  if (time - found->second.first >= window) return false;
  const int64_t at = found->second.key;
  if (at < 0) {
    Waiting& waiting = waiting_[static_cast<size_t>(-at - 1)];
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

void AuditStore::recordCoalesced(std::string key, const AuditRecord& record) {
  std::lock_guard lock(mutex_);
  refreshSettingsUnlocked(record.changeCount);
  if (!settings_.enabled) return;
  const int64_t time = record.time != 0 ? record.time : now();
  if (countRepeatUnlocked(key, time)) return;
  const int64_t window = settings_.coalesceSeconds * 1000;
  if (window > 0 && record.changeCount != windowsState_) {
    // Only a refusal decided at the same state is a repeat (the key holds the change count):
    // once refusals come decided at another state, the open windows are forgotten, so they
    // stay as few as the refusals of one state.
    windowsBase_ += windows_.size();
    windows_.clear();
    // Clearing walks every bucket: a map grown large is let go of instead.
    if (coalesced_.bucket_count() > 64) {
      std::unordered_map<std::string_view, Coalesced>().swap(coalesced_);
    } else {
      coalesced_.clear();
    }
    windowsState_ = record.changeCount;
  }
  if (window > 0) {
    // Windows that ended are forgotten, so the map stays as small as the recent refusals.
    while (!windows_.empty() && time - windows_.front().first >= window) {
      auto ended = coalesced_.find(windows_.front().key);
      if (ended != coalesced_.end() && ended->second.number == windowsBase_) {
        coalesced_.erase(ended);
      }
      windows_.pop_front();
      ++windowsBase_;
    }
    // Many different refusals within one window (someone trying every object) are each
    // recorded; beyond this many, no more windows are kept for repeats to be counted on.
    if (coalesced_.size() < kMaxWindows) {
      const uint64_t number = windowsBase_ + windows_.size();
      windows_.push_back({time, std::move(key)});
      const std::string_view kept = windows_.back().key;
      const Coalesced opened{-static_cast<int64_t>(waiting_.size()) - 1, time, number};
      // A key whose window ended but is not forgotten yet (times need not come in order) is
      // begun again, on its new entry.
      if (auto [at, added] = coalesced_.try_emplace(kept, opened); !added) {
        coalesced_.erase(at);
        coalesced_.emplace(kept, opened);
      }
      waitingWindows_.push_back({waiting_.size(), number});
    }
  }
  keepWaitingUnlocked(record);
  waiting_.back().time = waiting_.back().lastTime = time;
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
  std::vector<int64_t> storedKeys;  // of the records in waitingWindows_, in its order
  db_.writeUncounted([&] {
    db_.savepoint("audit_write");
    try {
      // The batch's keys are given out here, in recording order, so that several records go
      // in one statement (texts bound in place: the batch outlives it) and the key of a record
      // that opened a coalescing window is known without asking.
      std::vector<int64_t> keys;
      batchKeys(db_, waiting_.size(), keys);
      size_t at = 0;
      for (const size_t rows : {kRowsPerInsert, size_t{1}}) {
        if (waiting_.size() - at < rows) continue;
        Statement insert(db_, insertText(rows));
        for (; waiting_.size() - at >= rows; at += rows) {
          int param = 1;
          for (size_t i = at; i < at + rows; ++i) {
            const Waiting& r = waiting_[i];
            insert.bind(param++, keys[i]);
            insert.bind(param, r.time).bind(param + 1, r.lastTime).bind(param + 2, r.count);
            param += 3;
            for (size_t k = 0; k < kTexts; ++k) {
              if (k == 7) insert.bind(param++, static_cast<int64_t>(r.status));
              insert.bindUnchanging(param++, waitingText(r, k));
            }
            insert.bind(param++, static_cast<int64_t>(r.changeCount & 0x7fffffffffffffffULL));
          }
          insert.run();
          insert.reset();
        }
      }
      for (const WaitingWindow& window : waitingWindows_) storedKeys.push_back(keys[window.index]);
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
    const uint64_t number = waitingWindows_[i].number;
    if (number < windowsBase_) continue;  // the window ended and was forgotten
    auto found = coalesced_.find(windows_[number - windowsBase_].key);
    if (found != coalesced_.end() && found->second.number == number &&
        found->second.key == -static_cast<int64_t>(waitingWindows_[i].index) - 1) {
      found->second.key = storedKeys[i];
    }
  }
  waiting_.clear();
  waitingText_.clear();
  waitingWindows_.clear();
  repeats_.clear();
  if (writtenSincePrune_ >= kPruneEvery) {
    // Pruned with the settings of now (a seed import may have changed them).
    loadSettingsUnlocked();
    pruneUnlocked(nullptr);
  }
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
