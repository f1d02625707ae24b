#include "mdserver/interface/client_interface.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cstring>

#include <sqlite3.h>

#include "mdserver/access/audit_trail.h"
#include "mdserver/access/decision_shown.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/security/audit_store.h"

namespace mdserver {
namespace {

// What the server attaches to an object it hands out (serverPrivate[0]). Package-built objects
// have none: their serverPrivate words are zero.
struct ObjectResults {
  struct Entry {
    ClientInterface::ResultKind kind;
    std::string key;
    void* result;
    uint64_t changeCount;  // the repository's change count the result was built at; 0: never kept
  };
  std::vector<Entry> entries;
};

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

void installInterfaceMembers(MetadataInterface& abi);  // client_operations.cpp

const ReadableSet* ClientInterface::readable() {
  if (principal_.localAdministrator) {
    readable_.everything = true;
    return &readable_;
  }
  // The count changes with every change this process makes; another process's commit to the
  // same file shows in the file's data version.
  const uint64_t stamp = operationChangeCount() + 1;
  uint32_t fileVersion = 0;
  if (sqlite3* handle = repository_.rawHandle()) {
    std::lock_guard lock(repository_.mutex());
    sqlite3_file_control(handle, "main", SQLITE_FCNTL_DATA_VERSION, &fileVersion);
  }
  if (readableStamp_ != 0 && readableStamp_ == stamp && readableFileVersion_ == fileVersion) {
    return &readable_;
  }
  readableStamp_ = 0;
  std::vector<std::string> repositories;
  // An open repository needs no list of repositories: everything is readable there.
  if (repository_.security().enforced()) {
    for (const RepositoryInfo& info : repository_.repositories()) repositories.push_back(info.id);
  }
  Outcome computed = readableSet(repository_.security(), principal_, repositories, readable_);
  if (!computed.ok()) {
    readable_ = ReadableSet{};  // nothing readable, should anybody look
    fail(computed);
    return nullptr;
  }
  // A count of 0 means the count could not be read: such a set is not kept.
  if (stamp != 1) {
    readableStamp_ = stamp;
    readableFileVersion_ = fileVersion;
  }
  return &readable_;
}

ClientInterface::ClientInterface(Repository& repository, Credentials credentials,
                                 Principal principal)
    : repository_(repository),
      credentials_(std::move(credentials)),
      principal_(std::move(principal)) {
  authenticated_ = principal_.identities.count(std::string(kAuthenticatedId)) != 0;
  installInterfaceMembers(abi_);
  abi_.members[0] = this;
  abi_.members[interface_member::kPool] = pool_.abi();
  abi_.members[interface_member::kObjectOperations] =
      const_cast<void**>(objectOperationTableOfServer());
}

ClientInterface::~ClientInterface() = default;

ClientInterface* ClientInterface::fromAbi(MetadataInterface* md) {
  return md ? static_cast<ClientInterface*>(md->members[0]) : nullptr;
}

const std::vector<std::string>& ClientInterface::operationNames() {
  static const std::vector<std::string> names = {
      "releaseInterface", "listRepositories", "isPaused", "freeText", "getCredentials",
      "freeCredentials", "resolveInRepository", "resolveUri", "findByPath", "getAppProperty",
      "freeObjectList", "deleteAssociation", "deleteObject", "getNamespace", "releaseNamespace",
      "newObject", "serverVersion", "releaseList", "listAssociationNames", "getAssociation",
      "getAttribute", "listAttributes", "getProperty", "listProperties", "setProperty",
      "setAttribute", "setAssociation", "beginTransaction", "endTransaction",
      "repoBeginTransaction", "repoEndTransaction", "releaseIdentityFilter",
      "listAuthorizations", "setAuthorization", "releaseAuthorizations", "listLogins",
      "releaseLoginList", "repoListIdentities", "repoListAuthorizations",
      "repoSetAuthorization", "newAct", "deleteAct", "applyAct", "removeAct",
      "listActAttributes", "releaseAttributeList", "setActAttribute", "listActsById",
      "repoListActs", "repoApplyAct", "repoRemoveAct"};
  return names;
}

uint64_t ClientInterface::callCount(std::string_view operation) const {
  auto found = calls_.find(operation);
  return found == calls_.end() ? 0 : found->second;
}

std::map<std::string, uint64_t> ClientInterface::callCounts() const {
  return std::map<std::string, uint64_t>(calls_.begin(), calls_.end());
}

bool ClientInterface::injectFault(std::string_view operation, const InjectedFault& fault) {
  const auto& names = operationNames();
  if (std::find(names.begin(), names.end(), operation) == names.end()) return false;
  faults_[std::string(operation)] = fault;
  return true;
}

uint64_t ClientInterface::operationChangeCount() {
  if (inOperation_ && operationChangeCount_ != 0) return operationChangeCount_;
  const uint64_t count = repository_.changeCount();
  if (inOperation_) operationChangeCount_ = count;
  return count;
}

void ClientInterface::refreshSecurityState() {
  if (principal_.localAdministrator) return;
  const uint64_t stamp = operationChangeCount();
  // 0: the count could not be read; nothing kept can be trusted then.
  if (stamp != 0 && stamp == securityStamp_) return;
  decisions_.clear();
  securityStamp_ = 0;
  if (principal_.identityId.empty()) return;  // nobody's memberships to follow
  bool complete = true;
  Principal fresh = principalOf(repository_.security(), IdentityRecord{principal_.identityId, "", "", ""},
                                authenticated_, &complete);
  principal_.failure = fresh.failure;
  if (!complete) {
    principal_.identities.clear();
    return;
  }
  principal_.identities = std::move(fresh.identities);
  securityStamp_ = stamp;
}

void ClientInterface::noteDecision(const AccessTarget& requested, std::string_view permission,
                                   const Decision& decision, bool read) {
  auditNotes_.push_back({requested.id(), requested.repositoryId, std::string(permission), decision,
                         read});
}

namespace {

// What tells two refusals apart for coalescing: everything their records would say except the
// time, each field with its length first so that no two different sets of fields run together
// into one key. The decision enters whole (basis, deciding entry, level and kind, the failure's
// text), so a refusal decided by another entry or on another state is never counted as a
// repeat of this one.
void refusalKey(std::string& key, const Principal& principal, const char* operation,
                StatusCode status, uint64_t changeCount, const std::string& repositoryId,
                const std::string& target, const std::string& permission,
                const Decision& decision) {
  key.clear();  // its room stays: a repeat costs no allocation
  auto field = [&key](std::string_view text) {
    char length[24];
    const auto end = std::to_chars(length, length + sizeof length, text.size()).ptr;
    key.append(length, end).push_back(':');
    key.append(text);
  };
  auto number = [&field](uint64_t value) {
    char digits[24];
    field(std::string_view(digits, std::to_chars(digits, digits + sizeof digits, value).ptr -
                                       digits));
  };
  field(principal.userId);
  field(principal.identityId);
  field(operation);
  field(repositoryId);
  field(target);
  field(permission);
  number(status);
  number(changeCount);
  field(decision.allowed ? "allowed" : "refused");
  number(static_cast<uint64_t>(decision.basis));
  field(decision.decidingLevel);
  number(static_cast<uint64_t>(decision.decidingKind));
  if (const auto& e = decision.decidingEntry) {
    field(e->grant ? "grant" : "deny");
    field(e->permission);
    field(e->identityId);
    field(e->target);
  } else {
    field("-");
  }
  field(decision.failure.message);
}

}  // namespace

void ClientInterface::writeAuditNotes(const char* operation, StatusCode status) {
  std::vector<AuditNote> notes = std::move(auditNotes_);
  auditNotes_.clear();
  AuditStore& audit = repository_.audit();
  // The count the decisions were made at: the one the principal was brought up to (the local
  // administrator keeps none, and is asked the repository's).
  const uint64_t count = securityStamp_ != 0 ? securityStamp_ : repository_.changeCount();
  bool enabledKnown = false;
  for (AuditNote& note : notes) {
    // A refusal (of a read or of a change) repeated within the coalescing window is counted on
    // the record of its first occurrence: asked by its key before any record is built (true
    // too when recording is off).
    const bool refused = !note.decision.allowed;
    if (refused) {
      refusalKey(refusalKey_, principal_, operation, status, count, note.repositoryId,
                 note.target, note.permission, note.decision);
      if (audit.countRepeat(refusalKey_, count)) continue;
    }
    if (!enabledKnown) {
      if (!audit.enabled(count)) return;  // no record is built that nobody keeps
      enabledKnown = true;
    }
    AuditRecord& record = auditRecord_;  // refilled: its texts' room is reused
    record.repositoryId = std::move(note.repositoryId);
    record.userId = principal_.userId;
    record.identityId = principal_.identityId;
    record.operation = operation;
    record.target = std::move(note.target);
    record.permission = std::move(note.permission);
    record.outcome = refused ? "refused" : status == kStatusOk ? "allowed" : "failed";
    record.status = status;
    if (note.decision.decidingEntry) {
      record.decidingEntry = auditDecidingEntry(*note.decision.decidingEntry);
      record.decidingLevel = levelText(note.decision.decidingKind);
    } else {
      record.decidingEntry.clear();
      record.decidingLevel.clear();
    }
    record.decision = describe(note.decision);
    record.changeCount = count;
    if (refused) {
      audit.recordCoalesced(refusalKey_, record);
    } else {
      audit.record(record);
    }
  }
}

const Decision* ClientInterface::keptDecision(const std::string& key) const {
  if (securityStamp_ == 0) return nullptr;
  auto found = decisions_.find(key);
  return found == decisions_.end() ? nullptr : &found->second;
}

void ClientInterface::keepDecision(std::string key, const Decision& decision) {
  if (securityStamp_ == 0) return;
  decisions_.insert_or_assign(std::move(key), decision);
}

const InjectedFault* ClientInterface::enter(const char* operation) {
  if (recentCounters_[0].name == operation) {
    ++*recentCounters_[0].counter;
  } else if (recentCounters_[1].name == operation) {
    ++*recentCounters_[1].counter;
    std::swap(recentCounters_[0], recentCounters_[1]);
  } else {
    const std::string_view name(operation);
    auto counted = calls_.find(name);
    if (counted == calls_.end()) counted = calls_.emplace(std::string(name), 0).first;
    ++counted->second;
    recentCounters_[1] = recentCounters_[0];
    recentCounters_[0] = {operation, &counted->second};
  }
  if (operationFaultHook_) {
    if (StatusCode status = operationFaultHook_(operation); status != kStatusOk) {
      firedOnce_ = InjectedFault{status, FaultMode::kOnce, false};
      return &firedOnce_;
    }
  }
  if (faults_.empty()) return nullptr;
  auto found = faults_.find(operation);
  if (found == faults_.end()) return nullptr;
  if (found->second.mode == FaultMode::kAlways) return &found->second;
  firedOnce_ = found->second;
  faults_.erase(found);
  return &firedOnce_;
}

StatusCode ClientInterface::fail(StatusCode status, std::string text) {
  lastErrorStatus_ = status;
  lastErrorText_ = std::move(text);
  if (failureObserver_) failureObserver_(status, lastErrorText_);
  return status;
}

StatusCode ClientInterface::fail(const Outcome& outcome) {
  if (outcome.ok()) return kStatusOk;
  return fail(outcome.status, outcome.message.empty() ? statusText(outcome.status)
                                                      : outcome.message);
}

StatusCode ClientInterface::buildList(const std::vector<ObjectRow>& rows, MetadataObject** out) {
  *out = nullptr;
  MetadataObject* head = nullptr;
  MetadataObject* tail = nullptr;
  for (const ObjectRow& row : rows) {
    auto* object = static_cast<MetadataObject*>(pool_.allocate(sizeof(MetadataObject)));
    if (!object) {
      releaseList(head);
      return fail(kStatusNoMemory, "the interface pool has no memory for an object list");
    }
    object->owner = &abi_;
    object->operations = objectOperationTableOfServer();
    object->serverKey = row.key;
    size_t idLength = std::min<size_t>(row.id.size(), kIdentifierCapacity);
    std::memcpy(object->identifier, row.id.data(), idLength);
    object->identifierLength = static_cast<int32_t>(idLength);
    object->type = pool_.copyText(row.type.data(), row.type.size());
    object->typeLength = static_cast<int32_t>(row.type.size());
    object->name = pool_.copyText(row.name.data(), row.name.size());
    object->nameLength = static_cast<int32_t>(row.name.size());
    object->description = pool_.copyText(row.description.data(), row.description.size());
    object->descriptionLength = static_cast<int32_t>(row.description.size());
    object->previous = tail;
    if (tail) {
      tail->next = object;
    } else {
      head = object;
    }
    tail = object;
    if (!object->type || !object->name || !object->description) {
      releaseList(head);
      return fail(kStatusNoMemory, "the interface pool has no memory for an object list");
    }
  }
  *out = head;
  return kStatusOk;
}

void ClientInterface::trackHandedOut(MetadataObject* head) {
  if (head) handedOut_.insert(head, 0);
}

void ClientInterface::releaseList(MetadataObject* head) {
  if (!head) return;
  handedOut_.erase(head);
  for (MetadataObject* object = head; object;) {
    MetadataObject* next = object->next;
    freeObject(object);
    object = next;
  }
}

void ClientInterface::freeResultsOf(MetadataObject* object) {
  if (auto* results = static_cast<ObjectResults*>(object->serverPrivate[0])) {
    for (auto& entry : results->entries) freeResult(entry.kind, entry.result);
    delete results;
    object->serverPrivate[0] = nullptr;
  }
  // Also when the word was found empty, so that no freed object stays listed; an empty list
  // (the usual case: most objects never get a result) is not searched.
  if (!objectsWithResults_.empty()) objectsWithResults_.erase(object);
}

void ClientInterface::freeObject(MetadataObject* object) {
  freeResultsOf(object);
  // A repository handle owns the authorization list a package stored in it.
  if ((object->flags & kRepositoryCachedAuthorizations) != 0 &&
      untrackSecurityList(object->cachedAuthorizations)) {
    freeSecurityList(*this, SecurityListKind::kAuthorizations, object->cachedAuthorizations);
  }
  pool_.release(object->type);
  pool_.release(object->name);
  pool_.release(object->description);
  pool_.release(object);
}

void ClientInterface::attach(MetadataObject* object, ResultKind kind, std::string_view key,
                             void* result, uint64_t changeCount) {
  auto* results = static_cast<ObjectResults*>(object->serverPrivate[0]);
  if (!results) {
    results = new ObjectResults;
    object->serverPrivate[0] = results;
    objectsWithResults_.insert(object);
  }
  std::string folded = lowered(key);
  for (auto& entry : results->entries) {
    if (entry.kind == kind && entry.key == folded) {
      // The new result was built while this one was still alive, so the two never share an
      // address: a caller that compares heads can tell a new list from the one it walked.
      freeResult(kind, entry.result);
      entry.result = result;
      entry.changeCount = changeCount;
      return;
    }
  }
  results->entries.push_back({kind, std::move(folded), result, changeCount});
}

void* ClientInterface::keptResult(MetadataObject* object, ResultKind kind, std::string_view key,
                                  uint64_t changeCount) {
  auto* results = static_cast<ObjectResults*>(object->serverPrivate[0]);
  if (!results || changeCount == 0) return nullptr;
  std::string folded = lowered(key);
  for (auto& entry : results->entries) {
    if (entry.kind == kind && entry.key == folded) {
      return entry.changeCount == changeCount ? entry.result : nullptr;
    }
  }
  return nullptr;
}

void ClientInterface::freeResult(ResultKind kind, void* result) {
  switch (kind) {
    case ResultKind::kNameValueList:
    case ResultKind::kPropertyList:
      for (auto* node = static_cast<NameValueNode*>(result); node;) {
        NameValueNode* next = node->next;
        pool_.release(node->name);
        pool_.release(node->value);
        pool_.release(node);
        node = next;
      }
      break;
    case ResultKind::kNameList:
      for (auto* node = static_cast<NameNode*>(result); node;) {
        NameNode* next = node->next;
        pool_.release(node->name);
        pool_.release(node);
        node = next;
      }
      break;
    case ResultKind::kObjectList:
      releaseList(static_cast<MetadataObject*>(result));
      break;
    case ResultKind::kValueText: {
      auto* text = static_cast<ValueText*>(result);
      if (text) pool_.release(text->text);
      pool_.release(text);
      break;
    }
    case ResultKind::kIdentityList:
      freeIdentityList(*this, static_cast<IdentityEntry*>(result));
      break;
    case ResultKind::kPropertyRecord: {
      auto* record = static_cast<PropertyRecord*>(result);
      if (record) {
        pool_.release(record->name);
        pool_.release(record->value);  // may be a block the package put in its place
      }
      pool_.release(record);
      break;
    }
  }
}

void ClientInterface::keepRepositoryList(RepositoryEntry* list) {
  freeRepositoryList(repositoryList_);
  repositoryList_ = list;
}

void ClientInterface::freeRepositoryList(RepositoryEntry* list) {
  for (RepositoryEntry* entry = list; entry;) {
    RepositoryEntry* next = entry->next;
    pool_.release(entry->identifier);
    pool_.release(entry->name);
    pool_.release(entry->description);
    pool_.release(entry);
    entry = next;
  }
  if (list == repositoryList_) repositoryList_ = nullptr;
}

void ClientInterface::trackSecurityList(void* list, SecurityListKind kind) {
  if (list) securityLists_.emplace(list, kind);
}

bool ClientInterface::untrackSecurityList(void* list) {
  return list != nullptr && securityLists_.erase(list) != 0;
}

void ClientInterface::replaceActList(ActEntry* list) {
  if (actList_ != nullptr && untrackSecurityList(actList_)) freeActList(*this, actList_);
  actList_ = list;
  trackSecurityList(list, SecurityListKind::kActs);
}

void ClientInterface::shutDown() {
  // The last repository list and ACT list are the interface's own (a package never frees them;
  // the next listing replaces them), so they go first: what the pool holds after that is what
  // packages left behind.
  freeRepositoryList(repositoryList_);
  if (actList_ != nullptr && untrackSecurityList(actList_)) freeActList(*this, actList_);
  actList_ = nullptr;
  ReleaseSummary summary;
  summary.poolBeforeReclaim = pool_.counts();
  summary.listsReclaimed = handedOut_.size();
  summary.callCounts = callCounts();
  if (releaseObserver_) releaseObserver_(summary);
  std::vector<MetadataObject*> left;
  left.reserve(handedOut_.size());
  handedOut_.forEach(
      [&](void* head, uint64_t) { left.push_back(static_cast<MetadataObject*>(head)); });
  for (MetadataObject* head : left) releaseList(head);
  // Results attached to objects the interface did not hand out as lists (copies a package made
  // and still holds) are the interface's too; the objects' own blocks go with the pool.
  std::vector<MetadataObject*> holders(objectsWithResults_.begin(), objectsWithResults_.end());
  for (MetadataObject* object : holders) freeResultsOf(object);
  auto lists = std::move(securityLists_);
  securityLists_.clear();
  for (const auto& [list, kind] : lists) freeSecurityList(*this, kind, list);
  // Staged changes of transactions still open go with the connection.
  transactions_.abandonOpen();
  delete this;
}

MetadataInterface* openInterface(Repository& repository, const Credentials& credentials) {
  return openInterface(repository, credentials, Principal::administrator());
}

MetadataInterface* openInterface(Repository& repository, const Credentials& credentials,
                                 const Principal& principal) {
  return (new ClientInterface(repository, credentials, principal))->abi();
}

}  // namespace mdserver
