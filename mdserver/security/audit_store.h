// The audit trail as stored: one table (audit_log) beside the security tables, written by the
// client interface's enforcement and by logins, read by whoever administers a repository
// (mdserver/access/audit_trail.h). The store records what it is told; what a record says about
// a decision comes from the decision function itself (the enforcement passes its Decision's
// deciding entry and level), never from a rule of its own.
//
// Writing:
//  - record() keeps records in memory and writes them in batches (flush): when 64 are waiting,
//    when the oldest waiting one is a second old (looked at on every record), before any read
//    and when the store closes. A process killed in between loses at most what was waiting.
//  - recordCoalesced() is for refusals (refused reads and refused changes): a repeat of the same
//    refusal within the coalescing window raises the count of the first record and its last
//    time, instead of adding one. "The same" is the caller's key, which must differ for any two
//    refusals whose records would differ in anything but their time (the interface builds it
//    from the login, identity, operation, target, permission, status, the whole decision and
//    the change count: client_interface.cpp). countRepeat() asks with the key alone, before a
//    record is built, so that a repeat costs a look-up and no record. Repeats of a stored
//    record are written like waiting records: by 64, or when the oldest is a second old. At most
//    65,536 different refusals have windows at one time; a refusal beyond them is recorded
//    alone, so nothing goes uncounted however many different ones come. The key holds the
//    change count, so a refusal decided at another state is never a repeat; when one comes,
//    the windows open for the earlier state are forgotten (a late refusal of that state, from
//    an operation still under way, is then recorded alone: counted, never hidden).
//  - Writes are left out of the repository's change count (Database::writeUncounted), so that
//    recording does not make the results kept for the current count stale.
//  - A record holds no secret: nothing in it comes from a password or a password hash.
// Retention (settings of the security section, "audit.*"; see docs/security.md): records older
// than audit.retentionDays and the oldest beyond audit.maxRecords are deleted as records are
// written; audit.enabled "false" records nothing; audit.coalesceSeconds is the window.
//
// Thread safety: every member locks the repository's lock.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mdserver/base/outcome.h"

namespace mdserver {

class Database;

struct AuditRecord {
  int64_t key = 0;             // recording order; read() pages by it
  int64_t time = 0;            // milliseconds since 1970 (UTC), the first occurrence
  int64_t lastTime = 0;        // the last occurrence (a coalesced repeat), else time
  int64_t count = 1;           // occurrences this record stands for
  std::string repositoryId;    // whose administrators see the record
  std::string userId;          // the login used; empty: the local administrator
  std::string identityId;      // the identity the principal acted as
  std::string operation;       // the interface operation, or "login"
  std::string target;          // object or repository identifier (a login: the user id)
  std::string permission;      // the permission decided (empty for a login)
  std::string outcome;         // "allowed", "refused" or "failed"
  uint32_t status = 0;         // the operation's status code
  std::string decidingEntry;   // "deny Write to <identity> on <target>", empty without one
  std::string decidingLevel;   // "object", "templates of the object", "repository", ...
  std::string decision;        // the decision in one line (what access() summarizes)
  uint64_t changeCount = 0;    // the repository's change count the decision was made at
};

struct AuditSettings {
  bool enabled = true;
  int64_t retentionDays = 365;     // 0: kept without a time limit
  int64_t maxRecords = 1'000'000;  // 0: no limit on the number
  int64_t coalesceSeconds = 60;    // 0: refused reads are recorded one by one
};

// Which records read() returns; every member left empty matches all.
struct AuditFilter {
  int64_t since = 0;                      // records whose last time is at or after (ms)
  std::string userId;                     // the login used, or the identity acted as
  std::string target;                     // exactly this object or repository identifier
  std::string outcome;                    // "allowed", "refused" or "failed"
  std::vector<std::string> repositories;  // only these (identifiers)
  bool anyRepository = false;             // repositories ignored: every record
  int64_t afterKey = 0;                   // paging: records after this key
  size_t limit = 0;                       // 0: all of them
};

class AuditStore {
 public:
  AuditStore(Database& database, std::recursive_mutex& mutex);
  ~AuditStore();  // writes what is waiting
  AuditStore(const AuditStore&) = delete;
  AuditStore& operator=(const AuditStore&) = delete;

  // The SQLite table (the PostgreSQL one is in its schema).
  static const char* schema();

  // The names of the settings in the security section, and their values now.
  static constexpr std::string_view kEnabledSetting = "audit.enabled";
  static constexpr std::string_view kRetentionSetting = "audit.retentionDays";
  static constexpr std::string_view kMaxRecordsSetting = "audit.maxRecords";
  static constexpr std::string_view kCoalesceSetting = "audit.coalesceSeconds";
  AuditSettings settings();

  // Whether records are kept now; changeCount as for a record (the settings are read again
  // when it moved). Lets a caller skip building records nobody keeps.
  bool enabled(uint64_t changeCount);
  // time 0 is taken as now. Nothing happens when recording is off. The record's texts are
  // copied: a caller may keep one record and refill it for the next.
  void record(const AuditRecord& record);
  void recordCoalesced(std::string key, const AuditRecord& record);
  // True when a record of this key is within its window: its count and last time were raised.
  // False (nothing done): the caller records the refusal with recordCoalesced.
  bool countRepeat(const std::string& key, uint64_t changeCount);
  // Writes what is waiting. Fails with the storage's status (the records stay waiting).
  Outcome flush();
  // Flushes, then reads in recording order. *more (when given): records matched beyond limit.
  Outcome read(const AuditFilter& filter, std::vector<AuditRecord>& out, bool* more = nullptr);
  // Deletes what the retention settings no longer keep; *deleted (when given) counts them.
  Outcome prune(uint64_t* deleted = nullptr);
  // The clock records are stamped with (tests set one of their own; null: the system's).
  void setClock(int64_t (*now)()) { clock_ = now; }

 private:
  // A record waiting to be written: its numbers, and its texts one after another in
  // waitingText_ (text k is [text[k], text[k + 1])). Kept this way, a batch of 64 records is a
  // few kilobytes in two buffers whose room is reused, instead of hundreds of small blocks
  // spread over the heap that the work between two writes would have to share its caches with.
  static constexpr size_t kTexts = 10;
  struct Waiting {
    int64_t time = 0;
    int64_t lastTime = 0;
    int64_t count = 1;
    uint64_t changeCount = 0;
    uint32_t status = 0;
    size_t text[kTexts + 1] = {};
  };

  int64_t now() const;
  void loadSettingsUnlocked();
  void refreshSettingsUnlocked(uint64_t changeCount);
  void keepWaitingUnlocked(const AuditRecord& record);
  std::string_view waitingText(const Waiting& w, size_t k) const {
    return std::string_view(waitingText_).substr(w.text[k], w.text[k + 1] - w.text[k]);
  }
  void flushIfDueUnlocked(int64_t time);
  bool countRepeatUnlocked(std::string_view key, int64_t time);
  void writeUnlocked();
  void pruneUnlocked(uint64_t* deleted);

  Database& db_;
  std::recursive_mutex& mutex_;
  int64_t (*clock_)() = nullptr;
  bool settingsLoaded_ = false;
  AuditSettings settings_;
  uint64_t settingsStamp_ = 0;  // the change count the settings were read at
  std::vector<Waiting> waiting_;
  std::string waitingText_;
  // Refusals seen within the window. windows_ holds the caller's keys in the order their
  // windows began, numbered on from windowsBase_ (the number of its front); ended windows are
  // forgotten from its front. coalesced_ finds a window by its key (a view of the key kept in
  // windows_, which a deque never moves): the key of its record (negative: -(index+1) into
  // waiting_), the time of its first occurrence and the window's number (a key begun again
  // later points at its newer entry, so the older one's end leaves it alone).
  struct Window {
    int64_t first = 0;
    std::string key;
  };
  struct Coalesced {
    int64_t key = 0;
    int64_t first = 0;
    uint64_t number = 0;
  };
  std::deque<Window> windows_;
  uint64_t windowsBase_ = 0;
  uint64_t windowsState_ = 0;  // the change count the open windows' refusals were decided at
  std::unordered_map<std::string_view, Coalesced> coalesced_;
  // The waiting records that opened a window, in waiting_'s order: only their stored keys are
  // asked for when they are written.
  struct WaitingWindow {
    size_t index = 0;     // into waiting_
    uint64_t number = 0;  // the window's number
  };
  std::vector<WaitingWindow> waitingWindows_;
  // Repeats of stored records not written yet: key -> (added count, last time); repeatsSince_
  // is when the first of them came.
  std::map<int64_t, std::pair<int64_t, int64_t>> repeats_;
  int64_t repeatsSince_ = 0;
  uint64_t writtenSincePrune_ = 0;
};

}  // namespace mdserver
