// The metadata client interface over a Repository, laid out as mdaccess/md_abi.h fixes it: one
// interface record per openInterface call, all sharing the repository, each with its own pool.
//
// Ownership (what a package may rely on):
//  - Object lists from resolveUri, resolveInRepository and findByPath belong to the caller, who
//    frees them with freeObjectList or the list's table slot 0; lists still outstanding when the
//    interface is released are freed then.
//  - Results of an object's operations (getAssociation lists, listAssociationNames,
//    listAttributes, listProperties, getAttribute's ValueText, getProperty's PropertyRecord)
//    belong to that object and are freed with it, or when the interface is released, whichever
//    comes first. Asking again for the same result (same operation, same name) frees the
//    earlier one; the package never holds both. Lists are the exception that keeps listing by
//    index linear: while nothing stored has changed, asking again hands out the same list
//    (same head). A list built anew is built before the earlier one is freed, so its head is
//    never the earlier head. Property records are built anew on every getProperty, since a
//    package changes the record it receives.
//  - The repository list of listRepositories belongs to the interface: valid until the next
//    listRepositories call or the interface's release.
//  - getAppProperty's ValueText and getCredentials' texts are the caller's: freeText,
//    freeCredentials. getNamespace's namespace: releaseNamespace.
//  - Transaction handles (transactions.h): beginTransaction hands one to the caller; every end
//    operation takes the handle it is given and frees it, whatever its outcome.
// Releasing an object frees its type, name and description blocks, whatever the server attached
// to it privately, and the object block; lists built by a package from pool blocks free alike.
//
// An interface serves one session at a time (no lock of its own); the repository locks itself.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mdaccess/md_abi.h"
#include "mdserver/interface/block_table.h"
#include "mdserver/interface/interface_pool.h"
#include "mdserver/interface/transaction_book.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/audit_store.h"
#include "mdserver/security/readable_set.h"
#include "mdserver/security/security_types.h"

namespace mdserver {

struct Credentials {
  std::string user;
  std::string password;
};

enum class FaultMode { kOnce, kAlways };

// A status an operation returns instead of its own. withResult: the operation still runs and
// hands out its normal result (a resolution that fails and yet yields objects); otherwise it
// does nothing and yields no result.
struct InjectedFault {
  StatusCode status = kStatusOk;
  FaultMode mode = FaultMode::kOnce;
  bool withResult = false;
};

// What an interface looked like when it was released, before it freed what packages left (its
// own kept lists, the last repository list and ACT list, are gone by then: they are no block a
// package holds).
struct ReleaseSummary {
  PoolCounts poolBeforeReclaim;
  uint64_t listsReclaimed = 0;
  std::map<std::string, uint64_t> callCounts;
};

// Security lists the interface hands out and takes back with their release members (or frees
// when the interface is released).
// The ACT list of repoListActs/listActsById is the interface's: freed by the next ACT listing of
// the interface, or when the interface is released.
enum class SecurityListKind { kAuthorizations, kLogins, kActs, kAttributes };

class ClientInterface {
 public:
  // The interface acts for principal: every operation is decided for it (access_guard.h).
  ClientInterface(Repository& repository, Credentials credentials, Principal principal);
  ~ClientInterface();
  ClientInterface(const ClientInterface&) = delete;
  ClientInterface& operator=(const ClientInterface&) = delete;

  static ClientInterface* fromAbi(MetadataInterface* md);
  MetadataInterface* abi() { return &abi_; }
  Repository& repository() { return repository_; }
  InterfacePool& pool() { return pool_; }

  // Calls per operation, by the operation's name ("resolveUri", "getAttribute", ...).
  uint64_t callCount(std::string_view operation) const;
  std::map<std::string, uint64_t> callCounts() const;
  // Operation names are those of callCount; an unknown name is refused (returns false).
  bool injectFault(std::string_view operation, const InjectedFault& fault);
  void clearFaults() { faults_.clear(); }
  // Asked at every operation with its name; a status other than 0 fails that call once as an
  // injected fault would (shared by all interfaces of a run: mdhost --fail-operation).
  void setOperationFaultHook(std::function<StatusCode(const char* operation)> hook) {
    operationFaultHook_ = std::move(hook);
  }
  // The detailed text of the last failing operation (position of a malformed URI, ...).
  const std::string& lastErrorText() const { return lastErrorText_; }
  StatusCode lastErrorStatus() const { return lastErrorStatus_; }
  // Called once from releaseInterface, before the interface frees what is left.
  void onRelease(std::function<void(const ReleaseSummary&)> observer) {
    releaseObserver_ = std::move(observer);
  }

  // Called with every failure an operation reports, with the detailed text the status code
  // alone does not carry (where a URI is malformed, which object was missing). The host's
  // catalogue knows only the code, so a runner shows these texts in its log.
  void onFailure(std::function<void(StatusCode, const std::string&)> observer) {
    failureObserver_ = std::move(observer);
  }

  // The operation names known to callCount and injectFault.
  static const std::vector<std::string>& operationNames();

  // --- used by the ABI entry points (client_operations.cpp) ---
  // Counts the call; returns the fault to apply, if any.
  const InjectedFault* enter(const char* operation);
  StatusCode fail(const Outcome& outcome);
  StatusCode fail(StatusCode status, std::string text);
  // Builds a pool list of objects; null list when rows is empty. kStatusNoMemory leaves nothing.
  StatusCode buildList(const std::vector<ObjectRow>& rows, MetadataObject** out);
  void releaseList(MetadataObject* head);  // frees every object of the list
  void trackHandedOut(MetadataObject* head);
  void keepRepositoryList(RepositoryEntry* list);
  void freeRepositoryList(RepositoryEntry* list);
  const Credentials& credentials() const { return credentials_; }
  const Principal& principal() const { return principal_; }
  // Brings the principal's memberships and the kept decisions up to the committed state: read
  // again when the repository's change count moved since the last call (or cannot be read).
  // Called at the start of every operation (operation_dispatch.h), so that each is decided on
  // the state committed when it runs. A failure to read the memberships leaves a principal with
  // no identity at all (every decision of an enforcing repository denies) until a later call
  // reads them.
  void refreshSecurityState();
  // The repository's change count for the running operation: read once, at its first use, and
  // kept until the operation ends, so that the security state, the readable set and kept lists
  // of one operation cost one read of the count (a round trip on PostgreSQL), not one each.
  // Outside an operation, and while the count cannot be read (0), it is read every time. An
  // operation that writes does so after its checks, and what it keeps under the count it read
  // first is dropped by the next operation, which reads the moved count.
  uint64_t operationChangeCount();
  // A caller that has just read the count itself (the network server, for the request's own
  // checks) hands it to the next operation, which then does not read it again: one round trip
  // less. Only a count read immediately before the operation, from this repository.
  void presetOperationChangeCount(uint64_t count) { presetChangeCount_ = count; }
  void beginOperation() {
    inOperation_ = true;
    operationChangeCount_ = presetChangeCount_;
    presetChangeCount_ = 0;
  }
  void endOperation() {
    inOperation_ = false;
    operationChangeCount_ = 0;
  }
  // Decisions made for the principal at the current change count, by a key of the guard's
  // (access_guard.cpp); null when none is kept.
  const Decision* keptDecision(const std::string& key) const;
  void keepDecision(std::string key, const Decision& decision);
  // What the principal may Read (readable_set.h), kept for as long as the repository has not
  // changed: the local administrator and an open repository cost nothing, an unchanged state
  // one look at the change count. Null when it cannot be computed; the failure is reported
  // through fail() and the caller refuses the request.
  const ReadableSet* readable();
  // The audit trail (mdserver/security/audit_store.h): enforcement notes every decision it
  // makes for a change, and every refused read, while an operation runs (access_guard.cpp);
  // recordAudit, called when the operation ends (operation_dispatch.h), records them with the
  // operation's status. Nothing here decides: a note is the decision function's own answer.
  void noteDecision(const AccessTarget& requested, std::string_view permission,
                    const Decision& decision, bool read);
  void recordAudit(const char* operation, StatusCode status) {
    if (!auditNotes_.empty()) writeAuditNotes(operation, status);
  }
  void trackSecurityList(void* list, SecurityListKind kind);
  // False when the list was not handed out by this interface (or was taken back already).
  bool untrackSecurityList(void* list);
  // Keeps a new ACT list as the interface's current one, freeing the one before it.
  void replaceActList(ActEntry* list);
  // Transactions begun through this interface (either route); see transaction_book.h.
  TransactionBook& transactions() { return transactions_; }
  // Attaches a result to an object (see ownership above), freeing one of the same kind and key.
  enum class ResultKind { kNameValueList, kPropertyList, kNameList, kObjectList, kValueText,
                          kPropertyRecord, kIdentityList };
  // changeCount: the repository's change count the result was built from, so that keptResult
  // can hand it out again; 0 for a result that is never handed out twice.
  void attach(MetadataObject* object, ResultKind kind, std::string_view key, void* result,
              uint64_t changeCount = 0);
  // The result attached under kind and key if it was built at this change count, else null.
  void* keptResult(MetadataObject* object, ResultKind kind, std::string_view key,
                   uint64_t changeCount);
  void freeResult(ResultKind kind, void* result);
  // Called from releaseInterface: reports, reclaims and deletes this interface.
  void shutDown();

 private:
  void freeObject(MetadataObject* object);
  void freeResultsOf(MetadataObject* object);
  void writeAuditNotes(const char* operation, StatusCode status);

  struct AuditNote {
    std::string target;  // the identifier the operation asked about
    std::string repositoryId;
    std::string permission;
    Decision decision;
    bool read = false;
  };
  std::vector<AuditNote> auditNotes_;
  std::string refusalKey_;  // the last refusal's coalescing key (its room is reused)
  AuditRecord auditRecord_;  // the last record handed to the audit trail (its room is reused)

  MetadataInterface abi_{};
  Repository& repository_;
  Credentials credentials_;
  Principal principal_;
  bool authenticated_ = false;       // the principal logged in (Authenticated counts)
  bool inOperation_ = false;
  uint64_t operationChangeCount_ = 0;  // 0: not read yet in this operation
  uint64_t presetChangeCount_ = 0;     // presetOperationChangeCount's, for the next operation
  uint64_t securityStamp_ = 0;       // change count the principal and decisions were read at
  std::unordered_map<std::string, Decision> decisions_;
  ReadableSet readable_;
  uint64_t readableStamp_ = 0;  // 0: readable_ not computed (or not to be kept)
  uint32_t readableFileVersion_ = 0;
  InterfacePool pool_;
  std::unordered_map<void*, SecurityListKind> securityLists_;
  ActEntry* actList_ = nullptr;
  // Counted on every call: looked up by view, so counting builds no string.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };
  std::unordered_map<std::string, uint64_t, NameHash, std::equal_to<>> calls_;
  // The counters of the two operations entered last, by the address of the name the operation
  // passed (its own constant): a loop of look-ups and releases counts without hashing. The
  // counters are never erased, so the addresses stay good.
  struct RecentCounter {
    const char* name = nullptr;
    uint64_t* counter = nullptr;
  };
  RecentCounter recentCounters_[2];
  std::unordered_map<std::string, InjectedFault> faults_;
  InjectedFault firedOnce_;
  std::function<StatusCode(const char*)> operationFaultHook_;
  std::string lastErrorText_;
  StatusCode lastErrorStatus_ = kStatusOk;
  BlockTable handedOut_;  // heads of the object lists handed out and not yet freed
  std::unordered_set<MetadataObject*> objectsWithResults_;  // objects with attached results
  RepositoryEntry* repositoryList_ = nullptr;
  TransactionBook transactions_;
  std::function<void(const ReleaseSummary&)> releaseObserver_;
  std::function<void(StatusCode, const std::string&)> failureObserver_;
};

// One interface per call, released through its member 29 (releaseInterface). Never null.
// This form trusts its caller: the interface acts as the local administrator, and the
// credentials are only kept for getCredentials (tests and benchmarks that authenticate by other
// means). A host's provider authenticates first (authentication.h) and passes the principal.
MetadataInterface* openInterface(Repository& repository, const Credentials& credentials);
MetadataInterface* openInterface(Repository& repository, const Credentials& credentials,
                                 const Principal& principal);

// Frees a security list of this interface's pool (security_operations.cpp).
void freeSecurityList(ClientInterface& ci, SecurityListKind kind, void* list);
void freeIdentityList(ClientInterface& ci, IdentityEntry* list);
// Template lists (template_operations.cpp); an attribute list may be a package's own.
void freeActList(ClientInterface& ci, ActEntry* list);
void freeAttributeList(ClientInterface& ci, AttributeEntry* list);

// The object operation table every object of this server carries (member 12).
void* const* objectOperationTableOfServer();

}  // namespace mdserver
