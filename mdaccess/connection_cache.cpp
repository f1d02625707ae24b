// Connection and resolution cache over the named session item "__QMDI_REBCACHE".
#include "mdaccess/connection_cache.h"

#include <cstring>

#include "frame/call_frame.h"
#include "frame/module_globals.h"

namespace mdaccess {
namespace {

constexpr char kDoSubContext[] = "DOSUB";
constexpr char kTypeNamespaceName[] = "RUX";

// Below this many entries a plain walk is as fast as a hash look-up, and building no index keeps
// the allocations of a short session exactly those of the list itself.
constexpr uint64_t kIndexThreshold = 16;
constexpr uint64_t kInitialBuckets = 64;

// The record of `owner`, or null. A failing read gives null too; its status goes to statusOut
// for the callers that pass it on.
ConnectionCacheRecord* readRecord(HostSession* owner, StatusCode* statusOut = nullptr) {
  void* item = nullptr;
  StatusCode status = hostGetNamedItem(frame::hostInterface(), owner, kCacheItemName,
                                       kCacheItemNameLength, &item);
  if (statusOut != nullptr) *statusOut = status;
  if (status != kStatusOk) return nullptr;
  return static_cast<ConnectionCacheRecord*>(item);
}

// Trailing blanks are dropped only from texts longer than one character, so a single blank
// stays a text of length 1.
int32_t cacheKeyLength(const char* text, int32_t length) {
  if (length > 1 && text[length - 1] == ' ') return frame::trimmedLength(text, length);
  return length;
}

uint64_t upperHash(const char* text, int32_t length) {
  const uint8_t* upper = frame::hostInterface()->upperCaseTable;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (int32_t i = 0; i < length; ++i) {
    hash ^= upper[static_cast<unsigned char>(text[i])];
    hash *= 1099511628211ull;
  }
  return hash;
}

// ---- Hash index ------------------------------------------------------------------------------

uint64_t bucketOf(const ResolutionIndex* index, uint64_t hash) {
  return hash & (index->bucketCount - 1);
}

ResolutionIndex* allocateIndex(MetadataInterface* md, uint64_t buckets) {
  uint64_t size = offsetof(ResolutionIndex, buckets) + sizeof(ResolutionEntry*) * buckets;
  auto* index = static_cast<ResolutionIndex*>(poolAllocate(md, size));
  if (index != nullptr) index->bucketCount = buckets;
  return index;
}

// Builds the index anew from the list. Entries are linked in from the oldest to the newest so
// that every bucket ends up newest first. When the block is not available the old index (if
// any) stays: it is complete, only more crowded.
void rebuildIndex(MetadataInterface* md, ConnectionCacheRecord* record, uint64_t buckets) {
  ResolutionIndex* index = allocateIndex(md, buckets);
  if (index == nullptr) return;
  ResolutionEntry* oldest = record->resolutions;
  while (oldest != nullptr && oldest->next != nullptr) oldest = oldest->next;
  for (ResolutionEntry* e = oldest; e != nullptr; e = e->previous) {
    uint64_t b = bucketOf(index, e->hash);
    e->bucketNext = index->buckets[b];
    index->buckets[b] = e;
    ++index->entryCount;
  }
  if (record->index != nullptr) poolFree(md, record->index);
  record->index = index;
}

void indexInsert(MetadataInterface* md, ConnectionCacheRecord* record, ResolutionEntry* entry,
                 uint64_t listLength) {
  ResolutionIndex* index = record->index;
  if (index == nullptr) {
    if (listLength >= kIndexThreshold) rebuildIndex(md, record, kInitialBuckets);
    return;  // the rebuild took the new entry in with the rest
  }
  uint64_t b = bucketOf(index, entry->hash);
  entry->bucketNext = index->buckets[b];
  index->buckets[b] = entry;
  ++index->entryCount;
  if (index->entryCount > index->bucketCount) rebuildIndex(md, record, index->bucketCount * 2);
}

void indexRemove(ConnectionCacheRecord* record, ResolutionEntry* entry) {
  ResolutionIndex* index = record->index;
  if (index == nullptr) return;
  for (ResolutionEntry** link = &index->buckets[bucketOf(index, entry->hash)]; *link != nullptr;
       link = &(*link)->bucketNext) {
    if (*link == entry) {
      *link = entry->bucketNext;
      --index->entryCount;
      return;
    }
  }
}

// ---- List operations ---------------------------------------------------------------------------

// The newest entry whose text equals the key (same length; equal through the host's upper-case
// table, or by hostCompareMixed in multi-byte mode).
// A program asks for the same text again and again (a loop over a list): the entry found last is
// remembered, and the same bytes asked for again find it without hashing. Any change to the
// list forgets it, so it is still the newest entry for its text.
ResolutionEntry* findEntry(ConnectionCacheRecord* record, const char* text, int32_t length) {
  HostInterface* host = frame::hostInterface();
  if (host->multiByteMode != 0) {
    record->lastFound = nullptr;  // equal texts are the host's to judge in this mode
  } else if (ResolutionEntry* last = record->lastFound;
             last != nullptr && last->textLength == length &&
             (length == 0 || std::memcmp(last->text, text, static_cast<size_t>(length)) == 0)) {
    return last;
  }
  ResolutionEntry* found = nullptr;
  if (record->index != nullptr && host->multiByteMode == 0) {
    uint64_t hash = upperHash(text, length);
    for (ResolutionEntry* e = record->index->buckets[bucketOf(record->index, hash)]; e != nullptr;
         e = e->bucketNext) {
      if (e->hash == hash && frame::equalTexts(e->text, e->textLength, text, length)) {
        found = e;
        break;
      }
    }
    record->lastFound = found;
    return found;
  }
  for (ResolutionEntry* e = record->resolutions; e != nullptr; e = e->next) {
    // Texts of another length never match: the walk passes them without asking the host.
    if (e->textLength == length && frame::equalTexts(e->text, e->textLength, text, length)) {
      found = e;
      break;
    }
  }
  if (host->multiByteMode == 0) record->lastFound = found;
  return found;
}

// Allocates an entry with a copy of the text and puts it at the head of the list.
StatusCode pushEntry(MetadataInterface* md, ConnectionCacheRecord* record, const char* text,
                     int32_t length, MetadataObject* objects, ResolutionEntry** entryOut) {
  auto* entry = static_cast<ResolutionEntry*>(poolAllocate(md, sizeof(ResolutionEntry)));
  if (entry == nullptr) return kStatusNoMemory;
  auto* copy = static_cast<char*>(poolAllocate(md, static_cast<uint64_t>(length) + 1));
  if (copy == nullptr) {
    poolFree(md, entry);
    return kStatusNoMemory;
  }
  if (length > 0) std::memcpy(copy, text, static_cast<size_t>(length));
  entry->text = copy;
  entry->textLength = length;
  entry->objects = objects;
  entry->hash = upperHash(text, length);
  entry->next = record->resolutions;
  if (entry->next != nullptr) entry->next->previous = entry;
  record->resolutions = entry;
  record->lastFound = nullptr;

  uint64_t listLength = 0;
  if (record->index != nullptr) {
    listLength = record->index->entryCount + 1;
  } else {
    for (ResolutionEntry* e = entry; e != nullptr && listLength < kIndexThreshold; e = e->next) {
      ++listLength;
    }
  }
  indexInsert(md, record, entry, listLength);
  if (entryOut != nullptr) *entryOut = entry;
  return kStatusOk;
}

void releaseEntry(MetadataInterface* md, ResolutionEntry* entry) {
  if (entry->objects != nullptr) releaseObjectList(entry->objects);
  poolFree(md, entry->text);
  poolFree(md, entry);
}

void forgetAll(MetadataInterface* md, ConnectionCacheRecord* record) {
  ResolutionEntry* e = record->resolutions;
  while (e != nullptr) {
    ResolutionEntry* next = e->next;
    releaseEntry(md, e);
    e = next;
  }
  record->resolutions = nullptr;
  record->lastFound = nullptr;
  if (record->index != nullptr) {
    poolFree(md, record->index);
    record->index = nullptr;
  }
}

// ---- Connections -------------------------------------------------------------------------------

struct OwnerConnection {
  StatusCode status;
  MetadataInterface* interface;    // also set when only the record allocation failed
  ConnectionCacheRecord* record;   // null when none could be made
};

// The get-connection steps on `owner`. When the record cannot be allocated the interface is
// handed back with 0x80000803 so that a resolution can still go on with it.
OwnerConnection connectOwner(HostSession* owner) {
  HostInterface* host = frame::hostInterface();
  if (ConnectionCacheRecord* record = readRecord(owner)) {
    return {kStatusOk, record->interface, record};
  }
  void* handedOut = nullptr;
  StatusCode status = hostGetMetadataInterface(host, owner, &handedOut);
  if (status != kStatusOk) return {status, nullptr, nullptr};
  auto* md = static_cast<MetadataInterface*>(handedOut);
  if (md == nullptr) return {kStatusOk, nullptr, nullptr};

  auto* record = static_cast<ConnectionCacheRecord*>(poolAllocate(md, sizeof(ConnectionCacheRecord)));
  if (record == nullptr) return {kStatusNoMemory, md, nullptr};
  record->interface = md;
  record->ownerTask = currentTaskIdentity();
  status = hostSetNamedItem(host, owner, kCacheItemName, kCacheItemNameLength, record);
  if (status != kStatusOk) hostReportStatus(host, status);
  hostCreateCleanup(host, &endOfSessionCleanup, &record->cleanupHandle, owner,
                    frame::moduleToken());
  if (record->cleanupHandle != nullptr) hostArmCleanup(host, record->cleanupHandle);
  return {status, md, record};
}

// The interface of o2 for the operations that must stop when no record could be made there.
// An interface left without a record is released, since nothing else would ever release it.
StatusCode interfaceForCacheOperation(HostSession* o2, MetadataInterface** out) {
  OwnerConnection c = connectOwner(o2);
  if (c.record == nullptr && c.interface != nullptr) {
    releaseInterface(c.interface);
    *out = nullptr;
    return kStatusNoMemory;
  }
  *out = c.interface;
  return c.record == nullptr ? c.status : kStatusOk;
}

void dropRecord(HostSession* owner, bool fromCleanup, StatusCode* statusOut) {
  HostInterface* host = frame::hostInterface();
  ConnectionCacheRecord* record = readRecord(owner, statusOut);
  if (record == nullptr) return;
  MetadataInterface* md = record->interface;
  forgetAll(md, record);
  if (record->cleanupHandle != nullptr && record->ownerTask == currentTaskIdentity()) {
    if (!fromCleanup) hostDisarmCleanup(host, record->cleanupHandle);
    hostDestroyCleanup(host, record->cleanupHandle);
  }
  if (record->typeNamespace != nullptr) releaseNamespace(md, record->typeNamespace);
  poolFree(md, record);
  releaseInterface(md);
  StatusCode status = hostSetNamedItem(host, owner, kCacheItemName, kCacheItemNameLength, nullptr);
  if (status != kStatusOk) hostReportStatus(host, status);
  if (statusOut != nullptr) *statusOut = status;
}

}  // namespace

HostSession* cacheOwner(HostSession* session) {
  if (session->contextNameLength == sizeof(kDoSubContext) - 1 && session->contextName != nullptr &&
      std::memcmp(session->contextName, kDoSubContext, sizeof(kDoSubContext) - 1) == 0) {
    return session;
  }
  // A top session has no parent to own its cache; it keeps its own rather than handing the host
  // a null session.
  return session->parent != nullptr ? session->parent : session;
}

uint64_t currentTaskIdentity() {
  HostInterface* host = frame::hostInterface();
  if (host->currentThreadIdentity != nullptr) return *host->currentThreadIdentity;
  if (host->currentTask != nullptr) return host->currentTask->identity;
  return 0;
}

Connection getConnection(HostSession* session) {
  OwnerConnection c = connectOwner(cacheOwner(session));
  if (c.record == nullptr && c.interface != nullptr) {
    // No record to keep the interface in: give it back instead of losing it.
    releaseInterface(c.interface);
    return {kStatusNoMemory, nullptr};
  }
  return {c.status, c.interface};
}

Resolution resolveObjectUri(HostSession* session, const char* text, int32_t length) {
  HostSession* o1 = cacheOwner(session);
  HostSession* o2 = cacheOwner(o1);
  OwnerConnection c = connectOwner(o2);
  MetadataInterface* md = c.interface;
  if (c.record == nullptr && md != nullptr) {
    // No record at o2 could be made: the resolution still goes on with the interface it got,
    // but nothing would ever release that interface, and a list it delivered must not outlive
    // it in some other record. So the list is handed over uncached and the interface goes back
    // once the caller is done with the list.
    length = cacheKeyLength(text, length);
    if (ConnectionCacheRecord* record = o1 == o2 ? nullptr : readRecord(o1)) {
      if (ResolutionEntry* hit = findEntry(record, text, length)) {
        releaseInterface(md);
        return {kStatusOk, hit->objects, hit, false, nullptr};
      }
    }
    MetadataObject* objects = nullptr;
    StatusCode status = resolveUri(md, text, length, &objects);
    return {status, objects, nullptr, objects != nullptr, md};
  }
  if (c.status != kStatusOk) return {c.status, nullptr, nullptr, false, nullptr};
  if (md == nullptr) return {kStatusOk, nullptr, nullptr, false, nullptr};

  length = cacheKeyLength(text, length);
  ConnectionCacheRecord* record = o1 == o2 ? c.record : readRecord(o1);
  if (record != nullptr) {
    if (ResolutionEntry* hit = findEntry(record, text, length)) {
      return {kStatusOk, hit->objects, hit, false, nullptr};
    }
  }

  MetadataObject* objects = nullptr;
  StatusCode status = resolveUri(md, text, length, &objects);
  if (status != kStatusOk) return {status, objects, nullptr, objects != nullptr, nullptr};
  if (record == nullptr) return {kStatusOk, objects, nullptr, objects != nullptr, nullptr};
  ResolutionEntry* entry = nullptr;
  status = pushEntry(md, record, text, length, objects, &entry);
  if (status != kStatusOk) return {status, objects, nullptr, objects != nullptr, nullptr};
  return {kStatusOk, objects, entry, false, nullptr};
}

StatusCode rememberObjectUri(HostSession* session, const char* text, int32_t length,
                             MetadataObject* objects) {
  HostSession* o1 = cacheOwner(session);
  MetadataInterface* md = nullptr;
  StatusCode status = interfaceForCacheOperation(cacheOwner(o1), &md);
  if (status != kStatusOk) return status;
  if (md == nullptr) return kStatusOk;
  ConnectionCacheRecord* record = readRecord(o1);
  if (record == nullptr) return kStatusNoMemory;
  return pushEntry(md, record, text, cacheKeyLength(text, length), objects, nullptr);
}

StatusCode forgetObjectUri(HostSession* session, const char* text, int32_t length) {
  HostSession* o1 = cacheOwner(session);
  MetadataInterface* md = nullptr;
  StatusCode status = interfaceForCacheOperation(cacheOwner(o1), &md);
  if (status != kStatusOk) return status;
  if (md == nullptr) return kStatusOk;
  ConnectionCacheRecord* record = readRecord(o1);
  if (record == nullptr) return kStatusOk;
  length = cacheKeyLength(text, length);
  if (length == 0) {
    forgetAll(md, record);
    return kStatusOk;
  }
  ResolutionEntry* entry = findEntry(record, text, length);
  if (entry == nullptr) return kStatusOk;
  record->lastFound = nullptr;
  indexRemove(record, entry);
  if (entry->previous != nullptr) {
    entry->previous->next = entry->next;
  } else {
    record->resolutions = entry->next;
  }
  if (entry->next != nullptr) entry->next->previous = entry->previous;
  releaseEntry(md, entry);
  return kStatusOk;
}

TypeNamespace typeNamespace(HostSession* session) {
  HostSession* o1 = cacheOwner(session);
  MetadataInterface* md = nullptr;
  StatusCode status = interfaceForCacheOperation(cacheOwner(o1), &md);
  if (status != kStatusOk || md == nullptr) return {status, nullptr, nullptr};
  ConnectionCacheRecord* record = readRecord(o1, &status);
  if (record == nullptr) return {status, nullptr, nullptr};
  if (record->typeNamespace == nullptr) {
    status = getNamespace(md, kTypeNamespaceName, 3, &record->typeNamespace);
    record->typeNameCount = 0;
    record->typeCursorPosition = 0;
    record->typeCursor = nullptr;
  }
  return {status, record->typeNamespace, record};
}

StatusCode dropConnection(HostSession* session) {
  HostInterface* host = frame::hostInterface();
  if (host->currentTask != nullptr) hostTaskSync(host, host->currentTask->syncContext);
  StatusCode status = kStatusOk;
  dropRecord(cacheOwner(session), false, &status);
  return status;
}

void endOfSessionCleanup() {
  HostSession* session = frame::currentSession();
  if (session == nullptr) return;
  HostInterface* host = frame::hostInterface();
  if (host->currentTask != nullptr) hostTaskSync(host, host->currentTask->syncContext);
  dropRecord(cacheOwner(session), true, nullptr);
}

ResolutionEntry* findCachedEntry(ConnectionCacheRecord* record, const char* text,
                                 int32_t length) {
  return findEntry(record, text, length);
}

int64_t countObjects(ResolutionEntry* entry, MetadataObject* objects) {
  if (entry != nullptr && entry->objectCount > 0) return entry->objectCount;
  int64_t count = 0;
  for (MetadataObject* o = objects; o != nullptr; o = o->next) ++count;
  if (entry != nullptr) entry->objectCount = count;
  return count;
}

MetadataObject* objectAt(ResolutionEntry* entry, MetadataObject* objects, int64_t n) {
  if (n < 1) return nullptr;
  int64_t position = 1;
  MetadataObject* object = objects;
  if (entry != nullptr && entry->cursorObject != nullptr && entry->cursorPosition <= n) {
    position = entry->cursorPosition;
    object = entry->cursorObject;
  }
  while (object != nullptr && position < n) {
    object = object->next;
    ++position;
  }
  if (object != nullptr && entry != nullptr) {
    entry->cursorPosition = position;
    entry->cursorObject = object;
  }
  return object;
}

int64_t countTypeNames(ConnectionCacheRecord* record, NameNode* names) {
  bool cached = record != nullptr && record->typeNamespace != nullptr &&
                record->typeNamespace->typeNames == names;
  if (cached && record->typeNameCount > 0) return record->typeNameCount;
  int64_t count = 0;
  for (NameNode* node = names; node != nullptr; node = node->next) ++count;
  if (cached) record->typeNameCount = count;
  return count;
}

NameNode* typeNameAt(ConnectionCacheRecord* record, NameNode* names, int64_t n) {
  if (n < 1) return nullptr;
  bool cached = record != nullptr && record->typeNamespace != nullptr &&
                record->typeNamespace->typeNames == names;
  int64_t position = 1;
  NameNode* node = names;
  if (cached && record->typeCursor != nullptr && record->typeCursorPosition <= n) {
    position = record->typeCursorPosition;
    node = record->typeCursor;
  }
  while (node != nullptr && position < n) {
    node = node->next;
    ++position;
  }
  if (cached && node != nullptr) {
    record->typeCursorPosition = position;
    record->typeCursor = node;
  }
  return node;
}

}  // namespace mdaccess
