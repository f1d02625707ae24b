#include "tests/session/fake_metadata_server.h"

#include <cstdlib>
#include <cstring>

namespace testing_support {
namespace {

FakeMetadataServer* serverOf(MetadataInterface* md) {
  return static_cast<FakeMetadataServer*>(md->members[0]);
}
FakeMetadataServer* serverOf(MetadataPool* pool) {
  return static_cast<FakeMetadataServer*>(pool->serverPrivate[0]);
}

void* poolAllocateEntry(MetadataPool* pool, uint64_t size, uint32_t) {
  return serverOf(pool)->allocate(size);
}
void poolReleaseEntry(MetadataPool* pool, void* block) { serverOf(pool)->release(block); }

void releaseListEntry(MetadataObject* head) { serverOf(head->owner)->releaseList(head); }

StatusCode releaseInterfaceEntry(MetadataInterface* md) {
  ++serverOf(md)->interfacesReleased;
  return kStatusOk;
}

int32_t isPausedEntry(MetadataInterface* md) { return serverOf(md)->paused; }
double serverVersionEntry(MetadataInterface* md) { return serverOf(md)->version; }

StatusCode resolveUriEntry(MetadataInterface* md, int64_t, int64_t, const char* text,
                           int32_t length, int32_t, MetadataObject** out) {
  FakeMetadataServer* server = serverOf(md);
  ++server->resolveCalls;
  std::string key(text, static_cast<size_t>(length));
  server->resolvedTexts.push_back(key);
  *out = nullptr;
  auto found = server->uris.find(key);
  if (server->resolveStatus != kStatusOk) {
    // A failing resolution may still deliver what it found.
    if (found != server->uris.end()) *out = server->buildList(found->second, md);
    return server->resolveStatus;
  }
  if (found == server->uris.end()) return kStatusNoMatch;
  *out = server->buildList(found->second, md);
  return kStatusOk;
}

StatusCode findByPathEntry(MetadataInterface* md, const char* a, int32_t aLength, const char* b,
                           int32_t bLength, const char* c, int32_t cLength,
                           MetadataObject** out) {
  FakeMetadataServer* server = serverOf(md);
  for (auto [text, length] : {std::pair{a, aLength}, std::pair{b, bLength}, std::pair{c, cLength}}) {
    server->pathTexts.emplace_back(text != nullptr ? text : "", static_cast<size_t>(length));
  }
  *out = nullptr;
  if (server->pathStatus == kStatusOk && !server->pathObjects.empty()) {
    *out = server->buildList(server->pathObjects, md);
  }
  return server->pathStatus;
}

StatusCode freeObjectListEntry(MetadataInterface* md, MetadataObject* list) {
  if (list != nullptr) serverOf(md)->releaseList(list);
  return kStatusOk;
}

StatusCode getNamespaceEntry(MetadataInterface* md, const char*, int32_t,
                             MetadataNamespace** out) {
  FakeMetadataServer* server = serverOf(md);
  ++server->namespaceCalls;
  auto* ns = static_cast<MetadataNamespace*>(server->allocate(sizeof(MetadataNamespace)));
  if (ns == nullptr) return kStatusNoMemory;
  ns->owner = md;
  NameNode** tail = &ns->typeNames;
  for (const std::string& name : server->typeNames) {
    auto* node = static_cast<NameNode*>(server->allocate(sizeof(NameNode)));
    auto* text = static_cast<char*>(server->allocate(name.size() + 1));
    std::memcpy(text, name.data(), name.size());
    node->name = text;
    node->nameLength = static_cast<int32_t>(name.size());
    *tail = node;
    tail = &node->next;
  }
  *out = ns;
  return kStatusOk;
}

StatusCode releaseNamespaceEntry(MetadataInterface* md, MetadataNamespace* ns) {
  FakeMetadataServer* server = serverOf(md);
  ++server->namespacesReleased;
  for (NameNode* node = ns->typeNames; node != nullptr;) {
    NameNode* next = node->next;
    server->release(node->name);
    server->release(node);
    node = next;
  }
  server->release(ns);
  return kStatusOk;
}

void* const kObjectOperations[object_op::kSlots] = {reinterpret_cast<void*>(&releaseListEntry)};

}  // namespace

FakeMetadataServer::FakeMetadataServer() {
  pool_.allocate = &poolAllocateEntry;
  pool_.release = &poolReleaseEntry;
  pool_.serverPrivate[0] = this;
}

FakeMetadataServer::~FakeMetadataServer() {
  for (MetadataInterface* md : interfaces_) delete md;
  for (void* block : blocks_) std::free(block);
}

MetadataInterface* FakeMetadataServer::open() {
  auto* md = new MetadataInterface{};
  md->members[0] = this;
  md->members[interface_member::kPool] = &pool_;
  md->members[interface_member::kObjectOperations] = const_cast<void**>(kObjectOperations);
  md->members[interface_member::kReleaseInterface] = reinterpret_cast<void*>(&releaseInterfaceEntry);
  md->members[interface_member::kIsPaused] = reinterpret_cast<void*>(&isPausedEntry);
  md->members[interface_member::kServerVersion] = reinterpret_cast<void*>(&serverVersionEntry);
  md->members[interface_member::kResolveUri] = reinterpret_cast<void*>(&resolveUriEntry);
  md->members[interface_member::kFindByPath] = reinterpret_cast<void*>(&findByPathEntry);
  md->members[interface_member::kFreeObjectList] = reinterpret_cast<void*>(&freeObjectListEntry);
  md->members[interface_member::kGetNamespace] = reinterpret_cast<void*>(&getNamespaceEntry);
  md->members[interface_member::kReleaseNamespace] = reinterpret_cast<void*>(&releaseNamespaceEntry);
  interfaces_.push_back(md);
  ++interfacesOpened;
  return md;
}

void* FakeMetadataServer::allocate(uint64_t size) {
  ++allocations;
  if (failAt_ != 0 && allocations == failAt_) {
    failAt_ = 0;
    return nullptr;
  }
  void* block = std::calloc(1, size == 0 ? 1 : size);
  blocks_.insert(block);
  return block;
}

void FakeMetadataServer::release(void* block) {
  if (block == nullptr) return;
  if (blocks_.erase(block) == 0) {
    ++badFrees;  // double free or foreign block: counted, never freed
    return;
  }
  std::free(block);
}

MetadataObject* FakeMetadataServer::buildList(const std::vector<FakeObject>& objects,
                                              MetadataInterface* owner) {
  MetadataObject* head = nullptr;
  MetadataObject* last = nullptr;
  for (const FakeObject& o : objects) {
    auto* object = static_cast<MetadataObject*>(std::calloc(1, sizeof(MetadataObject)));
    blocks_.insert(object);
    auto* type = static_cast<char*>(std::calloc(1, o.type.size() + 1));
    blocks_.insert(type);
    std::memcpy(type, o.type.data(), o.type.size());
    object->owner = owner;
    object->type = type;
    object->typeLength = static_cast<int32_t>(o.type.size());
    std::memcpy(object->identifier, o.identifier.data(), o.identifier.size());
    object->identifierLength = static_cast<int32_t>(o.identifier.size());
    object->operations = kObjectOperations;
    object->previous = last;
    if (last != nullptr) last->next = object; else head = object;
    last = object;
  }
  return head;
}

void FakeMetadataServer::releaseList(MetadataObject* head) {
  ++listsReleased;
  while (head != nullptr) {
    MetadataObject* next = head->next;
    release(head->type);
    release(head);
    head = next;
  }
}

}  // namespace testing_support
