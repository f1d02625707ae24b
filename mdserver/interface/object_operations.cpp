// The object operation table (attributes, properties, associations of one object): each
// unpacks its ABI arguments, counts the call, applies an injected fault, and calls the
// repository. Nothing here throws; every failure is a status code, with its detailed text kept
// as the interface's last error text.
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

// An operation that reads the object: decided again on every call, so that a handle resolved
// before a Read deny gives nothing after it (as an object that does not exist).
template <typename Body>
StatusCode readingCall(MetadataObject* object, const char* operation, Body&& body) {
  return objectCall(object, operation, [&](ClientInterface& ci) -> StatusCode {
    if (!mayReadObject(ci, identifierOf(object))) {
      noteRefusedRead(ci, identifierOf(object));
      return ci.fail(kStatusObjectNotFound, "no object '" + std::string(identifierOf(object)) + "'");
    }
    return body(ci);
  });
}

// The stamp a list is kept under: it changes with every change of the repository, and is never
// 0 (the stamp of results that are not kept).
uint64_t listStamp(ClientInterface& ci) { return ci.operationChangeCount() + 1; }

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
  return readingCall(object, "listAssociationNames", [&](ClientInterface& ci) -> StatusCode {
    const uint64_t stamp = listStamp(ci);
    if (void* kept = ci.keptResult(object, ClientInterface::ResultKind::kNameList, "", stamp)) {
      *out = static_cast<NameNode*>(kept);
      return kStatusOk;
    }
    std::vector<std::string> names;
    Outcome outcome = ci.repository().associationNames(identifierOf(object), names);
    if (!outcome.ok()) return ci.fail(outcome);
    // A name whose targets are all hidden would tell that hidden objects are linked here: it is
    // listed only with a target the principal may read.
    const ReadableSet* readable = ci.readable();
    if (!readable) return ci.lastErrorStatus();
    if (!readable->everything) {
      std::vector<std::string> shown;
      for (std::string& name : names) {
        std::vector<ObjectRow> targets;
        outcome = ci.repository().associated(identifierOf(object), name, targets);
        if (!outcome.ok()) return ci.fail(outcome);
        if (std::any_of(targets.begin(), targets.end(),
                        [&](const ObjectRow& row) { return readable->permits(row.id); })) {
          shown.push_back(std::move(name));
        }
      }
      names = std::move(shown);
    }
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
  return readingCall(object, "getAssociation", [&](ClientInterface& ci) -> StatusCode {
    const uint64_t stamp = listStamp(ci);
    if (void* kept = ci.keptResult(object, ClientInterface::ResultKind::kObjectList,
                                   view(name, length), stamp)) {
      *out = static_cast<MetadataObject*>(kept);
      return kStatusOk;
    }
    std::vector<ObjectRow> rows;
    Outcome outcome = ci.repository().associated(identifierOf(object), view(name, length), rows);
    if (!outcome.ok()) return ci.fail(outcome);
    if (StatusCode kept = keepReadable(ci, rows); kept != kStatusOk) return kept;
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
  return readingCall(object, "getAttribute", [&](ClientInterface& ci) -> StatusCode {
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
  return readingCall(object, "listAttributes", [&](ClientInterface& ci) -> StatusCode {
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
  return readingCall(object, "getProperty", [&](ClientInterface& ci) -> StatusCode {
    std::optional<PropertyRow> row;
    Outcome outcome = ci.repository().property(identifierOf(object), view(name, length), row);
    if (!outcome.ok()) return ci.fail(outcome);
    // A property is an object of its own: one the principal may not read is not there.
    if (!row || !mayReadId(ci, row->id)) return ci.readable() ? kStatusOk : ci.lastErrorStatus();
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
  return readingCall(object, "listProperties", [&](ClientInterface& ci) -> StatusCode {
    const uint64_t stamp = listStamp(ci);
    if (void* kept = ci.keptResult(object, ClientInterface::ResultKind::kPropertyList, "", stamp)) {
      *out = static_cast<NameValueNode*>(kept);
      return kStatusOk;
    }
    std::vector<PropertyRow> rows;
    Outcome outcome = ci.repository().properties(identifierOf(object), rows);
    if (!outcome.ok()) return ci.fail(outcome);
    const ReadableSet* readable = ci.readable();
    if (!readable) return ci.lastErrorStatus();
    std::vector<std::pair<std::string, std::string>> pairs;
    for (PropertyRow& row : rows) {
      if (!readable->permits(row.id)) continue;  // a property object the principal may not read
      pairs.emplace_back(std::move(row.name), std::move(row.value));
    }
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
    const LinkGuard guard = linkGuard(ci, "setAssociation", kStatusWriteDenied);
    return ci.fail(ci.repository().setAssociation(identifierOf(object), view(name, length), mode,
                                                  ids, &guard));
  });
}

}  // namespace

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
