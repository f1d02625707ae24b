// The entry points of the metadata client interface and of the object operation table: each
// unpacks its ABI arguments, counts the call, applies an injected fault, and calls the
// repository. Nothing here throws; every failure is a status code, with its detailed text kept
// as the interface's last error text.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "mdserver/access_guard.h"
#include "mdserver/ascii_case.h"
#include "mdserver/client_interface.h"
#include "mdserver/operation_dispatch.h"
#include "mdserver/status_codes.h"
#include "mdserver/transactions.h"

namespace mdserver {
namespace {

std::string_view view(const char* text, int32_t length) {
  if (!text || length <= 0) return {};
  return std::string_view(text, static_cast<size_t>(length));
}

std::string_view identifierOf(const MetadataObject* object) {
  int32_t length = std::clamp(object->identifierLength, 0, kIdentifierCapacity);
  return std::string_view(object->identifier, static_cast<size_t>(length));
}

ClientInterface* ownerOf(const MetadataObject* object) {
  return object ? ClientInterface::fromAbi(object->owner) : nullptr;
}

// ---- interface members ----------------------------------------------------------------------

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
    for (const RepositoryInfo& info : ci->repository().repositories()) {
      // A repository the principal may not read is not listed either.
      if (!decideFor(*ci, repositoryTarget(info.id), kPermissionRead).allowed) continue;
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
  std::vector<ObjectRow> rows;
  Outcome outcome = ci->repository().resolve(uri, repositoryKey, rows);
  if (!outcome.ok()) return ci->fail(outcome);
  // What the principal may not read does not exist for it.
  keepReadable(*ci, rows);
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
    std::vector<ObjectRow> rows;
    Outcome outcome = ci->repository().resolve(view(query, queryLength), target->key, rows);
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
    std::vector<ObjectRow> rows;
    Outcome outcome = ci->repository().findByPath(view(repository, repositoryLength),
                                                  view(path, pathLength), view(type, typeLength),
                                                  rows);
    if (!outcome.ok()) return ci->fail(outcome);
    keepReadable(*ci, rows);
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
    // A component the principal may not read has no properties for it.
    if (!decideFor(*ci, objectTarget(component), kPermissionRead).allowed) {
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
    return ci->fail(ci->repository().deleteAssociation(view(identifier, identifierLength),
                                                       view(type, typeLength),
                                                       view(association, associationLength)));
  });
}

StatusCode deleteObjectOp(MetadataInterface* md, MetadataObject* object) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!object) return ci->fail(kStatusInvalidArgument, "deleteObject: no object");
  return dispatch(ci, "deleteObject", [&] {
    StatusCode allowed = require(*ci, objectTarget(identifierOf(object)), kPermissionDelete,
                                 kStatusDeleteDenied, "deleteObject");
    if (allowed != kStatusOk) return allowed;
    return ci->fail(ci->repository().deleteObject(identifierOf(object)));
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
      std::vector<ObjectRow> rows;
      outcome = ci->repository().resolve(relatedUri, 0, rows);
      if (!outcome.ok()) return ci->fail(outcome);
      keepReadable(*ci, rows);
      if (rows.empty()) return ci->fail(kStatusNoMatch, "no object matches " + std::string(relatedUri));
      // ... and of the related object, whose association grows.
      allowed = require(*ci, objectTarget(rows.front().id), kPermissionWrite, kStatusWriteDenied,
                        "newObject");
      if (allowed != kStatusOk) return allowed;
      outcome = ci->repository().createRelatedObject(draft, rows.front().id,
                                                     view(association, associationLength), &id);
    }
    if (!outcome.ok()) return ci->fail(outcome);
    std::memset(templateObject->identifier, 0, sizeof templateObject->identifier);
    std::memcpy(templateObject->identifier, id.data(), std::min<size_t>(id.size(), 20));
    templateObject->identifierLength = static_cast<int32_t>(std::min<size_t>(id.size(), 20));
    return kStatusOk;
  });
}

// ---- object operations ----------------------------------------------------------------------

void releaseListOp(MetadataObject* head) {
  ClientInterface* ci = ownerOf(head);
  if (!ci) return;  // without an owner there is no pool to return the blocks to
  ci->enter("releaseList");
  ci->releaseList(head);
}

template <typename Body>
StatusCode objectCall(MetadataObject* object, const char* operation, Body&& body) {
  ClientInterface* ci = ownerOf(object);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, operation, [&] { return body(*ci); });
}

// The stamp a list is kept under: it changes with every change of the repository, and is never
// 0 (the stamp of results that are not kept).
uint64_t listStamp(ClientInterface& ci) { return ci.repository().changeCount() + 1; }

// Builds a NameValueNode list; null when pairs is empty. Frees what it built on failure.
StatusCode buildNameValues(ClientInterface& ci,
                           const std::vector<std::pair<std::string, std::string>>& pairs,
                           NameValueNode** out) {
  *out = nullptr;
  NameValueNode* head = nullptr;
  NameValueNode** link = &head;
  for (const auto& [name, value] : pairs) {
    auto* node = static_cast<NameValueNode*>(ci.pool().allocate(sizeof(NameValueNode)));
    if (node) {
      *link = node;
      link = &node->next;
      node->name = ci.pool().copyText(name.data(), name.size());
      node->nameLength = static_cast<int32_t>(name.size());
      node->value = ci.pool().copyText(value.data(), value.size());
      node->valueLength = static_cast<int32_t>(value.size());
    }
    if (!node || !node->name || !node->value) {
      ci.freeResult(ClientInterface::ResultKind::kNameValueList, head);
      return ci.fail(kStatusNoMemory, "the interface pool is exhausted");
    }
  }
  *out = head;
  return kStatusOk;
}

StatusCode listAssociationNamesOp(MetadataObject* object, int32_t, NameNode** out) {
  if (!out) return kStatusInvalidArgument;
  *out = nullptr;
  return objectCall(object, "listAssociationNames", [&](ClientInterface& ci) -> StatusCode {
    const uint64_t stamp = listStamp(ci);
    if (void* kept = ci.keptResult(object, ClientInterface::ResultKind::kNameList, "", stamp)) {
      *out = static_cast<NameNode*>(kept);
      return kStatusOk;
    }
    std::vector<std::string> names;
    Outcome outcome = ci.repository().associationNames(identifierOf(object), names);
    if (!outcome.ok()) return ci.fail(outcome);
    NameNode* head = nullptr;
    NameNode** link = &head;
    for (const std::string& name : names) {
      auto* node = static_cast<NameNode*>(ci.pool().allocate(sizeof(NameNode)));
      if (node) {
        *link = node;
        link = &node->next;
        node->name = ci.pool().copyText(name.data(), name.size());
        node->nameLength = static_cast<int32_t>(name.size());
      }
      if (!node || !node->name) {
        ci.freeResult(ClientInterface::ResultKind::kNameList, head);
        return ci.fail(kStatusNoMemory, "listAssociationNames: the interface pool is exhausted");
      }
    }
    if (head) ci.attach(object, ClientInterface::ResultKind::kNameList, "", head, stamp);
    *out = head;
    return kStatusOk;
  });
}

StatusCode getAssociationOp(MetadataObject* object, const char* name, int32_t length, int32_t,
                            MetadataObject** out) {
  if (!out) return kStatusInvalidArgument;
  *out = nullptr;
  return objectCall(object, "getAssociation", [&](ClientInterface& ci) -> StatusCode {
    const uint64_t stamp = listStamp(ci);
    if (void* kept = ci.keptResult(object, ClientInterface::ResultKind::kObjectList,
                                   view(name, length), stamp)) {
      *out = static_cast<MetadataObject*>(kept);
      return kStatusOk;
    }
    std::vector<ObjectRow> rows;
    Outcome outcome = ci.repository().associated(identifierOf(object), view(name, length), rows);
    if (!outcome.ok()) return ci.fail(outcome);
    keepReadable(ci, rows);
    MetadataObject* list = nullptr;
    StatusCode status = ci.buildList(rows, &list);
    if (status != kStatusOk) return status;
    if (list) {
      ci.attach(object, ClientInterface::ResultKind::kObjectList, view(name, length), list, stamp);
    }
    *out = list;
    return kStatusOk;
  });
}

StatusCode getAttributeOp(MetadataObject* object, const char* name, int32_t length,
                          ValueText** out) {
  if (!out) return kStatusInvalidArgument;
  *out = nullptr;
  return objectCall(object, "getAttribute", [&](ClientInterface& ci) -> StatusCode {
    std::optional<std::string> value;
    Outcome outcome = ci.repository().attribute(identifierOf(object), view(name, length), value);
    if (!outcome.ok()) return ci.fail(outcome);
    if (!value) return kStatusOk;
    auto* text = static_cast<ValueText*>(ci.pool().allocate(sizeof(ValueText)));
    char* copy = ci.pool().copyText(value->data(), value->size());
    if (!text || !copy) {
      ci.pool().release(text);
      ci.pool().release(copy);
      return ci.fail(kStatusNoMemory, "getAttribute: the interface pool is exhausted");
    }
    text->text = copy;
    text->length = static_cast<int32_t>(value->size());
    ci.attach(object, ClientInterface::ResultKind::kValueText, view(name, length), text);
    *out = text;
    return kStatusOk;
  });
}

StatusCode listAttributesOp(MetadataObject* object, NameValueNode** out) {
  if (!out) return kStatusInvalidArgument;
  *out = nullptr;
  return objectCall(object, "listAttributes", [&](ClientInterface& ci) -> StatusCode {
    const uint64_t stamp = listStamp(ci);
    if (void* kept = ci.keptResult(object, ClientInterface::ResultKind::kNameValueList, "", stamp)) {
      *out = static_cast<NameValueNode*>(kept);
      return kStatusOk;
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    Outcome outcome = ci.repository().attributes(identifierOf(object), pairs);
    if (!outcome.ok()) return ci.fail(outcome);
    NameValueNode* list = nullptr;
    StatusCode status = buildNameValues(ci, pairs, &list);
    if (status != kStatusOk) return status;
    if (list) ci.attach(object, ClientInterface::ResultKind::kNameValueList, "", list, stamp);
    *out = list;
    return kStatusOk;
  });
}

StatusCode getPropertyOp(MetadataObject* object, const char* name, int32_t length, int32_t,
                         PropertyRecord** out) {
  if (!out) return kStatusInvalidArgument;
  *out = nullptr;
  return objectCall(object, "getProperty", [&](ClientInterface& ci) -> StatusCode {
    std::optional<PropertyRow> row;
    Outcome outcome = ci.repository().property(identifierOf(object), view(name, length), row);
    if (!outcome.ok()) return ci.fail(outcome);
    if (!row) return kStatusOk;
    InterfacePool& pool = ci.pool();
    auto* record = static_cast<PropertyRecord*>(pool.allocate(sizeof(PropertyRecord)));
    char* nameCopy = pool.copyText(row->name.data(), row->name.size());
    char* valueCopy = pool.copyText(row->value.data(), row->value.size());
    if (!record || !nameCopy || !valueCopy) {
      pool.release(record);
      pool.release(nameCopy);
      pool.release(valueCopy);
      return ci.fail(kStatusNoMemory, "getProperty: the interface pool is exhausted");
    }
    record->name = nameCopy;
    record->nameLength = static_cast<int32_t>(row->name.size());
    record->value = valueCopy;
    record->valueLength = static_cast<int32_t>(row->value.size());
    size_t idLength = std::min<size_t>(row->id.size(), kIdentifierCapacity);
    std::memcpy(record->identifier, row->id.data(), idLength);
    record->identifierLength = static_cast<int32_t>(idLength);
    record->typeCode = kPropertyTypeCode;
    ci.attach(object, ClientInterface::ResultKind::kPropertyRecord, view(name, length), record);
    *out = record;
    return kStatusOk;
  });
}

StatusCode listPropertiesOp(MetadataObject* object, NameValueNode** out) {
  if (!out) return kStatusInvalidArgument;
  *out = nullptr;
  return objectCall(object, "listProperties", [&](ClientInterface& ci) -> StatusCode {
    const uint64_t stamp = listStamp(ci);
    if (void* kept = ci.keptResult(object, ClientInterface::ResultKind::kPropertyList, "", stamp)) {
      *out = static_cast<NameValueNode*>(kept);
      return kStatusOk;
    }
    std::vector<PropertyRow> rows;
    Outcome outcome = ci.repository().properties(identifierOf(object), rows);
    if (!outcome.ok()) return ci.fail(outcome);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (PropertyRow& row : rows) pairs.emplace_back(std::move(row.name), std::move(row.value));
    NameValueNode* list = nullptr;
    StatusCode status = buildNameValues(ci, pairs, &list);
    if (status != kStatusOk) return status;
    if (list) ci.attach(object, ClientInterface::ResultKind::kPropertyList, "", list, stamp);
    *out = list;
    return kStatusOk;
  });
}

StatusCode setPropertyOp(MetadataObject* object, PropertyRecord* record) {
  return objectCall(object, "setProperty", [&](ClientInterface& ci) -> StatusCode {
    if (!record) return ci.fail(kStatusInvalidArgument, "setProperty: no property record");
    StatusCode allowed = require(ci, objectTarget(identifierOf(object)), kPermissionWrite,
                                 kStatusWriteDenied, "setProperty");
    if (allowed != kStatusOk) return allowed;
    std::string_view name = view(record->name, record->nameLength);
    std::string_view value = view(record->value, record->valueLength);
    int32_t idLength = std::clamp(record->identifierLength, 0, kIdentifierCapacity);
    std::string_view propertyId(record->identifier, static_cast<size_t>(idLength));
    if (record->changeFlags & kPropertyNew) {
      std::string created;
      Outcome outcome =
          ci.repository().addProperty(identifierOf(object), name, value, {}, &created);
      if (!outcome.ok()) return ci.fail(outcome);
      // Tell the caller the new property's identifier, as a created object's would be.
      std::memset(record->identifier, 0, sizeof record->identifier);
      std::memcpy(record->identifier, created.data(), std::min<size_t>(created.size(), 20));
      record->identifierLength = static_cast<int32_t>(std::min<size_t>(created.size(), 20));
      return kStatusOk;
    }
    return ci.fail(ci.repository().setPropertyValue(identifierOf(object), propertyId, name, value));
  });
}

StatusCode setAttributeOp(MetadataObject* object, AttributeRecord* record) {
  return objectCall(object, "setAttribute", [&](ClientInterface& ci) -> StatusCode {
    if (!record) return ci.fail(kStatusInvalidArgument, "setAttribute: no attribute record");
    StatusCode allowed = require(ci, objectTarget(identifierOf(object)), kPermissionWrite,
                                 kStatusWriteDenied, "setAttribute");
    if (allowed != kStatusOk) return allowed;
    return ci.fail(ci.repository().setAttribute(identifierOf(object),
                                                view(record->name, record->nameLength),
                                                view(record->value, record->valueLength)));
  });
}

StatusCode setAssociationOp(MetadataObject* object, const char* name, int32_t length,
                            int32_t flag, MetadataObject* targets) {
  return objectCall(object, "setAssociation", [&](ClientInterface& ci) -> StatusCode {
    StatusCode allowed = require(ci, objectTarget(identifierOf(object)), kPermissionWrite,
                                 kStatusWriteDenied, "setAssociation");
    if (allowed != kStatusOk) return allowed;
    AssociationMode mode;
    switch (flag) {
      case kAssociationAppend: mode = AssociationMode::kAppend; break;
      case kAssociationMerge: mode = AssociationMode::kMerge; break;
      case kAssociationModify: mode = AssociationMode::kModify; break;
      case kAssociationReplace: mode = AssociationMode::kReplace; break;
      case kAssociationRemove: mode = AssociationMode::kRemove; break;
      default:
        return ci.fail(kStatusInvalidArgument,
                       "setAssociation: unknown modification flag " + std::to_string(flag));
    }
    std::vector<std::string> ids;
    for (MetadataObject* target = targets; target; target = target->next) {
      ids.emplace_back(identifierOf(target));
    }
    return ci.fail(
        ci.repository().setAssociation(identifierOf(object), view(name, length), mode, ids));
  });
}

template <typename Fn>
void* entry(Fn fn) {
  return reinterpret_cast<void*>(fn);
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

void* const* objectOperationTableOfServer() {
  static void* const table[object_op::kSlots] = {
      entry(&releaseListOp),         nullptr,
      entry(&listAssociationNamesOp), entry(&getAssociationOp),
      entry(&getAttributeOp),        entry(&listAttributesOp),
      entry(&getPropertyOp),         entry(&listPropertiesOp),
      entry(&setPropertyOp),         entry(&setAttributeOp),
      entry(&setAssociationOp),      nullptr,
      // Identities, authorizations and transactions through any object, as through a
      // repository handle (transactions.h).
      securitySlot(12), securitySlot(13), securitySlot(14), securitySlot(15),
      securitySlot(16), securitySlot(17), securitySlot(18), securitySlot(19)};
  return table;
}

}  // namespace mdserver
