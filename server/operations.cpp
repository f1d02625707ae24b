#include "server/operations.h"

#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>

#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"

namespace mdserver_net {
namespace {

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
MetadataObject* handles(MetadataInterface* md, const std::vector<mdserver::ObjectRow>& rows) {
  mdserver::ClientInterface* ci = mdserver::ClientInterface::fromAbi(md);
  MetadataObject* head = nullptr;
  if (ci->buildList(rows, &head) != kStatusOk) throw std::bad_alloc();
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
