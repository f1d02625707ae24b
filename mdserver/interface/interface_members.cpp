// The members of the metadata client interface (resolution, listings, creation and deletion,
// server facts): each unpacks its ABI arguments, counts the call, applies an injected fault, and
// calls the repository. Nothing here throws; every failure is a status code, with its detailed
// text kept as the interface's last error text.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "mdserver/base/ascii_case.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/abi_arguments.h"
#include "mdserver/interface/access_guard.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/interface/operation_dispatch.h"
#include "mdserver/interface/transactions.h"

namespace mdserver {
namespace {

using namespace abi_arguments;

StatusCode releaseInterfaceOp(MetadataInterface* md) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  ci->enter("releaseInterface");
  ci->shutDown();
  return kStatusOk;
}

StatusCode listRepositoriesOp(MetadataInterface* md, RepositoryEntry** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!out) return ci->fail(kStatusInvalidArgument, "listRepositories: no result address");
  *out = nullptr;
  return dispatch(ci, "listRepositories", [&]() -> StatusCode {
    InterfacePool& pool = ci->pool();
    RepositoryEntry* head = nullptr;
    RepositoryEntry** link = &head;
    // A repository the principal may not read is not listed either; when that cannot be
    // decided, nothing is listed and the storage's status is returned.
    if (!ci->readable()) return ci->lastErrorStatus();
    for (const RepositoryInfo& info : ci->repository().repositories()) {
      if (!mayReadRepository(*ci, info.id)) continue;
      auto* entry = static_cast<RepositoryEntry*>(pool.allocate(sizeof(RepositoryEntry)));
      if (entry) {
        *link = entry;
        link = &entry->next;
        entry->identifier = pool.copyText(info.id.data(), info.id.size());
        entry->identifierLength = static_cast<int32_t>(info.id.size());
        entry->name = pool.copyText(info.name.data(), info.name.size());
        entry->nameLength = static_cast<int32_t>(info.name.size());
        entry->description = pool.copyText(info.description.data(), info.description.size());
        entry->descriptionLength = static_cast<int32_t>(info.description.size());
      }
      if (!entry || !entry->identifier || !entry->name || !entry->description) {
        ci->freeRepositoryList(head);
        return ci->fail(kStatusNoMemory, "listRepositories: the interface pool is exhausted");
      }
    }
    ci->keepRepositoryList(head);
    *out = head;
    return kStatusOk;
  });
}

int32_t isPausedOp(MetadataInterface* md) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  ci->enter("isPaused");
  return ci->repository().paused();
}

double serverVersionOp(MetadataInterface* md) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  ci->enter("serverVersion");
  return ci->repository().serverVersion();
}

StatusCode freeTextOp(MetadataInterface* md, ValueText* text) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  return dispatch(ci, "freeText", [&] {
    ci->freeResult(ClientInterface::ResultKind::kValueText, text);
    return kStatusOk;
  });
}

StatusCode getCredentialsOp(MetadataInterface* md, int64_t, char** user, int32_t* userLength,
                            char** password, int32_t* passwordLength) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!user || !userLength || !password || !passwordLength) {
    return ci->fail(kStatusInvalidArgument, "getCredentials: a result address is null");
  }
  *user = *password = nullptr;
  *userLength = *passwordLength = 0;
  return dispatch(ci, "getCredentials", [&]() -> StatusCode {
    const Credentials& credentials = ci->credentials();
    char* u = ci->pool().copyText(credentials.user.data(), credentials.user.size());
    char* p = ci->pool().copyText(credentials.password.data(), credentials.password.size());
    if (!u || !p) {
      ci->pool().release(u);
      ci->pool().release(p);
      return ci->fail(kStatusNoMemory, "getCredentials: the interface pool is exhausted");
    }
    *user = u;
    *userLength = static_cast<int32_t>(credentials.user.size());
    *password = p;
    *passwordLength = static_cast<int32_t>(credentials.password.size());
    return kStatusOk;
  });
}

StatusCode freeCredentialsOp(MetadataInterface* md, char* user, char* password) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  return dispatch(ci, "freeCredentials", [&] {
    ci->pool().release(user);
    ci->pool().release(password);
    return kStatusOk;
  });
}

StatusCode resolveCommon(ClientInterface* ci, std::string_view uri, int64_t repositoryKey,
                         MetadataObject** out) {
  // What the principal may not read does not exist for it, at any step of the query.
  const ReadableSet* readable = ci->readable();
  if (!readable) return ci->lastErrorStatus();
  std::vector<ObjectRow> rows;
  Outcome outcome = ci->repository().resolve(uri, repositoryKey, rows, readable);
  if (!outcome.ok()) return ci->fail(outcome);
  if (rows.empty()) return ci->fail(kStatusNoMatch, "no object matches " + std::string(uri));
  StatusCode status = ci->buildList(rows, out);
  if (status == kStatusOk) ci->trackHandedOut(*out);
  return status;
}

StatusCode resolveInRepositoryOp(MetadataInterface* md, const char* repository,
                                 int32_t repositoryLength, const char* query,
                                 int32_t queryLength, int64_t, MetadataObject** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!out) return ci->fail(kStatusInvalidArgument, "resolveInRepository: no result address");
  *out = nullptr;
  return dispatch(ci, "resolveInRepository", [&]() -> StatusCode {
    auto target = ci->repository().repositoryByReference(view(repository, repositoryLength));
    if (!target) {
      return ci->fail(kStatusUnknownRepository,
                      "no repository '" + std::string(view(repository, repositoryLength)) + "'");
    }
    // A query that matches nothing is an answer here, not a failure: status 0 and no list.
    // (resolveUri keeps its no-match status, which the packages' resolution cache relies on.)
    // The same visibility as resolveUri: hidden objects neither come back nor decide a
    // condition.
    const ReadableSet* readable = ci->readable();
    if (!readable) return ci->lastErrorStatus();
    std::vector<ObjectRow> rows;
    Outcome outcome =
        ci->repository().resolve(view(query, queryLength), target->key, rows, readable);
    if (outcome.status == kStatusNoMatch) return kStatusOk;
    if (!outcome.ok()) return ci->fail(outcome);
    StatusCode status = ci->buildList(rows, out);
    if (status == kStatusOk) ci->trackHandedOut(*out);
    return status;
  });
}

// "vqsobj:TYPE/ID", the object reference form of the security functions, as "vqsobj:TYPE\ID"
// (written into `rewritten`); any other text as it is, without a copy.
std::string_view objectReferenceAsUri(std::string_view text, std::string& rewritten) {
  constexpr std::string_view kScheme = "vqsobj:";
  if (text.size() < kScheme.size() + 19 || text[text.size() - 18] != '/') return text;
  if (!equalNoCase(text.substr(0, kScheme.size()), kScheme)) return text;
  std::string_view type = text.substr(kScheme.size(), text.size() - 18 - kScheme.size());
  std::string_view id = text.substr(text.size() - 17);
  if (type.find_first_of("?\\/[") != std::string_view::npos || id[8] != '.') return text;
  rewritten.assign(text.substr(0, kScheme.size()));
  rewritten.append(type).append("\\").append(id);
  return rewritten;
}

StatusCode resolveUriOp(MetadataInterface* md, int64_t, int64_t, const char* text,
                        int32_t length, int32_t, MetadataObject** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!out) return ci->fail(kStatusInvalidArgument, "resolveUri: no result address");
  *out = nullptr;
  return dispatch(ci, "resolveUri", [&] {
    StatusCode status = kStatusOk;
    if (resolveRepositoryReference(ci, view(text, length), out, &status)) return status;
    std::string rewritten;
    return resolveCommon(ci, objectReferenceAsUri(view(text, length), rewritten), 0, out);
  });
}

StatusCode findByPathOp(MetadataInterface* md, const char* repository, int32_t repositoryLength,
                        const char* path, int32_t pathLength, const char* type,
                        int32_t typeLength, MetadataObject** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!out) return ci->fail(kStatusInvalidArgument, "findByPath: no result address");
  *out = nullptr;
  return dispatch(ci, "findByPath", [&]() -> StatusCode {
    // A hidden folder hides everything under it: the walk itself sees only readable folders.
    const ReadableSet* readable = ci->readable();
    if (!readable) return ci->lastErrorStatus();
    std::vector<ObjectRow> rows;
    Outcome outcome = ci->repository().findByPath(view(repository, repositoryLength),
                                                  view(path, pathLength), view(type, typeLength),
                                                  rows, readable);
    if (!outcome.ok()) return ci->fail(outcome);
    StatusCode status = ci->buildList(rows, out);
    if (status == kStatusOk) ci->trackHandedOut(*out);
    return status;
  });
}

StatusCode getAppPropertyOp(MetadataInterface* md, const char* application,
                            int32_t applicationLength, const char* property,
                            int32_t propertyLength, ValueText** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!out) return ci->fail(kStatusInvalidArgument, "getAppProperty: no result address");
  *out = nullptr;
  return dispatch(ci, "getAppProperty", [&]() -> StatusCode {
    std::optional<std::string> value;
    std::string component;
    Outcome outcome = ci->repository().appProperty(view(application, applicationLength),
                                                   view(property, propertyLength), value,
                                                   &component);
    if (!outcome.ok()) return ci->fail(outcome);
    // A component the principal may not read has no properties for it; when that cannot be
    // decided the request fails with the storage's status.
    if (!ci->readable()) return ci->lastErrorStatus();
    if (!mayReadId(*ci, component)) {
      return ci->fail(kStatusNoSuchAppProperty,
                      "application '" + std::string(view(application, applicationLength)) +
                          "' has no property '" + std::string(view(property, propertyLength)) +
                          "' visible to this connection");
    }
    auto* text = static_cast<ValueText*>(ci->pool().allocate(sizeof(ValueText)));
    char* copy = ci->pool().copyText(value->data(), value->size());
    if (!text || !copy) {
      ci->pool().release(text);
      ci->pool().release(copy);
      return ci->fail(kStatusNoMemory, "getAppProperty: the interface pool is exhausted");
    }
    text->text = copy;
    text->length = static_cast<int32_t>(value->size());
    *out = text;
    return kStatusOk;
  });
}

StatusCode freeObjectListOp(MetadataInterface* md, MetadataObject* list) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  // A release that reports a failure has still released: the caller cannot hold the list any
  // longer either way, and a list nobody may free would stay in the pool for good.
  const InjectedFault* fault = ci->enter("freeObjectList");
  ci->releaseList(list);
  if (fault) return ci->fail(fault->status, "injected fault in freeObjectList");
  return kStatusOk;
}

StatusCode deleteAssociationOp(MetadataInterface* md, const char* identifier,
                               int32_t identifierLength, const char* type, int32_t typeLength,
                               const char* association, int32_t associationLength) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  return dispatch(ci, "deleteAssociation", [&] {
    StatusCode allowed = require(*ci, objectTarget(view(identifier, identifierLength)),
                                 kPermissionWrite, kStatusWriteDenied, "deleteAssociation");
    if (allowed != kStatusOk) return allowed;
    const LinkGuard guard = linkGuard(*ci, "deleteAssociation", kStatusWriteDenied);
    return ci->fail(ci->repository().deleteAssociation(view(identifier, identifierLength),
                                                       view(type, typeLength),
                                                       view(association, associationLength),
                                                       &guard));
  });
}

StatusCode deleteObjectOp(MetadataInterface* md, MetadataObject* object) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!object) return ci->fail(kStatusInvalidArgument, "deleteObject: no object");
  return dispatch(ci, "deleteObject", [&] {
    StatusCode allowed = require(*ci, objectTarget(identifierOf(object)), kPermissionDelete,
                                 kStatusDeleteDenied, "deleteObject");
    if (allowed != kStatusOk) return allowed;
    // The links to it go with it; the memberships among them are the group's administrator's.
    LinkGuard guard = linkGuard(*ci, "deleteObject", kStatusDeleteDenied);
    guard.sees = nullptr;
    guard.mayRewrite = nullptr;
    return ci->fail(ci->repository().deleteObject(identifierOf(object), &guard));
  });
}

StatusCode getNamespaceOp(MetadataInterface* md, const char* name, int32_t length,
                          MetadataNamespace** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!out) return ci->fail(kStatusInvalidArgument, "getNamespace: no result address");
  *out = nullptr;
  return dispatch(ci, "getNamespace", [&]() -> StatusCode {
    std::string_view wanted = view(name, length);
    if (wanted.size() != 3 || std::toupper(wanted[0]) != 'R' || std::toupper(wanted[1]) != 'U' ||
        std::toupper(wanted[2]) != 'X') {
      return ci->fail(kStatusUnknownNamespace, "no namespace '" + std::string(wanted) + "'");
    }
    InterfacePool& pool = ci->pool();
    auto* ns = static_cast<MetadataNamespace*>(pool.allocate(sizeof(MetadataNamespace)));
    if (!ns) return ci->fail(kStatusNoMemory, "getNamespace: the interface pool is exhausted");
    ns->owner = md;
    ns->name = pool.copyText("RUX", 3);
    ns->nameLength = 3;
    bool complete = ns->name != nullptr;
    NameNode** link = &ns->typeNames;
    for (const std::string& type : ci->repository().typeNames()) {
      if (!complete) break;
      auto* node = static_cast<NameNode*>(pool.allocate(sizeof(NameNode)));
      if (node) {
        *link = node;
        link = &node->next;
        node->name = pool.copyText(type.data(), type.size());
        node->nameLength = static_cast<int32_t>(type.size());
      }
      complete = node && node->name;
    }
    if (!complete) {
      ci->freeResult(ClientInterface::ResultKind::kNameList, ns->typeNames);
      pool.release(ns->name);
      pool.release(ns);
      return ci->fail(kStatusNoMemory, "getNamespace: the interface pool is exhausted");
    }
    *out = ns;
    return kStatusOk;
  });
}

StatusCode releaseNamespaceOp(MetadataInterface* md, MetadataNamespace* ns) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  return dispatch(ci, "releaseNamespace", [&] {
    if (ns) {
      ci->freeResult(ClientInterface::ResultKind::kNameList, ns->typeNames);
      ci->pool().release(ns->name);
      ci->pool().release(ns);
    }
    return kStatusOk;
  });
}

StatusCode newObjectOp(MetadataInterface* md, const char* related, int32_t relatedLength,
                       int64_t, int64_t, const char* association, int32_t associationLength,
                       const char* repository, int32_t repositoryLength, int64_t,
                       MetadataObject* templateObject) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!templateObject) return ci->fail(kStatusInvalidArgument, "newObject: no template");
  return dispatch(ci, "newObject", [&]() -> StatusCode {
    auto target = ci->repository().repositoryByReference(view(repository, repositoryLength));
    if (!target) {
      return ci->fail(kStatusUnknownRepository,
                      "no repository '" + std::string(view(repository, repositoryLength)) + "'");
    }
    ObjectDraft draft;
    draft.repository = target->id;
    draft.type = view(templateObject->type, templateObject->typeLength);
    draft.name = view(templateObject->name, templateObject->nameLength);
    draft.description = view(templateObject->description, templateObject->descriptionLength);
    if (draft.type.empty()) return ci->fail(kStatusInvalidArgument, "newObject: no type");
    // A new object is a change of its repository; a new access control template a security
    // change of it, as newAct makes one.
    StatusCode allowed = require(*ci, repositoryTarget(target->id),
                                 isTemplateType(draft.type) ? kPermissionAdminister : kPermissionWrite,
                                 kStatusWriteDenied, "newObject");
    if (allowed != kStatusOk) return allowed;
    std::string id;
    Outcome outcome;
    std::string_view relatedUri = view(related, relatedLength);
    if (relatedUri.empty()) {
      outcome = ci->repository().createObject(draft, &id);
    } else {
      if (view(association, associationLength).empty()) {
        return ci->fail(kStatusInvalidArgument,
                        "newObject: a related object needs an association name");
      }
      const ReadableSet* readable = ci->readable();
      if (!readable) return ci->lastErrorStatus();
      std::vector<ObjectRow> rows;
      outcome = ci->repository().resolve(relatedUri, 0, rows, readable);
      if (!outcome.ok()) return ci->fail(outcome);
      if (rows.empty()) return ci->fail(kStatusNoMatch, "no object matches " + std::string(relatedUri));
      // ... and of the related object, whose association grows.
      allowed = require(*ci, objectTarget(rows.front().id), kPermissionWrite, kStatusWriteDenied,
                        "newObject");
      if (allowed != kStatusOk) return allowed;
      const LinkGuard guard = linkGuard(*ci, "newObject", kStatusWriteDenied);
      outcome = ci->repository().createRelatedObject(draft, rows.front().id,
                                                     view(association, associationLength), &id,
                                                     &guard);
    }
    if (!outcome.ok()) return ci->fail(outcome);
    std::memset(templateObject->identifier, 0, sizeof templateObject->identifier);
    std::memcpy(templateObject->identifier, id.data(), std::min<size_t>(id.size(), 20));
    templateObject->identifierLength = static_cast<int32_t>(std::min<size_t>(id.size(), 20));
    return kStatusOk;
  });
}

}  // namespace

void installInterfaceMembers(MetadataInterface& abi) {
  namespace m = interface_member;
  abi.members[m::kReleaseInterface] = entry(&releaseInterfaceOp);
  abi.members[m::kListRepositories] = entry(&listRepositoriesOp);
  abi.members[m::kIsPaused] = entry(&isPausedOp);
  abi.members[m::kFreeText] = entry(&freeTextOp);
  abi.members[m::kGetCredentials] = entry(&getCredentialsOp);
  abi.members[m::kFreeCredentials] = entry(&freeCredentialsOp);
  abi.members[m::kResolveInRepository] = entry(&resolveInRepositoryOp);
  abi.members[m::kResolveUri] = entry(&resolveUriOp);
  abi.members[m::kFindByPath] = entry(&findByPathOp);
  abi.members[m::kGetAppProperty] = entry(&getAppPropertyOp);
  abi.members[m::kFreeObjectList] = entry(&freeObjectListOp);
  abi.members[m::kDeleteAssociation] = entry(&deleteAssociationOp);
  abi.members[m::kDeleteObject] = entry(&deleteObjectOp);
  abi.members[m::kGetNamespace] = entry(&getNamespaceOp);
  abi.members[m::kReleaseNamespace] = entry(&releaseNamespaceOp);
  abi.members[m::kNewObject] = entry(&newObjectOp);
  abi.members[m::kServerVersion] = entry(&serverVersionOp);
  installTransactionMembers(abi);
  installSecurityMembers(abi);
  installTemplateMembers(abi);
}

}  // namespace mdserver
