// The per-session connection cache: the metadata client interface of a session, the cache of
// resolved object URIs, the type namespace and the room the security functions keep their cached
// authorizations in. One record per cache-owner session, stored as the named session item
// "__QMDI_REBCACHE"; both deliverables read and write it with the layouts below, so in a session
// where both run they share one record, one interface and one resolution list.
//
// Levels: for a calling session s, o1 = cacheOwner(s) and o2 = cacheOwner(o1). getConnection and
// dropConnection work on o1. The resolution operations take the interface from the record of o2
// and keep the resolution list and the type namespace in the record of o1.
//
// Ownership: the record, its entries, their text copies and the index are blocks of the pool of
// the interface in use; object lists in entries belong to the cache until forgotten. Nothing here
// is thread-safe: the host calls into a session from one thread at a time.
#pragma once

#include <cstdint>

#include "frame/host_abi.h"
#include "frame/host_services.h"
#include "mdaccess/md_abi.h"

namespace mdaccess {

inline constexpr char kCacheItemName[] = "__QMDI_REBCACHE";
inline constexpr int32_t kCacheItemNameLength = 15;
static_assert(sizeof(kCacheItemName) == kCacheItemNameLength + 1);

// One cached resolution. The first five fields are the shared layout; the fields after them are
// kept by this code in both deliverables alike (the entry is only ever built here), so either
// package may rely on them.
struct ResolutionEntry {
  char* text;                  // copy of the URI text: length + 1 bytes, not terminated by us
  int32_t textLength;          // trimmed length
  MetadataObject* objects;     // as the interface's resolve returned it; owned by the cache
  ResolutionEntry* next;       // older entry
  ResolutionEntry* previous;   // newer entry
  // --- kept beside the shared fields by this code ---
  ResolutionEntry* bucketNext;  // next entry of the same hash bucket, newest first
  uint64_t hash;                // hash of the upper-cased text
  int64_t objectCount;          // number of objects once counted, else 0
  int64_t cursorPosition;       // 1-based position of cursorObject; 0 when none
  MetadataObject* cursorObject; // last object a listing call walked to
  // The same for one list that the first object handed out (its attributes, properties,
  // association names or an association's objects): the list's head, its length once counted,
  // and the last node walked to. Valid while the entry holds the object: the interface frees
  // such a list only with its object or when it hands out a new one in its place, whose head is
  // never the head of the list it replaces (mdaccess/md_abi.h).
  const void* listHead;
  int64_t listCount;            // 0 until counted
  int64_t listCursorPosition;   // 1-based position of listCursor; 0 when none
  void* listCursor;
};
static_assert(offsetof(ResolutionEntry, text) == 0);
static_assert(offsetof(ResolutionEntry, textLength) == 8);
static_assert(offsetof(ResolutionEntry, objects) == 16);
static_assert(offsetof(ResolutionEntry, next) == 24);
static_assert(offsetof(ResolutionEntry, previous) == 32);
static_assert(offsetof(ResolutionEntry, bucketNext) == 40);
static_assert(offsetof(ResolutionEntry, listHead) == 80);
static_assert(sizeof(ResolutionEntry) == 112);

// The security functions' single cached authorization list, keyed by its reference text.
struct AuthorizationSlot {
  char* text;           // copy of the reference, length + 1 bytes
  int32_t textLength;
  void* authorizations; // authorization list of the interface
};
static_assert(offsetof(AuthorizationSlot, textLength) == 8);
static_assert(offsetof(AuthorizationSlot, authorizations) == 16);
static_assert(sizeof(AuthorizationSlot) == 24);

// Hash index over the resolution list: buckets of entries chained newest first, so the first
// match in a bucket is the first match of the list walk. Lives in the interface pool beside the
// record and is maintained by every insertion and removal, whichever package makes it.
struct ResolutionIndex {
  uint64_t bucketCount;  // a power of two
  uint64_t entryCount;
  ResolutionEntry* buckets[1];  // bucketCount entries
};

struct ConnectionCacheRecord {
  MetadataInterface* interface;          // from hostGetMetadataInterface
  ResolutionEntry* resolutions;          // newest first; null when empty
  HostCleanup* cleanupHandle;            // written by hostCreateCleanup
  uint64_t ownerTask;                    // identity of the task that created the record
  MetadataNamespace* typeNamespace;      // namespace "RUX"; null until first asked for
  AuthorizationSlot* authorizationSlot;  // security functions only; null until first used
  // --- kept beside the shared fields by this code ---
  ResolutionIndex* index;                // null until the list is long enough to need it
  int64_t typeNameCount;                 // names of typeNamespace once counted, else 0
  int64_t typeCursorPosition;            // 1-based position of typeCursor; 0 when none
  NameNode* typeCursor;                  // last type name a listing call walked to
  ResolutionEntry* lastFound;            // what the last look-up found; null after any change
};
static_assert(offsetof(ConnectionCacheRecord, interface) == 0);
static_assert(offsetof(ConnectionCacheRecord, resolutions) == 8);
static_assert(offsetof(ConnectionCacheRecord, cleanupHandle) == 16);
static_assert(offsetof(ConnectionCacheRecord, ownerTask) == 24);
static_assert(offsetof(ConnectionCacheRecord, typeNamespace) == 32);
static_assert(offsetof(ConnectionCacheRecord, authorizationSlot) == 40);
static_assert(sizeof(ConnectionCacheRecord) == 88);

// The session whose record serves `session`: itself when its context name is exactly "DOSUB",
// otherwise its parent (itself again for a session without parent).
HostSession* cacheOwner(HostSession* session);

// The identity stored as owner task: the current-thread identity when the host provides one,
// else the current task's identity word, else 0.
uint64_t currentTaskIdentity();

struct Connection {
  StatusCode status;
  MetadataInterface* interface;  // null on failure, and with status 0 when the host has none
};
Connection getConnection(HostSession* session);

struct Resolution {
  StatusCode status;        // 0, the interface's status (0x801720DE: no match) or 0x80000803
  MetadataObject* objects;  // may be non-null even with a failing status
  ResolutionEntry* entry;   // the cache entry that holds `objects`; null when not cached
  // True when the list is not held by the cache (not stored, or the interface failed but still
  // gave objects): the caller must release it with releaseObjectList when done.
  bool callerOwnsList;
  // An interface obtained for this resolution alone (the cache owner's record could not be
  // made, so nothing keeps it): the caller releases it after the list.
  MetadataInterface* interfaceToRelease;
};
Resolution resolveObjectUri(HostSession* session, const char* text, int32_t length);

StatusCode rememberObjectUri(HostSession* session, const char* text, int32_t length,
                             MetadataObject* objects);

// Length 0 forgets every entry. Forgetting a text that is not cached is not an error.
StatusCode forgetObjectUri(HostSession* session, const char* text, int32_t length);

struct TypeNamespace {
  StatusCode status;
  MetadataNamespace* typeNamespace;
  ConnectionCacheRecord* record;  // the record that keeps it; null when there is none
};
TypeNamespace typeNamespace(HostSession* session);

// Forgets everything, disarms this task's cleanup, releases the namespace, the record and the
// interface, and removes the named item. The next call builds a new connection.
StatusCode dropConnection(HostSession* session);

// Registered with the host for the cache-owner session; runs with a current session whose cache
// owner is the session that ends.
void endOfSessionCleanup();

// The newest entry of the record whose text equals the key (which must already be trimmed).
ResolutionEntry* findCachedEntry(ConnectionCacheRecord* record, const char* text, int32_t length);

// Listing helpers over an object list that may be held by a cache entry. With an entry they
// remember the count and the last position walked to, so walking n = 1..N costs O(N) overall;
// the answers are those of a plain walk from the head.
int64_t countObjects(ResolutionEntry* entry, MetadataObject* objects);
// The n-th object (n counts from 1), or null when n < 1 or the list is shorter.
MetadataObject* objectAt(ResolutionEntry* entry, MetadataObject* objects, int64_t n);
// The same for the type names of a namespace kept by `record` (which may be null).
int64_t countTypeNames(ConnectionCacheRecord* record, NameNode* names);
NameNode* typeNameAt(ConnectionCacheRecord* record, NameNode* names, int64_t n);

// The same for a list that the entry's first object handed out: NameNode, NameValueNode or
// MetadataObject lists, linked through their `next` member. entry may be null (a plain walk).
// The cursor follows the most recent list asked about; another list starts from its head.
template <typename Node>
int64_t countListed(ResolutionEntry* entry, Node* head) {
  const bool kept = entry != nullptr && head != nullptr && entry->listHead == head;
  if (kept && entry->listCount > 0) return entry->listCount;
  int64_t count = 0;
  for (Node* node = head; node != nullptr; node = node->next) ++count;
  if (entry != nullptr && head != nullptr) {
    if (!kept) {
      entry->listHead = head;
      entry->listCursor = nullptr;
      entry->listCursorPosition = 0;
    }
    entry->listCount = count;
  }
  return count;
}

template <typename Node>
Node* listedAt(ResolutionEntry* entry, Node* head, int64_t n) {
  if (n < 1 || head == nullptr) return nullptr;
  if (entry != nullptr && entry->listHead != head) {
    entry->listHead = head;
    entry->listCount = 0;
    entry->listCursor = nullptr;
    entry->listCursorPosition = 0;
  }
  int64_t position = 1;
  Node* node = head;
  if (entry != nullptr && entry->listCursor != nullptr && entry->listCursorPosition <= n) {
    position = entry->listCursorPosition;
    node = static_cast<Node*>(entry->listCursor);
  }
  while (node != nullptr && position < n) {
    node = node->next;
    ++position;
  }
  if (node != nullptr && entry != nullptr) {
    entry->listCursorPosition = position;
    entry->listCursor = node;
  }
  return node;
}

// Drops the list cursor of an entry whose object the caller has just changed.
inline void forgetListCursor(ResolutionEntry* entry) {
  if (entry == nullptr) return;
  entry->listHead = nullptr;
  entry->listCount = 0;
  entry->listCursor = nullptr;
  entry->listCursorPosition = 0;
}

}  // namespace mdaccess
