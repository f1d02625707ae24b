#include "server/operations.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>

#include "mdserver/base/status_codes.h"
#include "mdserver/base/ascii_case.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/interface/transactions.h"

namespace mdserver_net {
namespace {

// The stamp a client keeps a list under: equal for equal change counts of the repository, and
// nothing more. The count itself would tell any caller, Everybody included, how many changes
// others made and when; a digest keyed with this process's random key tells only whether the
// repository changed since, which a package in-process learns as well (a list built anew). A
// client served by another server process meets another key and builds its list anew.
uint64_t listStamp(uint64_t changes) {
  static const std::string key = [] {
    std::string random(32, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(random.data()), 32) != 1) random.clear();
    return random;
  }();
  if (key.empty() || changes == 0) return 0;
  std::string input = key;
  input.append(reinterpret_cast<const char*>(&changes), sizeof changes);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &size, EVP_sha256(), nullptr) != 1) return 0;
  uint64_t stamp = 0;
  std::memcpy(&stamp, digest, sizeof stamp);
  stamp >>= 11;  // 53 bits: a JSON number every client, JavaScript too, reads exactly
  return stamp == 0 ? 1 : stamp;
}

using nlohmann::json;
using namespace mdserver;  // status codes

// A bad argument of a request: turned into the invalid-argument status with this text.
struct BadArgument : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string text(const json& arguments, const char* name, bool required = true) {
  auto found = arguments.find(name);
  if (found == arguments.end() || found->is_null()) {
    if (required) throw BadArgument(std::string("argument '") + name + "' is missing");
    return {};
  }
  if (!found->is_string()) throw BadArgument(std::string("argument '") + name + "' is not a text");
  return found->get<std::string>();
}

int32_t integer(const json& arguments, const char* name, int32_t fallback) {
  auto found = arguments.find(name);
  if (found == arguments.end() || found->is_null()) return fallback;
  if (!found->is_number_integer()) {
    throw BadArgument(std::string("argument '") + name + "' is not an integer");
  }
  return found->get<int32_t>();
}

int32_t length(const std::string& s) { return static_cast<int32_t>(s.size()); }

std::string textOf(const char* p, int32_t n) {
  return p && n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}

json objectJson(const MetadataObject* object) {
  return {{"id", textOf(object->identifier, object->identifierLength)},
          {"type", textOf(object->type, object->typeLength)},
          {"name", textOf(object->name, object->nameLength)},
          {"description", textOf(object->description, object->descriptionLength)},
          {"key", object->serverKey}};
}

json objectListJson(const MetadataObject* head) {
  json list = json::array();
  for (const MetadataObject* o = head; o; o = o->next) list.push_back(objectJson(o));
  return list;
}

mdserver::ObjectRow rowOf(const json& object) {
  if (!object.is_object()) throw BadArgument("an object is not a JSON object");
  mdserver::ObjectRow row;
  row.id = text(object, "id");
  if (row.id.size() > static_cast<size_t>(kIdentifierCapacity)) {
    throw BadArgument("an object identifier is longer than 20 characters");
  }
  row.type = text(object, "type", false);
  row.name = text(object, "name", false);
  row.description = text(object, "description", false);
  auto key = object.find("key");
  if (key != object.end() && key->is_number_integer()) row.key = key->get<int64_t>();
  return row;
}

// A handle list of this interface's pool built from objects a client sent: what the package
// on the other side holds. Freed with the list's slot 0.
// A handle of type Repository naming a repository is a repository handle, with that table.
MetadataObject* handles(MetadataInterface* md, const std::vector<mdserver::ObjectRow>& rows) {
  mdserver::ClientInterface* ci = mdserver::ClientInterface::fromAbi(md);
  MetadataObject* head = nullptr;
  if (ci->buildList(rows, &head) != kStatusOk) throw std::bad_alloc();
  for (MetadataObject* o = head; o; o = o->next) {
    const std::string type = textOf(o->type, o->typeLength);
    if (mdserver::equalNoCase(type, "Repository") &&
        ci->repository().repositoryById(textOf(o->identifier, o->identifierLength))) {
      o->operations = mdserver::repositoryOperationTable();
    }
  }
  return head;
}

struct HandleList {
  MetadataObject* head = nullptr;
  ~HandleList() {
    if (head) releaseObjectList(head);
  }
};

json nameValues(const NameValueNode* head) {
  json list = json::array();
  for (const NameValueNode* n = head; n; n = n->next) {
    list.push_back({textOf(n->name, n->nameLength), textOf(n->value, n->valueLength)});
  }
  return list;
}


// ---- security records ---------------------------------------------------------------------

mdserver::InterfacePool& poolOf(MetadataInterface* md) {
  return mdserver::ClientInterface::fromAbi(md)->pool();
}

// The handle a package would pass for the transaction text in "transaction" (null for none):
// a pool block, as a begin hands it out, since an end frees it.
TransactionHandle* transactionHandle(MetadataInterface* md, const json& arguments) {
  const std::string value = text(arguments, "transaction", false);
  if (value.empty()) return nullptr;
  auto* handle = static_cast<TransactionHandle*>(poolOf(md).allocate(sizeof(TransactionHandle)));
  if (!handle) throw std::bad_alloc();
  handle->owner = md;
  handle->text = poolOf(md).copyText(value.data(), value.size());
  if (!handle->text) {
    poolOf(md).release(handle);
    throw std::bad_alloc();
  }
  handle->length = length(value);
  return handle;
}

// Frees a handle the operation did not take.
struct HandleGuard {
  MetadataInterface* md;
  TransactionHandle* handle;
  ~HandleGuard() {
    if (!handle) return;
    poolOf(md).release(handle->text);
    poolOf(md).release(handle);
  }
};

std::vector<std::string> texts(const json& arguments, const char* name, size_t count) {
  std::vector<std::string> out(count);
  auto found = arguments.find(name);
  if (found == arguments.end() || found->is_null()) return out;
  if (!found->is_array() || found->size() > count) {
    throw BadArgument(std::string("argument '") + name + "' is not a list of at most " +
                      std::to_string(count) + " texts");
  }
  for (size_t i = 0; i < found->size(); ++i) {
    if (!(*found)[i].is_string()) throw BadArgument(std::string("argument '") + name + "' holds a non-text");
    out[i] = (*found)[i].get<std::string>();
  }
  return out;
}

// An identity filter as a package builds it (pool blocks); the listing it is passed to frees it.
IdentityEntry* identityFilter(MetadataInterface* md, const json& arguments) {
  auto found = arguments.find("filter");
  if (found == arguments.end() || found->is_null()) return nullptr;
  if (!found->is_array()) throw BadArgument("argument 'filter' is not a list");
  IdentityEntry* head = nullptr;
  IdentityEntry* tail = nullptr;
  for (const json& item : *found) {
    json wrapped = {{"identity", item}};
    std::vector<std::string> parts = texts(wrapped, "identity", 4);
    auto* entry = static_cast<IdentityEntry*>(poolOf(md).allocate(sizeof(IdentityEntry)));
    if (!entry) {
      releaseIdentityFilter(md, head);
      throw std::bad_alloc();
    }
    entry->previous = tail;
    (tail ? tail->next : head) = entry;
    tail = entry;
    for (size_t i = 0; i < 4; ++i) {
      entry->texts[i].text = poolOf(md).copyText(parts[i].data(), parts[i].size());
      entry->texts[i].length = length(parts[i]);
    }
  }
  return head;
}

json textPairs(const TextPair* pairs, size_t count) {
  json out = json::array();
  for (size_t i = 0; i < count; ++i) out.push_back(textOf(pairs[i].text, pairs[i].length));
  return out;
}

json identitiesJson(const IdentityEntry* head) {
  json out = json::array();
  for (; head; head = head->next) out.push_back(textPairs(head->texts, 4));
  return out;
}

json authorizationsJson(const AuthorizationEntry* head) {
  json out = json::array();
  for (; head; head = head->next) {
    out.push_back({{"identity", head->identity ? textPairs(head->identity->texts, 3) : json::array()},
                   {"code", head->code},
                   {"permission", textOf(head->permission.text, head->permission.length)},
                   {"condition", textOf(head->condition.text, head->condition.length)}});
  }
  return out;
}

json actsJson(const ActEntry* head) {
  json out = json::array();
  for (; head; head = head->next) out.push_back(textPairs(head->texts, 5));
  return out;
}

json attributeEntriesJson(const AttributeEntry* head) {
  json out = json::array();
  for (; head; head = head->next) {
    out.push_back({textOf(head->name, head->nameLength), textOf(head->value, head->valueLength)});
  }
  return out;
}

// An authorization request as a package builds it; its texts stay ours.
struct RequestHolder {
  std::vector<std::string> identity;
  std::string permission, condition;
  IdentityPairRecord pair{};
  AuthorizationRequest request{};
  explicit RequestHolder(const json& arguments) {
    identity = texts(arguments, "identity", 2);
    permission = text(arguments, "permission", false);
    condition = text(arguments, "condition", false);
    pair.text1 = identity[0].data();
    pair.length1 = length(identity[0]);
    pair.text2 = identity[1].data();
    pair.length2 = length(identity[1]);
    request.identity = &pair;
    request.grantCode = integer(arguments, "grantCode", 0);
    request.permission = permission.data();
    request.permissionLength = length(permission);
    request.condition = condition.data();
    request.conditionLength = length(condition);
  }
};

// A template reference as a package passes it: a zero-filled pool block with a pool copy of
// the text; the operation reads it and the caller frees both.
struct ReferenceHolder {
  MetadataInterface* md;
  ActReference* reference = nullptr;
  ReferenceHolder(MetadataInterface* m, const json& arguments) : md(m) {
    const std::string value = text(arguments, "reference");
    reference = static_cast<ActReference*>(poolOf(md).allocate(sizeof(ActReference)));
    if (!reference) throw std::bad_alloc();
    reference->text = poolOf(md).copyText(value.data(), value.size());
    reference->length = length(value);
  }
  ~ReferenceHolder() {
    poolOf(md).release(reference->text);
    poolOf(md).release(reference);
  }
};

// An attribute list as a package builds it for newAct and setActAttribute.
struct AttributeHolder {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::vector<AttributeEntry> entries;
  explicit AttributeHolder(const json& list) {
    if (!list.is_array()) throw BadArgument("argument 'attributes' is not a list of pairs");
    for (const json& pair : list) {
      if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string()) {
        throw BadArgument("argument 'attributes' holds something other than a pair of texts");
      }
      pairs.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
    }
    entries.resize(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
      entries[i].name = pairs[i].first.data();
      entries[i].nameLength = length(pairs[i].first);
      entries[i].value = pairs[i].second.data();
      entries[i].valueLength = length(pairs[i].second);
      entries[i].next = i + 1 < pairs.size() ? &entries[i + 1] : nullptr;
      entries[i].previous = i > 0 ? &entries[i - 1] : nullptr;
    }
  }
  AttributeEntry* head() { return entries.empty() ? nullptr : entries.data(); }
};

StatusCode beginAnswer(StatusCode status, TransactionHandle* handle, MetadataInterface* md,
                       json& out) {
  if (handle) {
    out["transaction"] = textOf(handle->text, handle->length);
    poolOf(md).release(handle->text);
    poolOf(md).release(handle->attachment);
    poolOf(md).release(handle);
  }
  return status;
}

using Operation = std::function<StatusCode(MetadataInterface*, const json&, json&)>;

// Operations on one object: the handle is rebuilt, the slot called, the handle freed (with it
// whatever the object handed out).
Operation onObject(std::function<StatusCode(MetadataInterface*, MetadataObject*, const json&, json&)> body) {
  return [body](MetadataInterface* md, const json& arguments, json& out) {
    auto object = arguments.find("object");
    if (object == arguments.end()) throw BadArgument("argument 'object' is missing");
    HandleList handle{handles(md, {rowOf(*object)})};
    return body(md, handle.head, arguments, out);
  };
}

const std::map<std::string, Operation>& table() {
  static const std::map<std::string, Operation> operations = {
      {"listRepositories",
       [](MetadataInterface* md, const json&, json& out) {
         RepositoryEntry* list = nullptr;
         StatusCode status = listRepositories(md, &list);
         json entries = json::array();
         for (RepositoryEntry* e = list; e; e = e->next) {
           entries.push_back({{"id", textOf(e->identifier, e->identifierLength)},
                              {"name", textOf(e->name, e->nameLength)},
                              {"description", textOf(e->description, e->descriptionLength)}});
         }
         out["repositories"] = entries;
         return status;
       }},
      {"isPaused",
       [](MetadataInterface* md, const json&, json& out) {
         out["value"] = isPaused(md);
         return kStatusOk;
       }},
      {"serverVersion",
       [](MetadataInterface* md, const json&, json& out) {
         out["value"] = serverVersion(md);
         return kStatusOk;
       }},
      {"getAppProperty",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string application = text(a, "application"), property = text(a, "property");
         ValueText* value = nullptr;
         StatusCode status = getAppProperty(md, application.data(), length(application),
                                            property.data(), length(property), &value);
         if (value) {
           out["value"] = textOf(value->text, value->length);
           freeText(md, value);
         }
         return status;
       }},
      {"resolveUri",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string uri = text(a, "uri");
         HandleList list;
         StatusCode status = resolveUri(md, uri.data(), length(uri), &list.head);
         out["objects"] = objectListJson(list.head);
         return status;
       }},
      {"resolveInRepository",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string repository = text(a, "repository", false), query = text(a, "query");
         HandleList list;
         StatusCode status = resolveInRepository(md, repository.data(), length(repository),
                                                 query.data(), length(query), &list.head);
         out["objects"] = objectListJson(list.head);
         return status;
       }},
      {"findByPath",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string repository = text(a, "repository", false), path = text(a, "path"),
                     type = text(a, "type", false);
         HandleList list;
         StatusCode status = findByPath(md, repository.data(), length(repository), path.data(),
                                        length(path), type.data(), length(type), &list.head);
         out["objects"] = objectListJson(list.head);
         return status;
       }},
      {"deleteAssociation",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string id = text(a, "id"), type = text(a, "type", false),
                     association = text(a, "association");
         return deleteAssociation(md, id.data(), length(id), type.data(), length(type),
                                  association.data(), length(association));
       }},
      {"deleteObject", onObject([](MetadataInterface* md, MetadataObject* o, const json&, json&) {
         return deleteObject(md, o);
       })},
      {"getNamespace",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string name = text(a, "name");
         MetadataNamespace* ns = nullptr;
         StatusCode status = getNamespace(md, name.data(), length(name), &ns);
         if (ns) {
           json types = json::array();
           for (NameNode* n = ns->typeNames; n; n = n->next) {
             types.push_back(textOf(n->name, n->nameLength));
           }
           out["name"] = textOf(ns->name, ns->nameLength);
           out["types"] = types;
           releaseNamespace(md, ns);
         }
         return status;
       }},
      {"newObject",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string related = text(a, "related", false),
                     association = text(a, "association", false),
                     repository = text(a, "repository", false);
         mdserver::ObjectRow draft;
         draft.type = text(a, "type");
         draft.name = text(a, "name", false);
         draft.description = text(a, "description", false);
         HandleList templateObject{handles(md, {draft})};
         StatusCode status = newObject(md, related.data(), length(related), association.data(),
                                       length(association), repository.data(),
                                       length(repository), templateObject.head);
         if (status == kStatusOk) {
           out["id"] = textOf(templateObject.head->identifier,
                              templateObject.head->identifierLength);
         }
         return status;
       }},
      {"listAssociationNames",
       onObject([](MetadataInterface*, MetadataObject* o, const json&, json& out) {
         NameNode* names = nullptr;
         StatusCode status = listAssociationNames(o, &names);
         json list = json::array();
         for (NameNode* n = names; n; n = n->next) list.push_back(textOf(n->name, n->nameLength));
         out["names"] = list;
         return status;
       })},
      {"getAssociation",
       onObject([](MetadataInterface*, MetadataObject* o, const json& a, json& out) {
         std::string name = text(a, "name");
         MetadataObject* list = nullptr;
         StatusCode status = getAssociation(o, name.data(), length(name), &list);
         out["objects"] = objectListJson(list);
         return status;
       })},
      {"getAttribute",
       onObject([](MetadataInterface*, MetadataObject* o, const json& a, json& out) {
         std::string name = text(a, "name");
         ValueText* value = nullptr;
         StatusCode status = getAttribute(o, name.data(), length(name), &value);
         if (value) out["value"] = textOf(value->text, value->length);
         return status;
       })},
      {"listAttributes",
       onObject([](MetadataInterface*, MetadataObject* o, const json&, json& out) {
         NameValueNode* list = nullptr;
         StatusCode status = listAttributes(o, &list);
         out["attributes"] = nameValues(list);
         return status;
       })},
      {"getProperty",
       onObject([](MetadataInterface*, MetadataObject* o, const json& a, json& out) {
         std::string name = text(a, "name");
         PropertyRecord* record = nullptr;
         StatusCode status = getProperty(o, name.data(), length(name), &record);
         if (record) {
           out["property"] = {{"name", textOf(record->name, record->nameLength)},
                              {"value", textOf(record->value, record->valueLength)},
                              {"id", textOf(record->identifier, record->identifierLength)},
                              {"typeCode", record->typeCode}};
         }
         return status;
       })},
      {"listProperties",
       onObject([](MetadataInterface*, MetadataObject* o, const json&, json& out) {
         NameValueNode* list = nullptr;
         StatusCode status = listProperties(o, &list);
         out["properties"] = nameValues(list);
         return status;
       })},
      {"setProperty",
       onObject([](MetadataInterface*, MetadataObject* o, const json& a, json& out) {
         std::string name = text(a, "name"), value = text(a, "value", false),
                     id = text(a, "id", false);
         if (id.size() > static_cast<size_t>(kIdentifierCapacity)) {
           throw BadArgument("argument 'id' is longer than 20 characters");
         }
         PropertyRecord record{};
         record.name = name.data();
         record.nameLength = length(name);
         record.value = value.data();
         record.valueLength = length(value);
         record.changeFlags = integer(a, "changeFlags", kPropertyValueChanged);
         record.typeCode = integer(a, "typeCode", kPropertyTypeCode);
         std::memcpy(record.identifier, id.data(), id.size());
         record.identifierLength = length(id);
         StatusCode status = setProperty(o, &record);
         if (status == kStatusOk) out["id"] = textOf(record.identifier, record.identifierLength);
         return status;
       })},
      {"setAttribute",
       onObject([](MetadataInterface*, MetadataObject* o, const json& a, json&) {
         std::string name = text(a, "name"), value = text(a, "value", false);
         AttributeRecord record{};
         record.name = name.data();
         record.nameLength = length(name);
         record.value = value.data();
         record.valueLength = length(value);
         record.changeFlags = 1;
         return setAttribute(o, &record);
       })},
      {"setAssociation",
       onObject([](MetadataInterface* md, MetadataObject* o, const json& a, json&) {
         std::string name = text(a, "name");
         const int32_t flag = integer(a, "flag", kAssociationReplace);
         std::vector<mdserver::ObjectRow> rows;
         auto targets = a.find("targets");
         if (targets != a.end() && !targets->is_null()) {
           if (!targets->is_array()) throw BadArgument("argument 'targets' is not a list");
           for (const json& target : *targets) rows.push_back(rowOf(target));
         }
         HandleList list;
         if (!rows.empty()) list.head = handles(md, rows);
         return setAssociation(o, name.data(), length(name), flag, list.head);
       })},
      // ---- security -------------------------------------------------------------------------
      {"beginTransaction",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string repository = text(a, "repository", false);
         TransactionHandle* handle = nullptr;
         StatusCode status = beginTransaction(md, repository.data(), length(repository),
                                              integer(a, "flags", 0), &handle);
         return beginAnswer(status, handle, md, out);
       }},
      {"endTransaction",
       [](MetadataInterface* md, const json& a, json&) {
         std::string repository = text(a, "repository", false);
         TransactionHandle* handle = transactionHandle(md, a);  // the end frees it
         return endTransaction(md, handle, repository.data(), length(repository),
                               integer(a, "flag", 0));
       }},
      {"listAuthorizations",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string reference = text(a, "reference", false),
                     permission = text(a, "permission", false);
         HandleGuard transaction{md, transactionHandle(md, a)};
         AuthorizationEntry* list = nullptr;
         StatusCode status = listAuthorizations(
             md, transaction.handle, reference.data(), length(reference), integer(a, "flags", 0),
             identityFilter(md, a), permission.data(), length(permission), &list);
         out["authorizations"] = authorizationsJson(list);
         if (list) releaseAuthorizations(md, list);
         return status;
       }},
      {"setAuthorization",
       [](MetadataInterface* md, const json& a, json&) {
         HandleGuard transaction{md, transactionHandle(md, a)};
         RequestHolder request(a);
         return setAuthorization(md, transaction.handle, integer(a, "flags", 0), &request.request);
       }},
      {"applyAct",
       [](MetadataInterface* md, const json& a, json&) {
         HandleGuard transaction{md, transactionHandle(md, a)};
         ReferenceHolder reference(md, a);
         return applyAct(md, transaction.handle, integer(a, "flags", 0), reference.reference);
       }},
      {"removeAct",
       [](MetadataInterface* md, const json& a, json&) {
         HandleGuard transaction{md, transactionHandle(md, a)};
         ReferenceHolder reference(md, a);
         return removeAct(md, transaction.handle, integer(a, "flags", 0), reference.reference);
       }},
      {"deleteAct",
       [](MetadataInterface* md, const json& a, json&) {
         HandleGuard transaction{md, transactionHandle(md, a)};
         ReferenceHolder reference(md, a);
         return deleteAct(md, transaction.handle, reference.reference);
       }},
      {"listActAttributes",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string reference = text(a, "reference");
         HandleGuard transaction{md, transactionHandle(md, a)};
         AttributeEntry* list = nullptr;
         StatusCode status = listActAttributes(md, transaction.handle, reference.data(),
                                               length(reference), &list);
         out["attributes"] = attributeEntriesJson(list);
         if (list) releaseAttributeList(md, list);
         return status;
       }},
      {"setActAttribute",
       [](MetadataInterface* md, const json& a, json&) {
         std::string reference = text(a, "reference");
         HandleGuard transaction{md, transactionHandle(md, a)};
         AttributeHolder attribute(json::array({json::array({text(a, "name", false),
                                                             text(a, "value", false)})}));
         return setActAttribute(md, transaction.handle, reference.data(), length(reference),
                                attribute.head());
       }},
      {"newAct",
       [](MetadataInterface* md, const json& a, json&) {
         std::string repository = text(a, "repository", false);
         HandleGuard transaction{md, transactionHandle(md, a)};
         AttributeHolder attributes(a.value("attributes", json::array()));
         return newAct(md, transaction.handle, repository.data(), length(repository),
                       attributes.head());
       }},
      {"listActsById",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string id = text(a, "text");
         HandleGuard transaction{md, transactionHandle(md, a)};
         ActEntry* list = nullptr;  // the interface's: freed with it
         StatusCode status = listActsById(md, transaction.handle, id.data(), length(id),
                                          integer(a, "flags", 0), &list);
         out["acts"] = actsJson(list);
         return status;
       }},
      {"listLogins",
       [](MetadataInterface* md, const json& a, json& out) {
         std::string domain = text(a, "domain", false), prefix = text(a, "prefix", false);
         ListingOptions options{integer(a, "maximum", 0), integer(a, "groupLogins", 0),
                                integer(a, "prefixMatchesOwner", 0), integer(a, "orderByOwner", 0)};
         LoginEntry* list = nullptr;
         StatusCode status = listLogins(md, domain.data(), length(domain), prefix.data(),
                                        length(prefix), &options, &list);
         json logins = json::array();
         for (LoginEntry* e = list; e; e = e->next) logins.push_back(textPairs(e->texts, 6));
         out["logins"] = logins;
         if (list) releaseLoginList(md, list);
         return status;
       }},
      {"repoListIdentities",
       onObject([](MetadataInterface* md, MetadataObject* o, const json& a, json& out) {
         HandleGuard transaction{md, transactionHandle(md, a)};
         IdentityEntry* list = nullptr;  // the object's: freed with it
         StatusCode status = repoListIdentities(o, transaction.handle, integer(a, "flags", 0), &list);
         out["identities"] = identitiesJson(list);
         return status;
       })},
      {"repoListActs",
       onObject([](MetadataInterface* md, MetadataObject* o, const json& a, json& out) {
         HandleGuard transaction{md, transactionHandle(md, a)};
         ActEntry* list = nullptr;  // the interface's: freed with it
         StatusCode status = repoListActs(o, transaction.handle, integer(a, "flags", 0), &list);
         out["acts"] = actsJson(list);
         return status;
       })},
      {"repoListAuthorizations",
       onObject([](MetadataInterface* md, MetadataObject* o, const json& a, json& out) {
         std::string permission = text(a, "permission", false);
         HandleGuard transaction{md, transactionHandle(md, a)};
         AuthorizationEntry* list = nullptr;
         StatusCode status = repoListAuthorizations(o, transaction.handle, integer(a, "flags", 0),
                                                    identityFilter(md, a), permission.data(),
                                                    length(permission), &list);
         out["authorizations"] = authorizationsJson(list);
         if (list) releaseAuthorizations(md, list);
         return status;
       })},
      {"repoApplyAct",
       onObject([](MetadataInterface* md, MetadataObject* o, const json& a, json&) {
         HandleGuard transaction{md, transactionHandle(md, a)};
         ReferenceHolder reference(md, a);
         return repoApplyAct(o, transaction.handle, integer(a, "flags", 0), reference.reference);
       })},
      {"repoRemoveAct",
       onObject([](MetadataInterface* md, MetadataObject* o, const json& a, json&) {
         HandleGuard transaction{md, transactionHandle(md, a)};
         ReferenceHolder reference(md, a);
         return repoRemoveAct(o, transaction.handle, integer(a, "flags", 0), reference.reference);
       })},
      {"repoSetAuthorization",
       onObject([](MetadataInterface* md, MetadataObject* o, const json& a, json&) {
         HandleGuard transaction{md, transactionHandle(md, a)};
         RequestHolder request(a);
         return repoSetAuthorization(o, transaction.handle, integer(a, "flags", 0),
                                     &request.request);
       })},
      {"repoBeginTransaction",
       onObject([](MetadataInterface* md, MetadataObject* o, const json& a, json& out) {
         TransactionHandle* handle = nullptr;
         StatusCode status = repoBeginTransaction(o, integer(a, "flags", 0), &handle);
         return beginAnswer(status, handle, md, out);
       })},
      {"repoEndTransaction",
       onObject([](MetadataInterface* md, MetadataObject* o, const json& a, json&) {
         return repoEndTransaction(o, transactionHandle(md, a), integer(a, "flag", 0));
       })},
  };
  return operations;
}

}  // namespace

const std::vector<std::string>& servedOperations() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const auto& [name, operation] : table()) out.push_back(name);
    return out;
  }();
  return names;
}

bool isServedOperation(const std::string& name) { return table().count(name) != 0; }

json runOperation(MetadataInterface* md, const std::string& operation, const json& arguments) {
  json out = json::object();
  auto found = table().find(operation);
  StatusCode status = kStatusOk;
  std::string error;
  if (found == table().end()) {
    status = kStatusInvalidArgument;
    error = "no operation '" + operation + "'";
  } else if (!arguments.is_object()) {
    status = kStatusInvalidArgument;
    error = operation + ": the arguments are not a JSON object";
  } else {
    try {
      // The lists an object hands out are kept by the client while nothing stored changed, as
      // in-process: it is told a stamp of the repository's change count, read before the
      // operation so that a change made meanwhile can only make the client build its list anew.
      if (operation == "listAttributes" || operation == "listProperties" ||
          operation == "listAssociationNames" || operation == "getAssociation") {
        const uint64_t stamp =
            listStamp(mdserver::ClientInterface::fromAbi(md)->repository().changeCount());
        if (stamp != 0) out["changes"] = stamp;
      }
      status = found->second(md, arguments, out);
      if (status != kStatusOk) error = mdserver::ClientInterface::fromAbi(md)->lastErrorText();
    } catch (const BadArgument& e) {
      out = json::object();
      status = kStatusInvalidArgument;
      error = operation + ": " + e.what();
    } catch (const std::bad_alloc&) {
      out = json::object();
      status = kStatusNoMemory;
      error = operation + ": the interface pool is exhausted";
    } catch (const json::exception& e) {
      out = json::object();
      status = kStatusInvalidArgument;
      error = operation + ": an argument has the wrong form";
    }
  }
  out["status"] = status;
  if (status != kStatusOk) out["error"] = error;
  return out;
}

}  // namespace mdserver_net
