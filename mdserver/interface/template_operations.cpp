// The access control template members and slots of the metadata client interface:
//
//   member 98  applyAct(md, transaction, "", 0, flags, reference)    the default repository
//   member 99  removeAct(md, transaction, "", 0, flags, reference)
//   member 100 listActAttributes(md, transaction, reference, length, out)
//   member 101 releaseAttributeList(md, list)     any attribute list of the pool, a package's too
//   member 102 setActAttribute(md, transaction, reference, length, entry)
//   member 103 deleteAct(md, transaction, reference)
//   member 104 newAct(md, transaction, repository, length, attributes)
//   member 105 listActsById(md, transaction, "REPOSID:<repository>", length, flags, out)
//   slot 13    repoListActs(object, transaction, flags, out)
//   slot 15    repoApplyAct(object, transaction, flags, reference)   the handle's repository, or
//   slot 16    repoRemoveAct(object, transaction, flags, reference)  the object itself
//
// A template reference is the template's identifier or its name (letter case aside). Listing
// flags and apply/remove flags carry no meaning yet and are accepted as given. Changes need
// Administer on the template's repository (apply and remove: on the target) and are staged in the
// transaction the handle names, or applied at once without one. Outcomes of the edge cases:
// applying a template where it is applied already fails with kStatusTemplateApplied, removing it
// where it is not applied with kStatusTemplateNotApplied; nothing changes in either case.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "mdserver/base/status_codes.h"
#include "mdserver/interface/access_guard.h"
#include "mdserver/interface/operation_dispatch.h"
#include "mdserver/interface/security_internal.h"
#include "mdserver/interface/template_view.h"
#include "mdserver/interface/transactions.h"

namespace mdserver {
namespace {

using namespace security_detail;

constexpr std::string_view kIdentifierPrefix = "REPOSID:";

// Stages the change in the transaction, or applies it at once.
StatusCode commitOrStage(ClientInterface* ci, TransactionRecord* record,
                         AuthorizationChange change) {
  if (record) {
    record->staged.push_back(std::move(change));
    return kStatusOk;
  }
  return ci->fail(ci->repository().security().apply({change}));
}

StatusCode findTemplate(ClientInterface* ci, const TransactionRecord* record,
                        std::string_view reference, const char* operation, TemplateRecord* out) {
  std::optional<TemplateRecord> found;
  Outcome read = templateSeenBy(ci->repository().security(), record, trimmed(reference), found);
  if (!read.ok()) return ci->fail(read);
  // A template the principal may not read (its repository's decision) is not there for it.
  if (found) {
    const ReadableSet* readable = ci->readable();
    if (!readable) return ci->lastErrorStatus();
    if (!readable->permits(found->id)) found.reset();
  }
  if (!found) {
    return ci->fail(kStatusUnknownTemplate, std::string(operation) + ": no access control "
                                                "template '" + std::string(trimmed(reference)) +
                                                "'");
  }
  *out = std::move(*found);
  return kStatusOk;
}

std::string_view referenceText(const ActReference* reference) {
  return reference ? view(reference->text, reference->length) : std::string_view();
}

// A name no other template of the repository has (as the transaction sees them).
StatusCode checkUniqueName(ClientInterface* ci, const TransactionRecord* record,
                           const std::string& repositoryId, const std::string& name,
                           const std::string& selfId) {
  std::vector<TemplateRecord> templates;
  Outcome read = templatesSeenBy(ci->repository().security(), record, repositoryId, templates);
  if (!read.ok()) return ci->fail(read);
  for (const TemplateRecord& t : templates) {
    if (t.id != selfId && equalNoCase(t.name(), name)) {
      return ci->fail(kStatusDuplicate, "repository " + repositoryId +
                                            " has an access control template named '" + name +
                                            "' already (" + t.id + ")");
    }
  }
  return kStatusOk;
}

// A new identifier, reserved in the repository for good when the template is created (staged or
// not): no other creation, in this process or another, gets it, and a template deleted later
// does not give it back.
StatusCode nextTemplateId(ClientInterface* ci, const std::string& repositoryId, std::string* out) {
  int64_t number = 0;
  Outcome reserved = ci->repository().security().reserveTemplateNumber(repositoryId, number);
  if (!reserved.ok()) return ci->fail(reserved);
  char digits[24];  // seven digits; room for what the format could write
  std::snprintf(digits, sizeof digits, "%07lld", static_cast<long long>(number));
  *out = repositoryId + ".T" + digits;
  return kStatusOk;
}

StatusCode buildActList(ClientInterface* ci, const std::vector<TemplateRecord>& templates,
                        ActEntry** out) {
  InterfacePool& pool = ci->pool();
  ActEntry* head = nullptr;
  ActEntry** link = &head;
  for (const TemplateRecord& t : templates) {
    auto* entry = static_cast<ActEntry*>(pool.allocate(sizeof(ActEntry)));
    bool ok = entry != nullptr;
    if (entry) {
      *link = entry;
      link = &entry->next;
      // Texts 4 and 5: the template's type and repository.
      ok = copyInto(pool, entry->texts[0], t.id) && copyInto(pool, entry->texts[1], t.name()) &&
           copyInto(pool, entry->texts[2], t.description()) &&
           copyInto(pool, entry->texts[3], std::string(kTemplateType)) &&
           copyInto(pool, entry->texts[4], t.repositoryId);
    }
    if (!ok) {
      freeActList(*ci, head);
      return ci->fail(kStatusNoMemory, "template listing: the interface pool is exhausted");
    }
  }
  ci->replaceActList(head);
  *out = head;
  return kStatusOk;
}

StatusCode listActsOf(ClientInterface* ci, TransactionHandle* transaction,
                      const std::string& repositoryId, ActEntry** out) {
  TransactionRecord* record = nullptr;
  StatusCode status = stagingRecord(ci, transaction, &record);
  if (status != kStatusOk) return status;
  std::vector<TemplateRecord> templates;
  Outcome read = templatesSeenBy(ci->repository().security(), record, repositoryId, templates);
  if (!read.ok()) return ci->fail(read);
  // Templates are objects read on their repository's decision: a repository the principal may
  // not read lists none.
  const ReadableSet* readable = ci->readable();
  if (!readable) return ci->lastErrorStatus();
  templates.erase(std::remove_if(templates.begin(), templates.end(),
                                 [&](const TemplateRecord& t) { return !readable->permits(t.id); }),
                  templates.end());
  return buildActList(ci, templates, out);
}

StatusCode applyOrRemove(ClientInterface* ci, TransactionHandle* transaction,
                         const AccessTarget& target, const ActReference* reference, bool apply,
                         const char* operation) {
  TransactionRecord* record = nullptr;
  StatusCode status = stagingRecord(ci, transaction, &record);
  if (status != kStatusOk) return status;
  TemplateRecord found;
  status = findTemplate(ci, record, referenceText(reference), operation, &found);
  if (status != kStatusOk) return status;
  if (target.isTemplate) {
    return ci->fail(kStatusInvalidArgument, std::string(operation) + ": template " + found.id +
                                                " applies to repositories and objects, not to "
                                                "template " + target.objectId);
  }
  if (found.repositoryId != target.repositoryId) {
    return ci->fail(kStatusInvalidArgument, std::string(operation) + ": template " + found.id +
                                                " belongs to repository " + found.repositoryId +
                                                ", not to " + target.repositoryId);
  }
  status = require(*ci, target, kPermissionAdminister, kStatusAdministerDenied, operation);
  if (status != kStatusOk) return status;
  const std::vector<std::string> applied = sourcesSeenBy(ci, record).applications(target.id());
  const bool present = std::find(applied.begin(), applied.end(), found.id) != applied.end();
  if (apply && present) {
    return ci->fail(kStatusTemplateApplied, std::string(operation) + ": template " + found.id +
                                                " is applied to " + target.id() + " already");
  }
  if (!apply && !present) {
    return ci->fail(kStatusTemplateNotApplied, std::string(operation) + ": template " +
                                                   found.id + " is not applied to " + target.id());
  }
  AuthorizationChange change;
  change.kind = apply ? AuthorizationChange::Kind::kApplyTemplate
                      : AuthorizationChange::Kind::kRemoveTemplate;
  change.templateId = found.id;
  change.target = target.id();
  return commitOrStage(ci, record, std::move(change));
}

StatusCode defaultTarget(ClientInterface* ci, AccessTarget* out) {
  auto home = ci->repository().repositoryByReference("");
  if (!home) return ci->fail(kStatusUnknownRepository, "the repository has no repositories");
  *out = repositoryTarget(home->id);
  return kStatusOk;
}

// ---- members ------------------------------------------------------------------------------------

StatusCode applyActOp(MetadataInterface* md, TransactionHandle* transaction, const char*, int32_t,
                      int32_t, ActReference* reference) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, "applyAct", [&]() -> StatusCode {
    AccessTarget target;
    StatusCode status = defaultTarget(ci, &target);
    if (status != kStatusOk) return status;
    return applyOrRemove(ci, transaction, target, reference, true, "applyAct");
  });
}

StatusCode removeActOp(MetadataInterface* md, TransactionHandle* transaction, const char*, int32_t,
                       int32_t, ActReference* reference) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, "removeAct", [&]() -> StatusCode {
    AccessTarget target;
    StatusCode status = defaultTarget(ci, &target);
    if (status != kStatusOk) return status;
    return applyOrRemove(ci, transaction, target, reference, false, "removeAct");
  });
}

StatusCode listActAttributesOp(MetadataInterface* md, TransactionHandle* transaction,
                               const char* reference, int32_t length, AttributeEntry** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  if (!out) return ci->fail(kStatusInvalidArgument, "listActAttributes: no result address");
  *out = nullptr;
  return dispatch(ci, "listActAttributes", [&]() -> StatusCode {
    TransactionRecord* record = nullptr;
    StatusCode status = stagingRecord(ci, transaction, &record);
    if (status != kStatusOk) return status;
    TemplateRecord found;
    status = findTemplate(ci, record, view(reference, length), "listActAttributes", &found);
    if (status != kStatusOk) return status;
    InterfacePool& pool = ci->pool();
    AttributeEntry* head = nullptr;
    AttributeEntry* tail = nullptr;
    for (const auto& [name, value] : found.attributes) {
      auto* entry = static_cast<AttributeEntry*>(pool.allocate(sizeof(AttributeEntry)));
      if (entry) {
        entry->previous = tail;
        (tail ? tail->next : head) = entry;
        tail = entry;
        entry->name = pool.copyText(name.data(), name.size());
        entry->nameLength = static_cast<int32_t>(name.size());
        entry->value = pool.copyText(value.data(), value.size());
        entry->valueLength = static_cast<int32_t>(value.size());
      }
      if (!entry || !entry->name || !entry->value) {
        freeAttributeList(*ci, head);
        return ci->fail(kStatusNoMemory, "listActAttributes: the interface pool is exhausted");
      }
    }
    ci->trackSecurityList(head, SecurityListKind::kAttributes);
    *out = head;
    return kStatusOk;
  });
}

void releaseAttributeListOp(MetadataInterface* md, AttributeEntry* list) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return;
  ci->enter("releaseAttributeList");
  ci->untrackSecurityList(list);
  freeAttributeList(*ci, list);
}

StatusCode setActAttributeOp(MetadataInterface* md, TransactionHandle* transaction,
                             const char* reference, int32_t length, AttributeEntry* attribute) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, "setActAttribute", [&]() -> StatusCode {
    if (!attribute) return ci->fail(kStatusInvalidArgument, "setActAttribute: no attribute entry");
    const std::string name(trimmed(view(attribute->name, attribute->nameLength)));
    const std::string value(trimmed(view(attribute->value, attribute->valueLength)));
    if (name.empty()) return ci->fail(kStatusInvalidArgument, "setActAttribute: blank name");
    TransactionRecord* record = nullptr;
    StatusCode status = stagingRecord(ci, transaction, &record);
    if (status != kStatusOk) return status;
    TemplateRecord found;
    status = findTemplate(ci, record, view(reference, length), "setActAttribute", &found);
    if (status != kStatusOk) return status;
    status = require(*ci, repositoryTarget(found.repositoryId), kPermissionAdminister,
                     kStatusAdministerDenied, "setActAttribute");
    if (status != kStatusOk) return status;
    if (equalNoCase(name, kTemplateNameAttribute)) {
      if (value.empty()) {
        return ci->fail(kStatusTemplateNeedsName,
                        "setActAttribute: template " + found.id + " cannot lose its name");
      }
      status = checkUniqueName(ci, record, found.repositoryId, value, found.id);
      if (status != kStatusOk) return status;
    }
    AuthorizationChange change;
    change.kind = AuthorizationChange::Kind::kSetTemplateAttribute;
    change.templateId = found.id;
    // A name already present keeps its spelling; a new one is stored as given.
    std::string stored = name;
    for (const auto& [key, unused] : found.attributes) {
      if (equalNoCase(key, name)) stored = key;
    }
    change.attribute = {stored, value};
    return commitOrStage(ci, record, std::move(change));
  });
}

StatusCode deleteActOp(MetadataInterface* md, TransactionHandle* transaction,
                       ActReference* reference) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, "deleteAct", [&]() -> StatusCode {
    TransactionRecord* record = nullptr;
    StatusCode status = stagingRecord(ci, transaction, &record);
    if (status != kStatusOk) return status;
    TemplateRecord found;
    status = findTemplate(ci, record, referenceText(reference), "deleteAct", &found);
    if (status != kStatusOk) return status;
    status = require(*ci, repositoryTarget(found.repositoryId), kPermissionAdminister,
                     kStatusAdministerDenied, "deleteAct");
    if (status != kStatusOk) return status;
    AuthorizationChange change;
    change.kind = AuthorizationChange::Kind::kDeleteTemplate;
    change.templateId = found.id;
    return commitOrStage(ci, record, std::move(change));
  });
}

StatusCode newActOp(MetadataInterface* md, TransactionHandle* transaction, const char* repository,
                    int32_t length, AttributeEntry* attributes) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, "newAct", [&]() -> StatusCode {
    const std::string_view named = trimmed(view(repository, length));
    auto home = ci->repository().repositoryByReference(named);
    if (!home) {
      return ci->fail(kStatusUnknownRepository, "newAct: no repository '" + std::string(named) + "'");
    }
    TransactionRecord* record = nullptr;
    StatusCode status = stagingRecord(ci, transaction, &record);
    if (status != kStatusOk) return status;
    status = require(*ci, repositoryTarget(home->id), kPermissionAdminister,
                     kStatusAdministerDenied, "newAct");
    if (status != kStatusOk) return status;
    TemplateRecord created;
    created.repositoryId = home->id;
    for (const AttributeEntry* a = attributes; a; a = a->next) {
      const std::string name(trimmed(view(a->name, a->nameLength)));
      if (name.empty()) continue;  // a pair without a name sets nothing
      setTemplateAttribute(created, name, std::string(trimmed(view(a->value, a->valueLength))));
    }
    const std::string name = created.name();
    if (name.empty()) {
      return ci->fail(kStatusTemplateNeedsName,
                      "newAct: give the template a name (attribute Name)");
    }
    status = checkUniqueName(ci, record, home->id, name, "");
    if (status != kStatusOk) return status;
    status = nextTemplateId(ci, home->id, &created.id);
    if (status != kStatusOk) return status;
    AuthorizationChange change;
    change.kind = AuthorizationChange::Kind::kCreateTemplate;
    change.templateId = created.id;
    change.templateRecord = std::move(created);
    return commitOrStage(ci, record, std::move(change));
  });
}

StatusCode listActsByIdOp(MetadataInterface* md, TransactionHandle* transaction, const char* text,
                          int32_t length, int32_t, ActEntry** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  if (!out) return ci->fail(kStatusInvalidArgument, "listActsById: no result address");
  *out = nullptr;
  return dispatch(ci, "listActsById", [&]() -> StatusCode {
    std::string_view whole = trimmed(view(text, length));
    if (whole.size() < kIdentifierPrefix.size() ||
        !equalNoCase(whole.substr(0, kIdentifierPrefix.size()), kIdentifierPrefix)) {
      return ci->fail(kStatusInvalidArgument, "listActsById: '" + std::string(whole) +
                                                  "' does not begin with REPOSID:");
    }
    const std::string_view id = trimmed(whole.substr(kIdentifierPrefix.size()));
    auto home = id.empty() ? std::nullopt : ci->repository().repositoryByReference(id);
    // A repository the principal may not read is answered as one that does not exist.
    const ReadableSet* readable = ci->readable();
    if (!readable) return ci->lastErrorStatus();
    if (home && !readable->repositoryReadable(home->id)) home.reset();
    if (!home) {
      return ci->fail(kStatusUnknownRepository,
                      "listActsById: no repository with identifier '" + std::string(id) + "'");
    }
    return listActsOf(ci, transaction, home->id, out);
  });
}

// ---- slots --------------------------------------------------------------------------------------

StatusCode repoListActsOp(MetadataObject* object, TransactionHandle* transaction, int32_t,
                          ActEntry** out) {
  ClientInterface* ci = ownerOf(object);
  if (!ci) return kStatusInvalidArgument;
  if (!out) return ci->fail(kStatusInvalidArgument, "repoListActs: no result address");
  *out = nullptr;
  return dispatch(ci, "repoListActs", [&] {
    return listActsOf(ci, transaction, targetOfObject(object).repositoryId, out);
  });
}

StatusCode repoApplyActOp(MetadataObject* object, TransactionHandle* transaction, int32_t,
                          ActReference* reference) {
  ClientInterface* ci = ownerOf(object);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, "repoApplyAct", [&] {
    return applyOrRemove(ci, transaction, targetOfObject(object), reference, true,
                         "repoApplyAct");
  });
}

StatusCode repoRemoveActOp(MetadataObject* object, TransactionHandle* transaction, int32_t,
                           ActReference* reference) {
  ClientInterface* ci = ownerOf(object);
  if (!ci) return kStatusInvalidArgument;
  return dispatch(ci, "repoRemoveAct", [&] {
    return applyOrRemove(ci, transaction, targetOfObject(object), reference, false,
                         "repoRemoveAct");
  });
}

}  // namespace

void freeActList(ClientInterface& ci, ActEntry* list) {
  for (ActEntry* entry = list; entry;) {
    ActEntry* next = entry->next;
    for (TextPair& pair : entry->texts) ci.pool().release(pair.text);
    ci.pool().release(entry);
    entry = next;
  }
}

void freeAttributeList(ClientInterface& ci, AttributeEntry* list) {
  for (AttributeEntry* entry = list; entry;) {
    AttributeEntry* next = entry->next;
    ci.pool().release(entry->name);
    ci.pool().release(entry->value);
    ci.pool().release(entry);
    entry = next;
  }
}

void* templateOperationSlot(int slot) {
  switch (slot) {
    case object_op::kRepoListActs: return entry(&repoListActsOp);
    case object_op::kRepoApplyAct: return entry(&repoApplyActOp);
    case object_op::kRepoRemoveAct: return entry(&repoRemoveActOp);
    default: return nullptr;
  }
}

void installTemplateMembers(MetadataInterface& abi) {
  namespace m = interface_member;
  abi.members[m::kApplyAct] = entry(&applyActOp);
  abi.members[m::kRemoveAct] = entry(&removeActOp);
  abi.members[m::kListActAttributes] = entry(&listActAttributesOp);
  abi.members[m::kReleaseAttributeList] = entry(&releaseAttributeListOp);
  abi.members[m::kSetActAttribute] = entry(&setActAttributeOp);
  abi.members[m::kDeleteAct] = entry(&deleteActOp);
  abi.members[m::kNewAct] = entry(&newActOp);
  abi.members[m::kListActsById] = entry(&listActsByIdOp);
}

}  // namespace mdserver
