#include "host/remote_interface.h"

#include <cstdlib>
#include <cctype>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace refhost {
namespace {

using nlohmann::json;

std::string textOf(const char* text, int32_t length) {
  return text && length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string();
}

// ---------------------------------------------------------------------------------------------
// The pool: zero-filled blocks, counted, and a release of a block it never gave out (or took
// back already) counted instead of freed.
// ---------------------------------------------------------------------------------------------
class RemotePool {
 public:
  RemotePool() {
    abi_.allocate = &allocateEntry;
    abi_.release = &releaseEntry;
    abi_.serverPrivate[0] = this;
  }
  ~RemotePool() {
    for (auto& [block, size] : live_) std::free(block);
  }
  MetadataPool* abi() { return &abi_; }
  void* allocate(uint64_t size) {
    if (failAt_ != 0 && ++seen_ == failAt_) {
      failAt_ = 0;
      ++failedAllocations_;
      return nullptr;
    }
    void* block = std::calloc(1, size == 0 ? 1 : size);
    if (!block) return nullptr;
    live_.emplace(block, size);
    bytes_ += size;
    return block;
  }
  void release(void* block) {
    if (!block) return;
    auto found = live_.find(block);
    if (found == live_.end()) {
      ++invalidReleases_;
      return;
    }
    bytes_ -= found->second;
    live_.erase(found);
    std::free(block);
  }
  char* copyText(const std::string& text) {
    auto* copy = static_cast<char*>(allocate(text.size() + 1));
    if (copy) std::memcpy(copy, text.data(), text.size());
    return copy;
  }
  uint64_t blocks() const { return live_.size(); }
  uint64_t bytes() const { return bytes_; }
  uint64_t invalidReleases() const { return invalidReleases_; }
  uint64_t failedAllocations() const { return failedAllocations_; }
  // Request k (counted from now) fails; 0: none does.
  void failAllocationAt(uint64_t k) {
    failAt_ = k;
    seen_ = 0;
  }

 private:
  static void* allocateEntry(MetadataPool* pool, uint64_t size, uint32_t) {
    return static_cast<RemotePool*>(pool->serverPrivate[0])->allocate(size);
  }
  static void releaseEntry(MetadataPool* pool, void* block) {
    static_cast<RemotePool*>(pool->serverPrivate[0])->release(block);
  }
  MetadataPool abi_{};
  std::unordered_map<void*, uint64_t> live_;
  uint64_t bytes_ = 0;
  uint64_t invalidReleases_ = 0;
  uint64_t failAt_ = 0;
  uint64_t seen_ = 0;
  uint64_t failedAllocations_ = 0;
};

enum class ResultKind { kNameValueList, kNameList, kObjectList, kValueText, kPropertyRecord,
                        kIdentityList };

// One result an object handed out; a list with the server's change count it was built at.
struct HeldResult {
  ResultKind kind;
  void* result;
  uint64_t changes;
};

// Names of attributes, properties and associations are one name whatever their case.
std::string foldedKey(const std::string& key) {
  std::string folded = key;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

// The server's stamp of the repository's state an answer was built at; 0 (never kept) when it
// gave none.
uint64_t changesOf(const json& answer, StatusCode status) {
  if (status != kStatusOk) return 0;
  auto found = answer.find("changes");
  return found != answer.end() && found->is_number_unsigned() ? found->get<uint64_t>() : 0;
}

// What an object handed out, by operation and name; hung on the object's serverPrivate[0].
struct ObjectResults {
  std::map<std::string, HeldResult> results;
};

void* const* remoteObjectTable();
void installMembers(MetadataInterface& abi);

class RemoteInterface {
 public:
  RemoteInterface(RemoteConnection& connection, RemoteInterfaceHooks hooks)
      : connection_(connection), hooks_(std::move(hooks)) {
    abi_.members[0] = this;
    abi_.members[interface_member::kPool] = pool_.abi();
    abi_.members[interface_member::kObjectOperations] = const_cast<void**>(remoteObjectTable());
    installMembers(abi_);
  }

  static RemoteInterface* of(MetadataInterface* md) {
    return md ? static_cast<RemoteInterface*>(md->members[0]) : nullptr;
  }
  static RemoteInterface* of(const MetadataObject* object) {
    return object ? of(object->owner) : nullptr;
  }
  MetadataInterface* abi() { return &abi_; }
  RemotePool& pool() { return pool_; }
  RemoteConnection& connection() { return connection_; }
  const std::map<std::string, uint64_t>& calls() const { return calls_; }
  const std::string& lastErrorText() const { return lastErrorText_; }

  void count(const char* operation) { ++calls_[operation]; }

  // One operation on the server; the status it answered in *status.
  json call(const char* operation, const json& arguments, StatusCode* status) {
    count(operation);
    json answer = connection_.call(operation, arguments);
    *status = answer.value("status", kRemoteUnavailable);
    if (*status != kStatusOk) {
      lastErrorText_ = answer.value("error", std::string());
      if (*status != kStatusNoMatch && hooks_.failure) hooks_.failure(*status, lastErrorText_);
    }
    return answer;
  }

  // A pool list of objects as the server described them; null for none. Null with
  // kStatusNoMemory in *status when the pool fails.
  MetadataObject* buildList(const json& objects, StatusCode* status) {
    MetadataObject* head = nullptr;
    MetadataObject* tail = nullptr;
    if (!objects.is_array()) return nullptr;
    for (const json& described : objects) {
      auto* object = static_cast<MetadataObject*>(pool_.allocate(sizeof(MetadataObject)));
      if (!object) {
        releaseList(head);
        *status = kStatusNoMemory;
        return nullptr;
      }
      object->owner = &abi_;
      object->operations = remoteObjectTable();
      object->serverKey = described.value("key", int64_t{0});
      const std::string id = described.value("id", std::string());
      const size_t idLength = std::min<size_t>(id.size(), kIdentifierCapacity);
      std::memcpy(object->identifier, id.data(), idLength);
      object->identifierLength = static_cast<int32_t>(idLength);
      const std::string type = described.value("type", std::string());
      const std::string name = described.value("name", std::string());
      const std::string description = described.value("description", std::string());
      object->type = pool_.copyText(type);
      object->typeLength = static_cast<int32_t>(type.size());
      object->name = pool_.copyText(name);
      object->nameLength = static_cast<int32_t>(name.size());
      object->description = pool_.copyText(description);
      object->descriptionLength = static_cast<int32_t>(description.size());
      object->previous = tail;
      (tail ? tail->next : head) = object;
      tail = object;
      if (!object->type || !object->name || !object->description) {
        releaseList(head);
        *status = kStatusNoMemory;
        return nullptr;
      }
    }
    return head;
  }

  void trackHandedOut(MetadataObject* head) {
    if (head) handedOut_.insert(head);
  }
  void releaseList(MetadataObject* head) {
    if (!head) return;
    handedOut_.erase(head);
    while (head) {
      MetadataObject* next = head->next;
      freeObject(head);
      head = next;
    }
  }

  // The list the object handed out for key if it was built at this change count: while
  // nothing stored changed, asking again hands out the same list (a package walking a list by
  // index asks again for every index, and may still hold the earlier head). Null otherwise.
  void* sameList(MetadataObject* object, const std::string& key, uint64_t changes) {
    auto* results = static_cast<ObjectResults*>(object->serverPrivate[0]);
    if (!results || changes == 0) return nullptr;
    auto found = results->results.find(foldedKey(key));
    if (found == results->results.end() || found->second.changes != changes) return nullptr;
    return found->second.result;
  }

  void attach(MetadataObject* object, ResultKind kind, const std::string& name, void* result,
              uint64_t changes = 0) {
    const std::string key = foldedKey(name);
    auto* results = static_cast<ObjectResults*>(object->serverPrivate[0]);
    if (!results) {
      results = new ObjectResults;
      object->serverPrivate[0] = results;
      withResults_.insert(object);
    }
    auto found = results->results.find(key);
    if (found != results->results.end()) {
      freeResult(found->second.kind, found->second.result);
      results->results.erase(found);
    }
    if (result) results->results.emplace(key, HeldResult{kind, result, changes});
  }

  void freeResult(ResultKind kind, void* result) {
    switch (kind) {
      case ResultKind::kNameValueList:
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
        pool_.release(text->text);
        pool_.release(text);
        break;
      }
      case ResultKind::kPropertyRecord: {
        auto* record = static_cast<PropertyRecord*>(result);
        pool_.release(record->name);
        pool_.release(record->value);
        pool_.release(record);
        break;
      }
      case ResultKind::kIdentityList:
        for (auto* entry = static_cast<IdentityEntry*>(result); entry;) {
          IdentityEntry* next = entry->next;
          for (TextPair& pair : entry->texts) pool_.release(pair.text);
          pool_.release(entry);
          entry = next;
        }
        break;
    }
  }

  // The ACT list of the interface: freed by the next ACT listing, or at release.
  void replaceActList(ActEntry* list) {
    freeActs(actList_);
    actList_ = list;
  }
  void freeActs(ActEntry* list) {
    while (list) {
      ActEntry* next = list->next;
      for (TextPair& pair : list->texts) pool_.release(pair.text);
      pool_.release(list);
      list = next;
    }
  }
  // An authorization list a package kept in a repository handle (flag 0x100) goes with it.
  void freeAuthorizationList(AuthorizationEntry* list) {
    while (list) {
      AuthorizationEntry* next = list->next;
      freeResult(ResultKind::kIdentityList, list->identity);
      pool_.release(list->permission.text);
      pool_.release(list->condition.text);
      pool_.release(list);
      list = next;
    }
  }

  void freeObject(MetadataObject* object) {
    if ((object->flags & kRepositoryCachedAuthorizations) && object->cachedAuthorizations) {
      freeAuthorizationList(static_cast<AuthorizationEntry*>(object->cachedAuthorizations));
      object->cachedAuthorizations = nullptr;
    }
    if (auto* results = static_cast<ObjectResults*>(object->serverPrivate[0])) {
      if (withResults_.erase(object) != 0) {
        for (auto& [key, held] : results->results) freeResult(held.kind, held.result);
        delete results;
      }
      object->serverPrivate[0] = nullptr;
    }
    pool_.release(object->type);
    pool_.release(object->name);
    pool_.release(object->description);
    pool_.release(object);
  }

  void keepRepositoryList(RepositoryEntry* list) {
    freeRepositoryList(repositoryList_);
    repositoryList_ = list;
  }
  void freeRepositoryList(RepositoryEntry* list) {
    while (list) {
      RepositoryEntry* next = list->next;
      pool_.release(list->identifier);
      pool_.release(list->name);
      pool_.release(list->description);
      pool_.release(list);
      list = next;
    }
  }

  void shutDown() {
    count("releaseInterface");
    if (hooks_.released) {
      hooks_.released(RemoteReleaseSummary{&abi_, pool_.blocks(), pool_.bytes(), calls_});
    }
    while (!handedOut_.empty()) releaseList(*handedOut_.begin());
    keepRepositoryList(nullptr);
    replaceActList(nullptr);
    for (MetadataObject* object : withResults_) {
      auto* results = static_cast<ObjectResults*>(object->serverPrivate[0]);
      for (auto& [key, held] : results->results) freeResult(held.kind, held.result);
      delete results;
    }
    withResults_.clear();
    delete this;
  }

 private:
  MetadataInterface abi_{};
  RemoteConnection& connection_;
  RemoteInterfaceHooks hooks_;
  RemotePool pool_;
  std::map<std::string, uint64_t> calls_;
  std::string lastErrorText_;
  std::unordered_set<MetadataObject*> handedOut_;
  std::unordered_set<MetadataObject*> withResults_;
  RepositoryEntry* repositoryList_ = nullptr;
  ActEntry* actList_ = nullptr;
};

json objectJson(const MetadataObject* object) {
  return {{"id", textOf(object->identifier, object->identifierLength)},
          {"type", textOf(object->type, object->typeLength)},
          {"name", textOf(object->name, object->nameLength)},
          {"description", textOf(object->description, object->descriptionLength)},
          {"key", object->serverKey}};
}

// ---------------------------------------------------------------------------------------------
// Interface members.
// ---------------------------------------------------------------------------------------------
StatusCode releaseInterfaceOp(MetadataInterface* md) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!ri) return kRemoteInvalidArgument;
  ri->shutDown();
  return kStatusOk;
}

StatusCode listRepositoriesOp(MetadataInterface* md, RepositoryEntry** out) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!out) return kRemoteInvalidArgument;
  *out = nullptr;
  StatusCode status = kStatusOk;
  json answer = ri->call("listRepositories", json::object(), &status);
  if (status != kStatusOk) return status;
  RepositoryEntry* head = nullptr;
  RepositoryEntry** link = &head;
  RemotePool& pool = ri->pool();
  for (const json& entry : answer.value("repositories", json::array())) {
    auto* record = static_cast<RepositoryEntry*>(pool.allocate(sizeof(RepositoryEntry)));
    if (record) {
      *link = record;
      link = &record->next;
      const std::string id = entry.value("id", ""), name = entry.value("name", ""),
                        description = entry.value("description", "");
      record->identifier = pool.copyText(id);
      record->identifierLength = static_cast<int32_t>(id.size());
      record->name = pool.copyText(name);
      record->nameLength = static_cast<int32_t>(name.size());
      record->description = pool.copyText(description);
      record->descriptionLength = static_cast<int32_t>(description.size());
    }
    if (!record || !record->identifier || !record->name || !record->description) {
      ri->freeRepositoryList(head);
      return kStatusNoMemory;
    }
  }
  ri->keepRepositoryList(head);
  *out = head;
  return kStatusOk;
}

int32_t isPausedOp(MetadataInterface* md) {
  StatusCode status = kStatusOk;
  json answer = RemoteInterface::of(md)->call("isPaused", json::object(), &status);
  return status == kStatusOk ? answer.value("value", 0) : 0;
}

double serverVersionOp(MetadataInterface* md) {
  StatusCode status = kStatusOk;
  json answer = RemoteInterface::of(md)->call("serverVersion", json::object(), &status);
  return status == kStatusOk ? answer.value("value", 0.0) : 0.0;
}

StatusCode freeTextOp(MetadataInterface* md, ValueText* text) {
  RemoteInterface* ri = RemoteInterface::of(md);
  ri->count("freeText");
  if (text) ri->freeResult(ResultKind::kValueText, text);
  return kStatusOk;
}

// The login this interface acts for: the user, and the password mdhost was given for it. Asked
// of the interface in-process too; nothing goes over the network.
StatusCode getCredentialsOp(MetadataInterface* md, int64_t, char** user, int32_t* userLength,
                            char** password, int32_t* passwordLength);

StatusCode freeCredentialsOp(MetadataInterface* md, char* user, char* password) {
  RemoteInterface* ri = RemoteInterface::of(md);
  ri->count("freeCredentials");
  ri->pool().release(user);
  ri->pool().release(password);
  return kStatusOk;
}

StatusCode objectListAnswer(RemoteInterface* ri, const char* operation, const json& arguments,
                            MetadataObject** out) {
  StatusCode status = kStatusOk;
  json answer = ri->call(operation, arguments, &status);
  StatusCode built = kStatusOk;
  MetadataObject* list = ri->buildList(answer.value("objects", json::array()), &built);
  if (built != kStatusOk) return built;
  ri->trackHandedOut(list);
  *out = list;
  return status;
}

StatusCode resolveInRepositoryOp(MetadataInterface* md, const char* repository,
                                 int32_t repositoryLength, const char* query, int32_t queryLength,
                                 int64_t, MetadataObject** out) {
  if (!out) return kRemoteInvalidArgument;
  *out = nullptr;
  return objectListAnswer(RemoteInterface::of(md), "resolveInRepository",
                          {{"repository", textOf(repository, repositoryLength)},
                           {"query", textOf(query, queryLength)}},
                          out);
}

StatusCode resolveUriOp(MetadataInterface* md, int64_t, int64_t, const char* text,
                        int32_t length, int32_t, MetadataObject** out) {
  if (!out) return kRemoteInvalidArgument;
  *out = nullptr;
  return objectListAnswer(RemoteInterface::of(md), "resolveUri", {{"uri", textOf(text, length)}},
                          out);
}

StatusCode findByPathOp(MetadataInterface* md, const char* repository, int32_t repositoryLength,
                        const char* path, int32_t pathLength, const char* type,
                        int32_t typeLength, MetadataObject** out) {
  if (!out) return kRemoteInvalidArgument;
  *out = nullptr;
  return objectListAnswer(RemoteInterface::of(md), "findByPath",
                          {{"repository", textOf(repository, repositoryLength)},
                           {"path", textOf(path, pathLength)},
                           {"type", textOf(type, typeLength)}},
                          out);
}

StatusCode getAppPropertyOp(MetadataInterface* md, const char* application,
                            int32_t applicationLength, const char* property,
                            int32_t propertyLength, ValueText** out) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!out) return kRemoteInvalidArgument;
  *out = nullptr;
  StatusCode status = kStatusOk;
  json answer = ri->call("getAppProperty",
                         {{"application", textOf(application, applicationLength)},
                          {"property", textOf(property, propertyLength)}},
                         &status);
  if (status != kStatusOk || !answer.contains("value")) return status;
  const std::string value = answer.value("value", "");
  auto* text = static_cast<ValueText*>(ri->pool().allocate(sizeof(ValueText)));
  char* copy = ri->pool().copyText(value);
  if (!text || !copy) {
    ri->pool().release(text);
    ri->pool().release(copy);
    return kStatusNoMemory;
  }
  text->text = copy;
  text->length = static_cast<int32_t>(value.size());
  *out = text;
  return kStatusOk;
}

StatusCode freeObjectListOp(MetadataInterface* md, MetadataObject* list) {
  RemoteInterface* ri = RemoteInterface::of(md);
  ri->count("freeObjectList");
  ri->releaseList(list);
  return kStatusOk;
}

StatusCode deleteAssociationOp(MetadataInterface* md, const char* identifier,
                               int32_t identifierLength, const char* type, int32_t typeLength,
                               const char* association, int32_t associationLength) {
  StatusCode status = kStatusOk;
  RemoteInterface::of(md)->call("deleteAssociation",
                                {{"id", textOf(identifier, identifierLength)},
                                 {"type", textOf(type, typeLength)},
                                 {"association", textOf(association, associationLength)}},
                                &status);
  return status;
}

StatusCode deleteObjectOp(MetadataInterface* md, MetadataObject* object) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!object) {
    ri->count("deleteObject");
    return kRemoteInvalidArgument;
  }
  StatusCode status = kStatusOk;
  ri->call("deleteObject", {{"object", objectJson(object)}}, &status);
  return status;
}

StatusCode getNamespaceOp(MetadataInterface* md, const char* name, int32_t length,
                          MetadataNamespace** out) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!out) return kRemoteInvalidArgument;
  *out = nullptr;
  StatusCode status = kStatusOk;
  json answer = ri->call("getNamespace", {{"name", textOf(name, length)}}, &status);
  if (status != kStatusOk) return status;
  RemotePool& pool = ri->pool();
  auto* ns = static_cast<MetadataNamespace*>(pool.allocate(sizeof(MetadataNamespace)));
  if (!ns) return kStatusNoMemory;
  ns->owner = md;
  const std::string nsName = answer.value("name", "");
  ns->name = pool.copyText(nsName);
  ns->nameLength = static_cast<int32_t>(nsName.size());
  NameNode** link = &ns->typeNames;
  bool complete = ns->name != nullptr;
  for (const json& type : answer.value("types", json::array())) {
    auto* node = static_cast<NameNode*>(pool.allocate(sizeof(NameNode)));
    if (!node) {
      complete = false;
      break;
    }
    *link = node;
    link = &node->next;
    const std::string typeName = type.is_string() ? type.get<std::string>() : std::string();
    node->name = pool.copyText(typeName);
    node->nameLength = static_cast<int32_t>(typeName.size());
    if (!node->name) {
      complete = false;
      break;
    }
  }
  if (!complete) {
    ri->freeResult(ResultKind::kNameList, ns->typeNames);
    pool.release(ns->name);
    pool.release(ns);
    return kStatusNoMemory;
  }
  *out = ns;
  return kStatusOk;
}

StatusCode releaseNamespaceOp(MetadataInterface* md, MetadataNamespace* ns) {
  RemoteInterface* ri = RemoteInterface::of(md);
  ri->count("releaseNamespace");
  if (!ns) return kStatusOk;
  ri->freeResult(ResultKind::kNameList, ns->typeNames);
  ri->pool().release(ns->name);
  ri->pool().release(ns);
  return kStatusOk;
}

StatusCode newObjectOp(MetadataInterface* md, const char* related, int32_t relatedLength, int64_t,
                       int64_t, const char* association, int32_t associationLength,
                       const char* repository, int32_t repositoryLength, int64_t,
                       MetadataObject* templateObject) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!templateObject) {
    ri->count("newObject");
    return kRemoteInvalidArgument;
  }
  StatusCode status = kStatusOk;
  json answer = ri->call(
      "newObject",
      {{"related", textOf(related, relatedLength)},
       {"association", textOf(association, associationLength)},
       {"repository", textOf(repository, repositoryLength)},
       {"type", textOf(templateObject->type, templateObject->typeLength)},
       {"name", textOf(templateObject->name, templateObject->nameLength)},
       {"description", textOf(templateObject->description, templateObject->descriptionLength)}},
      &status);
  if (status != kStatusOk) return status;
  const std::string id = answer.value("id", "");
  std::memset(templateObject->identifier, 0, sizeof templateObject->identifier);
  std::memcpy(templateObject->identifier, id.data(), std::min<size_t>(id.size(), 20));
  templateObject->identifierLength = static_cast<int32_t>(std::min<size_t>(id.size(), 20));
  return kStatusOk;
}

// ---------------------------------------------------------------------------------------------
// Security members. A transaction is named by its text; the server keeps what it staged with
// the session, so the handle here holds nothing but the text.
// ---------------------------------------------------------------------------------------------
json transactionText(const TransactionHandle* handle) {
  return handle ? textOf(handle->text, handle->length) : std::string();
}

// Frees a handle an end operation was given, on every path.
void freeHandle(RemoteInterface* ri, TransactionHandle* handle) {
  if (!handle) return;
  ri->pool().release(handle->text);
  ri->pool().release(handle->attachment);
  ri->pool().release(handle);
}

StatusCode deliverHandle(RemoteInterface* ri, const json& answer, StatusCode status,
                         TransactionHandle** out) {
  if (status != kStatusOk) return status;
  const std::string text = answer.value("transaction", "");
  auto* handle = static_cast<TransactionHandle*>(ri->pool().allocate(sizeof(TransactionHandle)));
  char* copy = ri->pool().copyText(text);
  if (!handle || !copy) {
    ri->pool().release(handle);
    ri->pool().release(copy);
    return kStatusNoMemory;
  }
  handle->owner = ri->abi();
  handle->text = copy;
  handle->length = static_cast<int32_t>(text.size());
  *out = handle;
  return kStatusOk;
}

json filterJson(RemoteInterface* ri, IdentityEntry* filter) {
  json out = json::array();
  for (IdentityEntry* e = filter; e; e = e->next) {
    json texts = json::array();
    for (const TextPair& pair : e->texts) texts.push_back(textOf(pair.text, pair.length));
    out.push_back(texts);
  }
  return out;
}

void freeIdentities(RemoteInterface* ri, IdentityEntry* list) {
  while (list) {
    IdentityEntry* next = list->next;
    for (TextPair& pair : list->texts) ri->pool().release(pair.text);
    ri->pool().release(list);
    list = next;
  }
}

void freeAuthorizations(RemoteInterface* ri, AuthorizationEntry* list) {
  while (list) {
    AuthorizationEntry* next = list->next;
    freeIdentities(ri, list->identity);
    ri->pool().release(list->permission.text);
    ri->pool().release(list->condition.text);
    ri->pool().release(list);
    list = next;
  }
}

template <typename Entry>
void freeTextEntries(RemoteInterface* ri, Entry* list) {
  while (list) {
    Entry* next = list->next;
    for (TextPair& pair : list->texts) ri->pool().release(pair.text);
    ri->pool().release(list);
    list = next;
  }
}

void freeAttributeEntries(RemoteInterface* ri, AttributeEntry* list) {
  while (list) {
    AttributeEntry* next = list->next;
    ri->pool().release(list->name);
    ri->pool().release(list->value);
    ri->pool().release(list);
    list = next;
  }
}

bool fillPair(RemoteInterface* ri, TextPair& pair, const json& value) {
  const std::string text = value.is_string() ? value.get<std::string>() : std::string();
  pair.text = ri->pool().copyText(text);
  pair.length = static_cast<int32_t>(text.size());
  return pair.text != nullptr;
}

// A list of entries with `count` texts each, from arrays of texts; null with *failed on a
// pool failure.
template <typename Entry>
Entry* textEntries(RemoteInterface* ri, const json& rows, size_t count, bool* failed) {
  Entry* head = nullptr;
  Entry** link = &head;
  Entry* previous = nullptr;
  for (const json& row : rows) {
    auto* entry = static_cast<Entry*>(ri->pool().allocate(sizeof(Entry)));
    if (!entry) {
      *failed = true;
      break;
    }
    *link = entry;
    link = &entry->next;
    if constexpr (requires { entry->previous; }) entry->previous = previous;
    previous = entry;
    for (size_t i = 0; i < count; ++i) {
      if (!fillPair(ri, entry->texts[i], i < row.size() ? row[i] : json())) *failed = true;
    }
    if (*failed) break;
  }
  if (*failed) {
    freeTextEntries(ri, head);
    return nullptr;
  }
  return head;
}

StatusCode authorizationsAnswer(RemoteInterface* ri, const json& answer, StatusCode status,
                                AuthorizationEntry** out) {
  if (status != kStatusOk) return status;
  AuthorizationEntry* head = nullptr;
  AuthorizationEntry** link = &head;
  bool failed = false;
  for (const json& row : answer.value("authorizations", json::array())) {
    auto* entry = static_cast<AuthorizationEntry*>(ri->pool().allocate(sizeof(AuthorizationEntry)));
    if (!entry) {
      failed = true;
      break;
    }
    *link = entry;
    link = &entry->next;
    entry->code = row.value("code", 0);
    entry->identity = textEntries<IdentityEntry>(
        ri, json::array({row.value("identity", json::array())}), 4, &failed);
    if (!fillPair(ri, entry->permission, row.value("permission", "")) ||
        !fillPair(ri, entry->condition, row.value("condition", ""))) {
      failed = true;
    }
    if (failed) break;
  }
  if (failed) {
    freeAuthorizations(ri, head);
    return kStatusNoMemory;
  }
  *out = head;
  return kStatusOk;
}

StatusCode beginTransactionOp(MetadataInterface* md, const char* repository, int32_t length,
                              int32_t flags, TransactionHandle** out) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!out) return kRemoteInvalidArgument;
  *out = nullptr;
  StatusCode status = kStatusOk;
  json answer = ri->call("beginTransaction",
                         {{"repository", textOf(repository, length)}, {"flags", flags}}, &status);
  return deliverHandle(ri, answer, status, out);
}

StatusCode endTransactionOp(MetadataInterface* md, TransactionHandle* handle,
                            const char* repository, int32_t length, int32_t flag) {
  RemoteInterface* ri = RemoteInterface::of(md);
  StatusCode status = kStatusOk;
  ri->call("endTransaction",
           {{"transaction", transactionText(handle)},
            {"repository", textOf(repository, length)},
            {"flag", flag}},
           &status);
  freeHandle(ri, handle);
  return status;
}

void releaseIdentityFilterOp(MetadataInterface* md, IdentityEntry* filter) {
  RemoteInterface* ri = RemoteInterface::of(md);
  ri->count("releaseIdentityFilter");
  freeIdentities(ri, filter);
}

StatusCode listAuthorizationsOp(MetadataInterface* md, TransactionHandle* transaction,
                                const char* reference, int32_t length, int32_t flags,
                                IdentityEntry* filter, const char* permission,
                                int32_t permissionLength, AuthorizationEntry** out) {
  RemoteInterface* ri = RemoteInterface::of(md);
  json arguments = {{"transaction", transactionText(transaction)},
                    {"reference", textOf(reference, length)},
                    {"flags", flags},
                    {"filter", filterJson(ri, filter)},
                    {"permission", textOf(permission, permissionLength)}};
  freeIdentities(ri, filter);  // the listing's, on every path
  if (!out) {
    ri->count("listAuthorizations");
    return kRemoteInvalidArgument;
  }
  *out = nullptr;
  StatusCode status = kStatusOk;
  json answer = ri->call("listAuthorizations", arguments, &status);
  return authorizationsAnswer(ri, answer, status, out);
}

json requestJson(const AuthorizationRequest* request) {
  json identity = json::array();
  if (request->identity) {
    identity.push_back(textOf(request->identity->text1, request->identity->length1));
    identity.push_back(textOf(request->identity->text2, request->identity->length2));
  }
  return {{"identity", identity},
          {"grantCode", request->grantCode},
          {"permission", textOf(request->permission, request->permissionLength)},
          {"condition", textOf(request->condition, request->conditionLength)}};
}

StatusCode setAuthorizationOp(MetadataInterface* md, TransactionHandle* transaction, const char*,
                              int32_t, int32_t flags, AuthorizationRequest* request) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!request) {
    ri->count("setAuthorization");
    return kRemoteInvalidArgument;
  }
  json arguments = requestJson(request);
  arguments["transaction"] = transactionText(transaction);
  arguments["flags"] = flags;
  StatusCode status = kStatusOk;
  ri->call("setAuthorization", arguments, &status);
  return status;
}

std::string referenceText(const ActReference* reference) {
  return reference ? textOf(reference->text, reference->length) : std::string();
}

StatusCode actChange(MetadataInterface* md, const char* operation, TransactionHandle* transaction,
                     int32_t flags, ActReference* reference) {
  StatusCode status = kStatusOk;
  RemoteInterface::of(md)->call(operation,
                                {{"transaction", transactionText(transaction)},
                                 {"flags", flags},
                                 {"reference", referenceText(reference)}},
                                &status);
  return status;
}

StatusCode applyActOp(MetadataInterface* md, TransactionHandle* transaction, const char*, int32_t,
                      int32_t flags, ActReference* reference) {
  return actChange(md, "applyAct", transaction, flags, reference);
}
StatusCode removeActOp(MetadataInterface* md, TransactionHandle* transaction, const char*,
                       int32_t, int32_t flags, ActReference* reference) {
  return actChange(md, "removeAct", transaction, flags, reference);
}
StatusCode deleteActOp(MetadataInterface* md, TransactionHandle* transaction,
                       ActReference* reference) {
  return actChange(md, "deleteAct", transaction, 0, reference);
}

void releaseAuthorizationsOp(MetadataInterface* md, AuthorizationEntry* list) {
  RemoteInterface* ri = RemoteInterface::of(md);
  ri->count("releaseAuthorizations");
  freeAuthorizations(ri, list);
}

StatusCode listActAttributesOp(MetadataInterface* md, TransactionHandle* transaction,
                               const char* reference, int32_t length, AttributeEntry** out) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!out) {
    ri->count("listActAttributes");
    return kRemoteInvalidArgument;
  }
  *out = nullptr;
  StatusCode status = kStatusOk;
  json answer = ri->call("listActAttributes",
                         {{"transaction", transactionText(transaction)},
                          {"reference", textOf(reference, length)}},
                         &status);
  if (status != kStatusOk) return status;
  AttributeEntry* head = nullptr;
  AttributeEntry* tail = nullptr;
  for (const json& pair : answer.value("attributes", json::array())) {
    auto* entry = static_cast<AttributeEntry*>(ri->pool().allocate(sizeof(AttributeEntry)));
    const std::string name = pair.size() == 2 && pair[0].is_string() ? pair[0].get<std::string>() : "";
    const std::string value = pair.size() == 2 && pair[1].is_string() ? pair[1].get<std::string>() : "";
    if (entry) {
      entry->previous = tail;
      (tail ? tail->next : head) = entry;
      tail = entry;
      entry->name = ri->pool().copyText(name);
      entry->nameLength = static_cast<int32_t>(name.size());
      entry->value = ri->pool().copyText(value);
      entry->valueLength = static_cast<int32_t>(value.size());
    }
    if (!entry || !entry->name || !entry->value) {
      freeAttributeEntries(ri, head);
      return kStatusNoMemory;
    }
  }
  *out = head;
  return kStatusOk;
}

void releaseAttributeListOp(MetadataInterface* md, AttributeEntry* list) {
  RemoteInterface* ri = RemoteInterface::of(md);
  ri->count("releaseAttributeList");
  freeAttributeEntries(ri, list);
}

StatusCode setActAttributeOp(MetadataInterface* md, TransactionHandle* transaction,
                             const char* reference, int32_t length, AttributeEntry* attribute) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!attribute) {
    ri->count("setActAttribute");
    return kRemoteInvalidArgument;
  }
  StatusCode status = kStatusOk;
  ri->call("setActAttribute",
           {{"transaction", transactionText(transaction)},
            {"reference", textOf(reference, length)},
            {"name", textOf(attribute->name, attribute->nameLength)},
            {"value", textOf(attribute->value, attribute->valueLength)}},
           &status);
  return status;
}

StatusCode newActOp(MetadataInterface* md, TransactionHandle* transaction, const char* repository,
                    int32_t length, AttributeEntry* attributes) {
  json pairs = json::array();
  for (AttributeEntry* a = attributes; a; a = a->next) {
    pairs.push_back({textOf(a->name, a->nameLength), textOf(a->value, a->valueLength)});
  }
  StatusCode status = kStatusOk;
  RemoteInterface::of(md)->call("newAct",
                                {{"transaction", transactionText(transaction)},
                                 {"repository", textOf(repository, length)},
                                 {"attributes", pairs}},
                                &status);
  return status;
}

StatusCode actListAnswer(RemoteInterface* ri, const json& answer, StatusCode status,
                         ActEntry** out) {
  if (status != kStatusOk) return status;
  bool failed = false;
  ActEntry* list = textEntries<ActEntry>(ri, answer.value("acts", json::array()), 5, &failed);
  if (failed) return kStatusNoMemory;
  ri->replaceActList(list);
  *out = list;
  return kStatusOk;
}

StatusCode listActsByIdOp(MetadataInterface* md, TransactionHandle* transaction, const char* text,
                          int32_t length, int32_t flags, ActEntry** out) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!out) {
    ri->count("listActsById");
    return kRemoteInvalidArgument;
  }
  *out = nullptr;
  StatusCode status = kStatusOk;
  json answer = ri->call("listActsById",
                         {{"transaction", transactionText(transaction)},
                          {"text", textOf(text, length)},
                          {"flags", flags}},
                         &status);
  return actListAnswer(ri, answer, status, out);
}

StatusCode listLoginsOp(MetadataInterface* md, const char* text1, int32_t length1,
                        const char* text2, int32_t length2, ListingOptions* options,
                        LoginEntry** out) {
  RemoteInterface* ri = RemoteInterface::of(md);
  if (!out) {
    ri->count("listLogins");
    return kRemoteInvalidArgument;
  }
  *out = nullptr;
  json arguments = {{"domain", textOf(text1, length1)}, {"prefix", textOf(text2, length2)}};
  if (options) {
    arguments["maximum"] = options->option;
    arguments["groupLogins"] = options->flag1;
    arguments["prefixMatchesOwner"] = options->flag2;
    arguments["orderByOwner"] = options->flag3;
  }
  StatusCode status = kStatusOk;
  json answer = ri->call("listLogins", arguments, &status);
  if (status != kStatusOk) return status;
  bool failed = false;
  LoginEntry* list = textEntries<LoginEntry>(ri, answer.value("logins", json::array()), 6, &failed);
  if (failed) return kStatusNoMemory;
  *out = list;
  return kStatusOk;
}

void releaseLoginListOp(MetadataInterface* md, LoginEntry* list) {
  RemoteInterface* ri = RemoteInterface::of(md);
  ri->count("releaseLoginList");
  freeTextEntries(ri, list);
}

template <typename Fn>
void* entry(Fn* function) {
  return reinterpret_cast<void*>(function);
}

void installMembers(MetadataInterface& abi) {
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
  abi.members[m::kBeginTransaction] = entry(&beginTransactionOp);
  abi.members[m::kEndTransaction] = entry(&endTransactionOp);
  abi.members[m::kReleaseIdentityFilter] = entry(&releaseIdentityFilterOp);
  abi.members[m::kListAuthorizations] = entry(&listAuthorizationsOp);
  abi.members[m::kSetAuthorization] = entry(&setAuthorizationOp);
  abi.members[m::kReleaseAuthorizations] = entry(&releaseAuthorizationsOp);
  abi.members[m::kApplyAct] = entry(&applyActOp);
  abi.members[m::kRemoveAct] = entry(&removeActOp);
  abi.members[m::kListActAttributes] = entry(&listActAttributesOp);
  abi.members[m::kReleaseAttributeList] = entry(&releaseAttributeListOp);
  abi.members[m::kSetActAttribute] = entry(&setActAttributeOp);
  abi.members[m::kDeleteAct] = entry(&deleteActOp);
  abi.members[m::kNewAct] = entry(&newActOp);
  abi.members[m::kListActsById] = entry(&listActsByIdOp);
  abi.members[m::kListLogins] = entry(&listLoginsOp);
  abi.members[m::kReleaseLoginList] = entry(&releaseLoginListOp);
}

// ---------------------------------------------------------------------------------------------
// Object operations (member 12's table).
// ---------------------------------------------------------------------------------------------
void releaseListSlot(MetadataObject* head) {
  if (RemoteInterface* ri = RemoteInterface::of(head)) {
    ri->count("releaseList");
    ri->releaseList(head);
  }
}

StatusCode listAssociationNamesSlot(MetadataObject* object, int32_t, NameNode** out) {
  if (!out || !object) return kRemoteInvalidArgument;
  *out = nullptr;
  RemoteInterface* ri = RemoteInterface::of(object);
  StatusCode status = kStatusOk;
  json answer = ri->call("listAssociationNames", {{"object", objectJson(object)}}, &status);
  if (status != kStatusOk) return status;
  const json names = answer.value("names", json::array());
  const uint64_t changes = changesOf(answer, status);
  if (void* same = ri->sameList(object, "associationNames", changes)) {
    *out = static_cast<NameNode*>(same);
    return kStatusOk;
  }
  NameNode* head = nullptr;
  NameNode** link = &head;
  for (const json& name : names) {
    auto* node = static_cast<NameNode*>(ri->pool().allocate(sizeof(NameNode)));
    const std::string text = name.is_string() ? name.get<std::string>() : std::string();
    if (node) {
      *link = node;
      link = &node->next;
      node->name = ri->pool().copyText(text);
      node->nameLength = static_cast<int32_t>(text.size());
    }
    if (!node || !node->name) {
      ri->freeResult(ResultKind::kNameList, head);
      return kStatusNoMemory;
    }
  }
  ri->attach(object, ResultKind::kNameList, "associationNames", head, changes);
  *out = head;
  return kStatusOk;
}

StatusCode getAssociationSlot(MetadataObject* object, const char* name, int32_t length, int32_t,
                              MetadataObject** out) {
  if (!out || !object) return kRemoteInvalidArgument;
  *out = nullptr;
  RemoteInterface* ri = RemoteInterface::of(object);
  StatusCode status = kStatusOk;
  const std::string associationName = textOf(name, length);
  json answer = ri->call("getAssociation",
                         {{"object", objectJson(object)}, {"name", associationName}}, &status);
  const std::string key = "association:" + associationName;
  const uint64_t changes = changesOf(answer, status);
  if (void* same = ri->sameList(object, key, changes)) {
    *out = static_cast<MetadataObject*>(same);
    return status;
  }
  StatusCode built = kStatusOk;
  MetadataObject* list = ri->buildList(answer.value("objects", json::array()), &built);
  if (built != kStatusOk) return built;
  ri->attach(object, ResultKind::kObjectList, key, list, changes);
  *out = list;
  return status;
}

StatusCode getAttributeSlot(MetadataObject* object, const char* name, int32_t length,
                            ValueText** out) {
  if (!out || !object) return kRemoteInvalidArgument;
  *out = nullptr;
  RemoteInterface* ri = RemoteInterface::of(object);
  StatusCode status = kStatusOk;
  const std::string attributeName = textOf(name, length);
  json answer = ri->call("getAttribute", {{"object", objectJson(object)}, {"name", attributeName}},
                         &status);
  if (status != kStatusOk || !answer.contains("value")) return status;
  const std::string value = answer.value("value", "");
  auto* text = static_cast<ValueText*>(ri->pool().allocate(sizeof(ValueText)));
  char* copy = ri->pool().copyText(value);
  if (!text || !copy) {
    ri->pool().release(text);
    ri->pool().release(copy);
    return kStatusNoMemory;
  }
  text->text = copy;
  text->length = static_cast<int32_t>(value.size());
  ri->attach(object, ResultKind::kValueText, "attribute:" + attributeName, text);
  *out = text;
  return kStatusOk;
}

StatusCode nameValueListSlot(MetadataObject* object, const char* operation, const char* field,
                             NameValueNode** out) {
  if (!out || !object) return kRemoteInvalidArgument;
  *out = nullptr;
  RemoteInterface* ri = RemoteInterface::of(object);
  StatusCode status = kStatusOk;
  json answer = ri->call(operation, {{"object", objectJson(object)}}, &status);
  if (status != kStatusOk) return status;
  const json pairs = answer.value(field, json::array());
  const uint64_t changes = changesOf(answer, status);
  if (void* same = ri->sameList(object, operation, changes)) {
    *out = static_cast<NameValueNode*>(same);
    return kStatusOk;
  }
  NameValueNode* head = nullptr;
  NameValueNode** link = &head;
  for (const json& pair : pairs) {
    if (!pair.is_array() || pair.size() != 2) continue;
    const std::string name = pair[0].is_string() ? pair[0].get<std::string>() : std::string();
    const std::string value = pair[1].is_string() ? pair[1].get<std::string>() : std::string();
    auto* node = static_cast<NameValueNode*>(ri->pool().allocate(sizeof(NameValueNode)));
    if (node) {
      *link = node;
      link = &node->next;
      node->name = ri->pool().copyText(name);
      node->nameLength = static_cast<int32_t>(name.size());
      node->value = ri->pool().copyText(value);
      node->valueLength = static_cast<int32_t>(value.size());
    }
    if (!node || !node->name || !node->value) {
      ri->freeResult(ResultKind::kNameValueList, head);
      return kStatusNoMemory;
    }
  }
  // Built before the earlier list is freed: a new list never has the earlier one's head.
  ri->attach(object, ResultKind::kNameValueList, operation, head, changes);
  *out = head;
  return kStatusOk;
}

StatusCode listAttributesSlot(MetadataObject* object, NameValueNode** out) {
  return nameValueListSlot(object, "listAttributes", "attributes", out);
}
StatusCode listPropertiesSlot(MetadataObject* object, NameValueNode** out) {
  return nameValueListSlot(object, "listProperties", "properties", out);
}

StatusCode getPropertySlot(MetadataObject* object, const char* name, int32_t length, int32_t,
                           PropertyRecord** out) {
  if (!out || !object) return kRemoteInvalidArgument;
  *out = nullptr;
  RemoteInterface* ri = RemoteInterface::of(object);
  StatusCode status = kStatusOk;
  const std::string propertyName = textOf(name, length);
  json answer = ri->call("getProperty", {{"object", objectJson(object)}, {"name", propertyName}},
                         &status);
  if (status != kStatusOk || !answer.contains("property")) return status;
  const json& property = answer["property"];
  const std::string recordName = property.value("name", ""), value = property.value("value", ""),
                    id = property.value("id", "");
  auto* record = static_cast<PropertyRecord*>(ri->pool().allocate(sizeof(PropertyRecord)));
  char* nameCopy = ri->pool().copyText(recordName);
  char* valueCopy = ri->pool().copyText(value);
  if (!record || !nameCopy || !valueCopy) {
    ri->pool().release(record);
    ri->pool().release(nameCopy);
    ri->pool().release(valueCopy);
    return kStatusNoMemory;
  }
  record->name = nameCopy;
  record->nameLength = static_cast<int32_t>(recordName.size());
  record->value = valueCopy;
  record->valueLength = static_cast<int32_t>(value.size());
  const size_t idLength = std::min<size_t>(id.size(), kIdentifierCapacity);
  std::memcpy(record->identifier, id.data(), idLength);
  record->identifierLength = static_cast<int32_t>(idLength);
  record->typeCode = property.value("typeCode", kPropertyTypeCode);
  // A package changes the record it receives, so each getProperty builds a new one.
  ri->attach(object, ResultKind::kPropertyRecord, "property:" + propertyName, record);
  *out = record;
  return kStatusOk;
}

StatusCode setPropertySlot(MetadataObject* object, PropertyRecord* record) {
  if (!object) return kRemoteInvalidArgument;
  RemoteInterface* ri = RemoteInterface::of(object);
  if (!record) {
    ri->count("setProperty");
    return kRemoteInvalidArgument;
  }
  StatusCode status = kStatusOk;
  const int32_t idLength = std::clamp(record->identifierLength, 0, kIdentifierCapacity);
  json answer = ri->call("setProperty",
                         {{"object", objectJson(object)},
                          {"name", textOf(record->name, record->nameLength)},
                          {"value", textOf(record->value, record->valueLength)},
                          {"id", std::string(record->identifier, static_cast<size_t>(idLength))},
                          {"changeFlags", record->changeFlags},
                          {"typeCode", record->typeCode}},
                         &status);
  if (status == kStatusOk && (record->changeFlags & kPropertyNew)) {
    const std::string id = answer.value("id", "");
    std::memset(record->identifier, 0, sizeof record->identifier);
    std::memcpy(record->identifier, id.data(), std::min<size_t>(id.size(), 20));
    record->identifierLength = static_cast<int32_t>(std::min<size_t>(id.size(), 20));
  }
  return status;
}

StatusCode setAttributeSlot(MetadataObject* object, AttributeRecord* record) {
  if (!object) return kRemoteInvalidArgument;
  RemoteInterface* ri = RemoteInterface::of(object);
  if (!record) {
    ri->count("setAttribute");
    return kRemoteInvalidArgument;
  }
  StatusCode status = kStatusOk;
  ri->call("setAttribute",
           {{"object", objectJson(object)},
            {"name", textOf(record->name, record->nameLength)},
            {"value", textOf(record->value, record->valueLength)}},
           &status);
  return status;
}

StatusCode setAssociationSlot(MetadataObject* object, const char* name, int32_t length,
                              int32_t flag, MetadataObject* targets) {
  if (!object) return kRemoteInvalidArgument;
  json list = json::array();
  for (MetadataObject* target = targets; target; target = target->next) {
    list.push_back(objectJson(target));
  }
  StatusCode status = kStatusOk;
  RemoteInterface::of(object)->call("setAssociation",
                                    {{"object", objectJson(object)},
                                     {"name", textOf(name, length)},
                                     {"flag", flag},
                                     {"targets", list}},
                                    &status);
  return status;
}

// Security slots of objects and repository handles: the object travels, as for every slot.
StatusCode repoListIdentitiesSlot(MetadataObject* object, TransactionHandle* transaction,
                                  int32_t flags, IdentityEntry** out) {
  if (!out || !object) return kRemoteInvalidArgument;
  *out = nullptr;
  RemoteInterface* ri = RemoteInterface::of(object);
  StatusCode status = kStatusOk;
  json answer = ri->call("repoListIdentities",
                         {{"object", objectJson(object)},
                          {"transaction", transactionText(transaction)},
                          {"flags", flags}},
                         &status);
  if (status != kStatusOk) return status;
  bool failed = false;
  IdentityEntry* list =
      textEntries<IdentityEntry>(ri, answer.value("identities", json::array()), 4, &failed);
  if (failed) return kStatusNoMemory;
  ri->attach(object, ResultKind::kIdentityList, "identities", list);
  *out = list;
  return kStatusOk;
}

StatusCode repoListActsSlot(MetadataObject* object, TransactionHandle* transaction, int32_t flags,
                            ActEntry** out) {
  if (!out || !object) return kRemoteInvalidArgument;
  *out = nullptr;
  RemoteInterface* ri = RemoteInterface::of(object);
  StatusCode status = kStatusOk;
  json answer = ri->call("repoListActs",
                         {{"object", objectJson(object)},
                          {"transaction", transactionText(transaction)},
                          {"flags", flags}},
                         &status);
  return actListAnswer(ri, answer, status, out);
}

StatusCode repoListAuthorizationsSlot(MetadataObject* object, TransactionHandle* transaction,
                                      int32_t flags, IdentityEntry* filter,
                                      const char* permission, int32_t permissionLength,
                                      AuthorizationEntry** out) {
  if (!object) return kRemoteInvalidArgument;
  RemoteInterface* ri = RemoteInterface::of(object);
  json arguments = {{"object", objectJson(object)},
                    {"transaction", transactionText(transaction)},
                    {"flags", flags},
                    {"filter", filterJson(ri, filter)},
                    {"permission", textOf(permission, permissionLength)}};
  freeIdentities(ri, filter);  // the listing's, on every path
  if (!out) {
    ri->count("repoListAuthorizations");
    return kRemoteInvalidArgument;
  }
  *out = nullptr;
  StatusCode status = kStatusOk;
  json answer = ri->call("repoListAuthorizations", arguments, &status);
  return authorizationsAnswer(ri, answer, status, out);
}

StatusCode repoActChange(MetadataObject* object, const char* operation,
                         TransactionHandle* transaction, int32_t flags, ActReference* reference) {
  if (!object) return kRemoteInvalidArgument;
  StatusCode status = kStatusOk;
  RemoteInterface::of(object)->call(operation,
                                    {{"object", objectJson(object)},
                                     {"transaction", transactionText(transaction)},
                                     {"flags", flags},
                                     {"reference", referenceText(reference)}},
                                    &status);
  return status;
}
StatusCode repoApplyActSlot(MetadataObject* object, TransactionHandle* transaction, int32_t flags,
                            ActReference* reference) {
  return repoActChange(object, "repoApplyAct", transaction, flags, reference);
}
StatusCode repoRemoveActSlot(MetadataObject* object, TransactionHandle* transaction,
                             int32_t flags, ActReference* reference) {
  return repoActChange(object, "repoRemoveAct", transaction, flags, reference);
}

StatusCode repoSetAuthorizationSlot(MetadataObject* object, TransactionHandle* transaction,
                                    int32_t flags, AuthorizationRequest* request) {
  if (!object) return kRemoteInvalidArgument;
  RemoteInterface* ri = RemoteInterface::of(object);
  if (!request) {
    ri->count("repoSetAuthorization");
    return kRemoteInvalidArgument;
  }
  json arguments = requestJson(request);
  arguments["object"] = objectJson(object);
  arguments["transaction"] = transactionText(transaction);
  arguments["flags"] = flags;
  StatusCode status = kStatusOk;
  ri->call("repoSetAuthorization", arguments, &status);
  return status;
}

StatusCode repoBeginTransactionSlot(MetadataObject* object, int32_t flags,
                                    TransactionHandle** out) {
  if (!out || !object) return kRemoteInvalidArgument;
  *out = nullptr;
  RemoteInterface* ri = RemoteInterface::of(object);
  StatusCode status = kStatusOk;
  json answer = ri->call("repoBeginTransaction",
                         {{"object", objectJson(object)}, {"flags", flags}}, &status);
  return deliverHandle(ri, answer, status, out);
}

StatusCode repoEndTransactionSlot(MetadataObject* object, TransactionHandle* handle,
                                  int32_t flag) {
  RemoteInterface* ri = RemoteInterface::of(object);
  if (!ri) return kRemoteInvalidArgument;
  StatusCode status = kStatusOk;
  ri->call("repoEndTransaction",
           {{"object", objectJson(object)},
            {"transaction", transactionText(handle)},
            {"flag", flag}},
           &status);
  freeHandle(ri, handle);
  return status;
}

void* const* remoteObjectTable() {
  namespace s = object_op;
  static void* table[s::kSlots] = {};
  static const bool filled = [] {
    table[s::kReleaseList] = entry(&releaseListSlot);
    table[s::kListAssociationNames] = entry(&listAssociationNamesSlot);
    table[s::kGetAssociation] = entry(&getAssociationSlot);
    table[s::kGetAttribute] = entry(&getAttributeSlot);
    table[s::kListAttributes] = entry(&listAttributesSlot);
    table[s::kGetProperty] = entry(&getPropertySlot);
    table[s::kListProperties] = entry(&listPropertiesSlot);
    table[s::kSetProperty] = entry(&setPropertySlot);
    table[s::kSetAttribute] = entry(&setAttributeSlot);
    table[s::kSetAssociation] = entry(&setAssociationSlot);
    table[s::kRepoListIdentities] = entry(&repoListIdentitiesSlot);
    table[s::kRepoListActs] = entry(&repoListActsSlot);
    table[s::kRepoListAuthorizations] = entry(&repoListAuthorizationsSlot);
    table[s::kRepoApplyAct] = entry(&repoApplyActSlot);
    table[s::kRepoRemoveAct] = entry(&repoRemoveActSlot);
    table[s::kRepoSetAuthorization] = entry(&repoSetAuthorizationSlot);
    table[s::kRepoBeginTransaction] = entry(&repoBeginTransactionSlot);
    table[s::kRepoEndTransaction] = entry(&repoEndTransactionSlot);
    return true;
  }();
  (void)filled;
  return table;
}

}  // namespace

namespace {
StatusCode getCredentialsOp(MetadataInterface* md, int64_t, char** user, int32_t* userLength,
                            char** password, int32_t* passwordLength) {
  RemoteInterface* ri = RemoteInterface::of(md);
  ri->count("getCredentials");
  if (!user || !userLength || !password || !passwordLength) return kRemoteInvalidArgument;
  *user = *password = nullptr;
  *userLength = *passwordLength = 0;
  const std::string& name = ri->connection().user();
  const std::string& secret = ri->connection().password();
  char* u = ri->pool().copyText(name);
  char* p = ri->pool().copyText(secret);
  if (!u || !p) {
    ri->pool().release(u);
    ri->pool().release(p);
    return kStatusNoMemory;
  }
  *user = u;
  *userLength = static_cast<int32_t>(name.size());
  *password = p;
  *passwordLength = static_cast<int32_t>(secret.size());
  return kStatusOk;
}
}  // namespace

MetadataInterface* openRemoteInterface(RemoteConnection& connection, RemoteInterfaceHooks hooks) {
  return (new RemoteInterface(connection, std::move(hooks)))->abi();
}

std::map<std::string, uint64_t> remoteCallCounts(MetadataInterface* md) {
  return RemoteInterface::of(md)->calls();
}

std::pair<uint64_t, uint64_t> remotePoolOutstanding(MetadataInterface* md) {
  RemoteInterface* ri = RemoteInterface::of(md);
  return {ri->pool().blocks(), ri->pool().bytes()};
}

uint64_t remotePoolInvalidReleases(MetadataInterface* md) {
  return RemoteInterface::of(md)->pool().invalidReleases();
}

void remoteFailAllocationAt(MetadataInterface* md, uint64_t k) {
  RemoteInterface::of(md)->pool().failAllocationAt(k);
}

uint64_t remoteFailedAllocations(MetadataInterface* md) {
  return RemoteInterface::of(md)->pool().failedAllocations();
}

std::string remoteLastErrorText(MetadataInterface* md) {
  return RemoteInterface::of(md)->lastErrorText();
}

}  // namespace refhost
