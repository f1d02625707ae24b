// The security members and slots of the metadata client interface, a thin adapter over the
// security model (security_model.h) and the decision function (access_decision.h):
//
//   member 89  releaseIdentityFilter(md, filter)
//   member 93  listAuthorizations(md, transaction, reference, length, view, filter, permission,
//              length, out)     the reference: blank = the default repository; a repository
//              reference; an object identifier, alone or after '/' or '\'; or any object URI
//   member 94  setAuthorization(md, transaction, repository, length, flags, request)
//   member 95  releaseAuthorizations(md, list)
//   member 106 listLogins(md, domain, length, prefix, length, options, out)
//   member 107 releaseLoginList(md, list)
//   slot 12    repoListIdentities(object, transaction, flags, out)
//   slot 14    repoListAuthorizations(object, transaction, view, filter, permission, length, out)
//   slot 17    repoSetAuthorization(object, transaction, flags, request)
// Slots work on repository handles and on ordinary objects alike: identities belong to the
// object's repository, authorizations to the object itself (to the repository for a handle).
//
// Ownership: an identity list belongs to the object it was listed through (freed with it, or
// by the next listing through it). Authorization and login lists belong to the caller, who
// gives them back with members 95 and 107; an authorization list a package stores in a
// repository handle (flag 0x100) is freed with the handle; anything not given back is freed
// when the interface is released. An identity filter passed to a listing is the listing's: it
// is freed on every path, failures and injected faults included.
//
// Transactions: a change made with the text of an open transaction of this interface is staged
// in it (transaction_book.h), and listings made with that text see it; a text that names no open
// transaction is refused with kStatusUnknownTransaction; no transaction: the change is applied
// at once.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "mdserver/base/status_codes.h"
#include "mdserver/interface/access_guard.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/interface/operation_dispatch.h"
#include "mdserver/interface/security_internal.h"
#include "mdserver/interface/template_view.h"
#include "mdserver/interface/transactions.h"
#include "mdserver/security/security_model.h"

namespace mdserver {
namespace security_detail {

bool isObjectIdentifier(std::string_view text) {
  if (text.size() != 17 || text[8] != '.') return false;
  for (size_t i = 0; i < 17; ++i) {
    if (i != 8 && !std::isalnum(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

AccessTarget targetOfObject(const MetadataObject* object) {
  if (object->operations == repositoryOperationTable()) return repositoryTarget(identifierOf(object));
  return objectTarget(identifierOf(object), view(object->type, object->typeLength));
}

// ---- transactions -----------------------------------------------------------------------------

// The open transaction a handle names; null for no handle. An ended or unknown text fails.
StatusCode stagingRecord(ClientInterface* ci, const TransactionHandle* handle,
                         TransactionRecord** out) {
  *out = nullptr;
  std::string_view text = handle ? trimmed(view(handle->text, handle->length)) : std::string_view();
  if (text.empty()) return kStatusOk;
  *out = ci->transactions().findOpen(text);
  if (*out) return kStatusOk;
  return ci->fail(kStatusUnknownTransaction, "transaction '" + std::string(text) +
                                                 "' has ended or was never begun on this "
                                                 "connection");
}

// The entries and applications a transaction sees: the committed ones with its staged changes
// applied in order.
SecuritySources sourcesSeenBy(ClientInterface* ci, const TransactionRecord* record) {
  SecurityStore* store = &ci->repository().security();
  SecuritySources sources;
  sources.entries = [store, record, failure = sources.failure](const std::string& target) {
    std::vector<AccessEntry> entries;
    if (Outcome read = store->entries(target, entries); !read.ok()) {
      entries.clear();
      if (failure->ok()) *failure = read;
    }
    if (!record) return entries;
    for (const AuthorizationChange& change : record->staged) {
      using Kind = AuthorizationChange::Kind;
      if (change.kind == Kind::kDeleteTemplate && change.templateId == target) entries.clear();
      if (change.kind != Kind::kSet && change.kind != Kind::kRemove) continue;
      const AccessEntry& e = change.entry;
      if (e.target != target) continue;
      auto same = std::find_if(entries.begin(), entries.end(), [&](const AccessEntry& x) {
        return x.identityId == e.identityId && equalNoCase(x.permission, e.permission);
      });
      if (change.kind == Kind::kRemove) {
        if (same != entries.end()) entries.erase(same);
      } else if (same != entries.end()) {
        same->grant = e.grant;
      } else {
        entries.push_back(e);
      }
    }
    return entries;
  };
  sources.applications = [store, record, failure = sources.failure](const std::string& target) {
    std::vector<std::string> applied;
    if (Outcome read = store->applications(target, applied); !read.ok()) {
      applied.clear();
      if (failure->ok()) *failure = read;
    }
    if (!record) return applied;
    for (const AuthorizationChange& change : record->staged) {
      using Kind = AuthorizationChange::Kind;
      const std::string& id = change.templateId;
      auto found = std::find(applied.begin(), applied.end(), id);
      if (change.kind == Kind::kApplyTemplate && change.target == target) {
        if (found == applied.end()) applied.push_back(id);
      } else if ((change.kind == Kind::kRemoveTemplate && change.target == target) ||
                 change.kind == Kind::kDeleteTemplate) {
        if (found != applied.end()) applied.erase(found);
      }
    }
    return applied;
  };
  return sources;
}

// ---- targets ------------------------------------------------------------------------------------

// What a reference text names (see listAuthorizations above); only what the principal may read.
StatusCode targetOfReference(ClientInterface* ci, const TransactionRecord* record,
                             std::string_view text, AccessTarget* out) {
  text = trimmed(text);
  if (!text.empty()) {
    std::optional<TemplateRecord> found;
    Outcome read = templateSeenBy(ci->repository().security(), record, text, found);
    if (!read.ok()) return ci->fail(read);
    if (found) {
      *out = AccessTarget{found->repositoryId, found->id, true};
      return kStatusOk;
    }
  }
  if (text.empty()) {
    auto repository = ci->repository().repositoryByReference("");
    if (!repository) return ci->fail(kStatusUnknownRepository, "the repository has no repositories");
    *out = repositoryTarget(repository->id);
    return kStatusOk;
  }
  MetadataObject* handle = nullptr;
  StatusCode status = kStatusOk;
  if (resolveRepositoryReference(ci, text, &handle, &status)) {
    if (status == kStatusOk && handle) *out = repositoryTarget(identifierOf(handle));
    ci->releaseList(handle);
    return status;
  }
  if (text.size() >= 17) {
    std::string_view tail = text.substr(text.size() - 17);
    const bool alone = text.size() == 17;
    const char before = alone ? '/' : text[text.size() - 18];
    if (isObjectIdentifier(tail) && (before == '/' || before == '\\')) {
      auto row = ci->repository().object(tail);
      if (row && mayRead(*ci, *row)) {
        *out = objectTarget(row->id, row->type);
        return kStatusOk;
      }
      if (alone || before == '/') {
        return ci->fail(kStatusNoMatch, "no object '" + std::string(tail) + "'");
      }
    }
  }
  const ReadableSet* readable = ci->readable();
  if (!readable) return ci->lastErrorStatus();
  std::vector<ObjectRow> rows;
  Outcome outcome = ci->repository().resolve(text, 0, rows, readable);
  if (!outcome.ok()) return ci->fail(outcome);
  if (rows.empty()) return ci->fail(kStatusNoMatch, "no object matches " + std::string(text));
  *out = objectTarget(rows.front().id, rows.front().type);
  return kStatusOk;
}

// ---- list building ----------------------------------------------------------------------------

bool copyInto(InterfacePool& pool, TextPair& pair, const std::string& text) {
  pair.text = pool.copyText(text.data(), text.size());
  pair.length = static_cast<int32_t>(text.size());
  return pair.text != nullptr;
}

}  // namespace security_detail

namespace {
using namespace security_detail;

IdentityEntry* identityEntry(InterfacePool& pool, const IdentityRecord& identity, bool withFourth) {
  auto* entry = static_cast<IdentityEntry*>(pool.allocate(sizeof(IdentityEntry)));
  if (!entry) return nullptr;
  bool ok = copyInto(pool, entry->texts[0], identity.name) &&
            copyInto(pool, entry->texts[1], identity.type) &&
            copyInto(pool, entry->texts[2], identity.id) &&
            (!withFourth || copyInto(pool, entry->texts[3], identity.description));
  if (!ok) {
    for (TextPair& pair : entry->texts) pool.release(pair.text);
    pool.release(entry);
    return nullptr;
  }
  return entry;
}

void freeAuthorizationList(ClientInterface& ci, AuthorizationEntry* list) {
  InterfacePool& pool = ci.pool();
  for (AuthorizationEntry* entry = list; entry;) {
    AuthorizationEntry* next = entry->next;
    freeIdentityList(ci, entry->identity);
    pool.release(entry->permission.text);
    pool.release(entry->condition.text);
    pool.release(entry);
    entry = next;
  }
}

void freeLoginList(ClientInterface& ci, LoginEntry* list) {
  for (LoginEntry* entry = list; entry;) {
    LoginEntry* next = entry->next;
    for (TextPair& pair : entry->texts) ci.pool().release(pair.text);
    ci.pool().release(entry);
    entry = next;
  }
}

StatusCode buildAuthorizations(ClientInterface* ci, const std::vector<AuthorizationRow>& rows,
                               AuthorizationEntry** out) {
  InterfacePool& pool = ci->pool();
  AuthorizationEntry* head = nullptr;
  AuthorizationEntry** link = &head;
  for (const AuthorizationRow& row : rows) {
    auto* entry = static_cast<AuthorizationEntry*>(pool.allocate(sizeof(AuthorizationEntry)));
    if (entry) {
      *link = entry;
      link = &entry->next;
      entry->code = row.code;
      entry->identity = identityEntry(pool, row.identity, /*withFourth=*/false);
    }
    if (!entry || !entry->identity || !copyInto(pool, entry->permission, row.permission) ||
        !copyInto(pool, entry->condition, row.source)) {
      freeAuthorizationList(*ci, head);
      return ci->fail(kStatusNoMemory, "listAuthorizations: the interface pool is exhausted");
    }
  }
  *out = head;
  ci->trackSecurityList(head, SecurityListKind::kAuthorizations);
  return kStatusOk;
}

// The filter's items, read before it is freed.
std::vector<IdentityFilterItem> takeFilter(ClientInterface* ci, IdentityEntry* filter) {
  std::vector<IdentityFilterItem> items;
  for (IdentityEntry* entry = filter; entry; entry = entry->next) {
    items.push_back({std::string(trimmed(view(entry->texts[0].text, entry->texts[0].length))),
                     std::string(trimmed(view(entry->texts[1].text, entry->texts[1].length)))});
  }
  freeIdentityList(*ci, filter);
  return items;
}

// ---- the operations -----------------------------------------------------------------------------

// Identities are objects: one the principal may not read is, to it, no identity, whether an
// entry on a target it reads names it, a listing's filter or a change does (else a listed entry,
// or "no identity" against success, would tell which hidden identities exist and their names). False when the readable set cannot be made (the interface
// has recorded why).
bool identityVisibility(ClientInterface* ci, IdentityVisible& out) {
  out = {};
  if (ci->principal().localAdministrator) return true;
  const ReadableSet* readable = ci->readable();
  if (!readable) return false;
  out = [readable](const IdentityRecord& identity) { return readable->permits(identity.id); };
  return true;
}

// Where an entry sits is withheld from a caller who may not read that level, as explanations
// withhold it: the template of a repository it may not read is, to it, no template.
LevelVisible levelVisibility(ClientInterface* ci) {
  if (ci->principal().localAdministrator) return {};
  const ReadableSet* readable = ci->readable();  // made by identityVisibility just before
  if (!readable) return {};
  return [readable](DecisionLevel::Kind kind, const std::string& source) {
    switch (kind) {
      case DecisionLevel::Kind::kObject: return true;  // the target, readable
      case DecisionLevel::Kind::kRepository: return readable->repositoryReadable(source);
      case DecisionLevel::Kind::kObjectTemplates:
      case DecisionLevel::Kind::kRepositoryTemplates: return readable->permits(source);
    }
    return false;
  };
}

StatusCode listAuthorizationsOn(ClientInterface* ci, TransactionHandle* transaction,
                                const AccessTarget& target, int32_t flags,
                                const std::vector<IdentityFilterItem>& filter,
                                std::string_view permission, AuthorizationEntry** out) {
  TransactionRecord* record = nullptr;
  StatusCode status = stagingRecord(ci, transaction, &record);
  if (status != kStatusOk) return status;
  if (flags != kViewBearing && flags != kViewExplicit && flags != kViewEffective) {
    return ci->fail(kStatusInvalidArgument,
                    "listAuthorizations: view " + std::to_string(flags) + " is none of 0, 1, 2");
  }
  IdentityVisible visible;
  if (!identityVisibility(ci, visible)) return ci->lastErrorStatus();
  std::vector<AuthorizationRow> rows;
  Outcome outcome = listAuthorizations(ci->repository().security(), sourcesSeenBy(ci, record),
                                       target, flags, filter, trimmed(permission), rows, visible,
                                       levelVisibility(ci));
  if (!outcome.ok()) return ci->fail(outcome);
  return buildAuthorizations(ci, rows, out);
}

StatusCode setAuthorizationOn(ClientInterface* ci, TransactionHandle* transaction,
                              const AccessTarget& routeTarget, AuthorizationRequest* request) {
  if (!request || !request->identity) {
    return ci->fail(kStatusInvalidArgument, "setAuthorization: no request record");
  }
  TransactionRecord* record = nullptr;
  StatusCode status = stagingRecord(ci, transaction, &record);
  if (status != kStatusOk) return status;
  AccessTarget target = routeTarget;
  std::string_view named = trimmed(view(request->condition, request->conditionLength));
  if (!named.empty()) {
    status = targetOfReference(ci, record, named, &target);
    if (status != kStatusOk) return status;
  }
  // A template's entries are changed by those who administer its repository.
  const AccessTarget guarded = target.isTemplate ? repositoryTarget(target.repositoryId) : target;
  status = require(*ci, guarded, kPermissionAdminister, kStatusAdministerDenied, "setAuthorization");
  if (status != kStatusOk) return status;
  IdentityVisible visible;
  if (!identityVisibility(ci, visible)) return ci->lastErrorStatus();
  const IdentityPairRecord& identity = *request->identity;
  AuthorizationChange change;
  Outcome prepared = prepareChange(
      ci->repository().security(), trimmed(view(identity.text1, identity.length1)),
      trimmed(view(identity.text2, identity.length2)), request->grantCode,
      trimmed(view(request->permission, request->permissionLength)), target, change, visible);
  if (!prepared.ok()) return ci->fail(prepared);
  if (record) {
    record->staged.push_back(std::move(change));
    return kStatusOk;
  }
  return ci->fail(ci->repository().security().apply({change}));
}

void releaseIdentityFilterOp(MetadataInterface* md, IdentityEntry* filter) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return;
  ci->enter("releaseIdentityFilter");
  freeIdentityList(*ci, filter);
}

StatusCode listAuthorizationsOp(MetadataInterface* md, TransactionHandle* transaction,
                                const char* reference, int32_t length, int32_t flags,
                                IdentityEntry* filter, const char* permission,
                                int32_t permissionLength, AuthorizationEntry** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  const std::vector<IdentityFilterItem> items = takeFilter(ci, filter);
  if (!out) return ci->fail(kStatusInvalidArgument, "listAuthorizations: no result address");
  *out = nullptr;
  return dispatch(ci, "listAuthorizations", [&]() -> StatusCode {
    AccessTarget target;
    TransactionRecord* record = nullptr;
    StatusCode status = stagingRecord(ci, transaction, &record);
    if (status != kStatusOk) return status;
    status = targetOfReference(ci, record, view(reference, length), &target);
    if (status != kStatusOk) return status;
    return listAuthorizationsOn(ci, transaction, target, flags, items,
                                view(permission, permissionLength), out);
  });
}

StatusCode setAuthorizationOp(MetadataInterface* md, TransactionHandle* transaction,
                              const char* repository, int32_t length, int32_t,
                              AuthorizationRequest* request) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, "setAuthorization", [&]() -> StatusCode {
    auto target = ci->repository().repositoryByReference(trimmed(view(repository, length)));
    if (!target) {
      return ci->fail(kStatusUnknownRepository,
                      "no repository '" + std::string(view(repository, length)) + "'");
    }
    return setAuthorizationOn(ci, transaction, repositoryTarget(target->id), request);
  });
}

void releaseAuthorizationsOp(MetadataInterface* md, AuthorizationEntry* list) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return;
  ci->enter("releaseAuthorizations");
  // Only lists this interface handed out and did not take back: never a double free.
  if (ci->untrackSecurityList(list)) freeAuthorizationList(*ci, list);
}

StatusCode listLoginsOp(MetadataInterface* md, const char* text1, int32_t length1,
                        const char* text2, int32_t length2, ListingOptions* options,
                        LoginEntry** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  if (!out) return ci->fail(kStatusInvalidArgument, "listLogins: no result address");
  *out = nullptr;
  return dispatch(ci, "listLogins", [&]() -> StatusCode {
    LoginQuery query;
    query.domain = trimmed(view(text1, length1));
    query.prefix = trimmed(view(text2, length2));
    if (options) {
      query.maximum = options->option;
      query.includeGroupLogins = options->flag1 != 0;
      query.prefixMatchesOwner = options->flag2 != 0;
      query.orderByOwner = options->flag3 != 0;
    }
    auto home = ci->repository().repositoryByReference("");
    const bool mayAdminister =
        home && decideFor(*ci, repositoryTarget(home->id), kPermissionAdminister).allowed;
    std::vector<LoginRow> rows;
    Outcome outcome =
        listLogins(ci->repository().security(), ci->principal(), mayAdminister, query, rows);
    if (!outcome.ok()) return ci->fail(outcome);
    InterfacePool& pool = ci->pool();
    LoginEntry* head = nullptr;
    LoginEntry** link = &head;
    for (const LoginRow& row : rows) {
      auto* entry = static_cast<LoginEntry*>(pool.allocate(sizeof(LoginEntry)));
      bool ok = entry != nullptr;
      if (entry) {
        *link = entry;
        link = &entry->next;
        // The password pair is an empty text: the password never leaves the repository.
        ok = copyInto(pool, entry->texts[0], row.userId) && copyInto(pool, entry->texts[1], "") &&
             copyInto(pool, entry->texts[2], row.id) &&
             copyInto(pool, entry->texts[3], row.ownerName) &&
             copyInto(pool, entry->texts[4], row.ownerType) &&
             copyInto(pool, entry->texts[5], row.ownerId);
      }
      if (!ok) {
        freeLoginList(*ci, head);
        return ci->fail(kStatusNoMemory, "listLogins: the interface pool is exhausted");
      }
    }
    ci->trackSecurityList(head, SecurityListKind::kLogins);
    *out = head;
    return kStatusOk;
  });
}

void releaseLoginListOp(MetadataInterface* md, LoginEntry* list) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return;
  ci->enter("releaseLoginList");
  if (ci->untrackSecurityList(list)) freeLoginList(*ci, list);
}

StatusCode repoListIdentitiesOp(MetadataObject* object, TransactionHandle* transaction,
                                int32_t flags, IdentityEntry** out) {
  ClientInterface* ci = ownerOf(object);
  if (!ci) return kStatusInvalidArgument;
  if (!out) return ci->fail(kStatusInvalidArgument, "repoListIdentities: no result address");
  *out = nullptr;
  return dispatch(ci, "repoListIdentities", [&]() -> StatusCode {
    TransactionRecord* record = nullptr;
    StatusCode status = stagingRecord(ci, transaction, &record);
    if (status != kStatusOk) return status;
    std::vector<IdentityRecord> identities;
    Outcome outcome = listIdentities(ci->repository().security(),
                                     targetOfObject(object).repositoryId, flags, identities);
    if (!outcome.ok()) return ci->fail(outcome);
    // Identities are objects: one the principal may not read is not listed (the built-ins are
    // no objects and every repository has them).
    const ReadableSet* readable = ci->readable();
    if (!readable) return ci->lastErrorStatus();
    InterfacePool& pool = ci->pool();
    IdentityEntry* head = nullptr;
    IdentityEntry* tail = nullptr;
    for (const IdentityRecord& identity : identities) {
      if (identity.type != kBuiltInType && !readable->permits(identity.id)) continue;
      IdentityEntry* entry = identityEntry(pool, identity, /*withFourth=*/true);
      if (!entry) {
        freeIdentityList(*ci, head);
        return ci->fail(kStatusNoMemory, "repoListIdentities: the interface pool is exhausted");
      }
      entry->previous = tail;
      (tail ? tail->next : head) = entry;
      tail = entry;
    }
    if (head) ci->attach(object, ClientInterface::ResultKind::kIdentityList, "identities", head);
    *out = head;
    return kStatusOk;
  });
}

StatusCode repoListAuthorizationsOp(MetadataObject* object, TransactionHandle* transaction,
                                    int32_t flags, IdentityEntry* filter, const char* permission,
                                    int32_t permissionLength, AuthorizationEntry** out) {
  ClientInterface* ci = ownerOf(object);
  if (!ci) return kStatusInvalidArgument;
  const std::vector<IdentityFilterItem> items = takeFilter(ci, filter);
  if (!out) return ci->fail(kStatusInvalidArgument, "repoListAuthorizations: no result address");
  *out = nullptr;
  return dispatch(ci, "repoListAuthorizations", [&] {
    return listAuthorizationsOn(ci, transaction, targetOfObject(object), flags, items,
                                view(permission, permissionLength), out);
  });
}

StatusCode repoSetAuthorizationOp(MetadataObject* object, TransactionHandle* transaction,
                                  int32_t, AuthorizationRequest* request) {
  ClientInterface* ci = ownerOf(object);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, "repoSetAuthorization", [&] {
    return setAuthorizationOn(ci, transaction, targetOfObject(object), request);
  });
}

}  // namespace

void freeIdentityList(ClientInterface& ci, IdentityEntry* list) {
  for (IdentityEntry* entry = list; entry;) {
    IdentityEntry* next = entry->next;
    for (TextPair& pair : entry->texts) ci.pool().release(pair.text);
    ci.pool().release(entry);
    entry = next;
  }
}

void freeSecurityList(ClientInterface& ci, SecurityListKind kind, void* list) {
  switch (kind) {
    case SecurityListKind::kAuthorizations:
      freeAuthorizationList(ci, static_cast<AuthorizationEntry*>(list));
      break;
    case SecurityListKind::kLogins:
      freeLoginList(ci, static_cast<LoginEntry*>(list));
      break;
    case SecurityListKind::kActs:
      freeActList(ci, static_cast<ActEntry*>(list));
      break;
    case SecurityListKind::kAttributes:
      freeAttributeList(ci, static_cast<AttributeEntry*>(list));
      break;
  }
}

void* securityOperationSlot(int slot) {
  switch (slot) {
    case object_op::kRepoListIdentities: return entry(&repoListIdentitiesOp);
    case object_op::kRepoListAuthorizations: return entry(&repoListAuthorizationsOp);
    case object_op::kRepoSetAuthorization: return entry(&repoSetAuthorizationOp);
    default: return nullptr;
  }
}

void installSecurityMembers(MetadataInterface& abi) {
  namespace m = interface_member;
  abi.members[m::kReleaseIdentityFilter] = entry(&releaseIdentityFilterOp);
  abi.members[m::kListAuthorizations] = entry(&listAuthorizationsOp);
  abi.members[m::kSetAuthorization] = entry(&setAuthorizationOp);
  abi.members[m::kReleaseAuthorizations] = entry(&releaseAuthorizationsOp);
  abi.members[m::kListLogins] = entry(&listLoginsOp);
  abi.members[m::kReleaseLoginList] = entry(&releaseLoginListOp);
}

}  // namespace mdserver
