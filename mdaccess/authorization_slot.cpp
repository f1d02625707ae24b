// Authorization slot and cached-repository look-up on the connection cache record.
#include "mdaccess/authorization_slot.h"

#include <cstring>

#include "frame/call_frame.h"
#include "frame/host_services.h"
#include "frame/module_globals.h"
#include "mdaccess/connection_cache.h"

namespace mdaccess {
namespace {

struct SlotAccess {
  StatusCode status;
  MetadataInterface* interface;
  ConnectionCacheRecord* record;  // of o1; null when there is none
};

// Interface of o2 and the record of o1, as the resolution operations take them. getConnection
// on o2 makes the record there when needed.
SlotAccess access(HostSession* session) {
  HostSession* o1 = cacheOwner(session);
  Connection c = getConnection(cacheOwner(o1));
  if (c.status != kStatusOk || c.interface == nullptr) return {c.status, nullptr, nullptr};
  void* item = nullptr;
  if (hostGetNamedItem(frame::hostInterface(), o1, kCacheItemName, kCacheItemNameLength, &item) !=
      kStatusOk) {
    item = nullptr;
  }
  return {kStatusOk, c.interface, static_cast<ConnectionCacheRecord*>(item)};
}

int32_t keyLength(const char* text, int32_t length) {
  if (length > 1 && text[length - 1] == ' ') return frame::trimmedLength(text, length);
  return length;
}

}  // namespace

void* lookUpAuthorizationSlot(HostSession* session, const char* text, int32_t length) {
  SlotAccess a = access(session);
  if (a.record == nullptr) return nullptr;
  AuthorizationSlot* slot = a.record->authorizationSlot;
  if (slot == nullptr || slot->text == nullptr) return nullptr;
  if (!frame::equalTexts(slot->text, slot->textLength, text, length)) return nullptr;
  return slot->authorizations;
}

StatusCode fillAuthorizationSlot(HostSession* session, const char* text, int32_t length,
                                 AuthorizationLister lister, AuthorizationReleaser releaser,
                                 void* request, void** listOut) {
  *listOut = nullptr;
  SlotAccess a = access(session);
  if (a.status != kStatusOk) return a.status;
  if (a.record == nullptr) return kStatusNoMemory;
  MetadataInterface* md = a.interface;
  AuthorizationSlot* slot = a.record->authorizationSlot;
  if (slot == nullptr) {
    slot = static_cast<AuthorizationSlot*>(poolAllocate(md, sizeof(AuthorizationSlot)));
    if (slot == nullptr) return kStatusNoMemory;
    a.record->authorizationSlot = slot;
  }
  if (slot->text != nullptr) {
    if (frame::equalTexts(slot->text, slot->textLength, text, length)) {
      *listOut = slot->authorizations;
      return kStatusOk;
    }
    poolFree(md, slot->text);
    if (slot->authorizations != nullptr) releaser(md, slot->authorizations);
    slot->text = nullptr;
    slot->textLength = 0;
    slot->authorizations = nullptr;
  }
  void* list = nullptr;
  StatusCode status = lister(md, text, length, request, &list);
  if (status != kStatusOk) {
    *listOut = list;
    return status;
  }
  auto* copy = static_cast<char*>(poolAllocate(md, static_cast<uint64_t>(length) + 1));
  if (copy == nullptr) {
    if (list != nullptr) releaser(md, list);
    return kStatusNoMemory;
  }
  if (length > 0) std::memcpy(copy, text, static_cast<size_t>(length));
  slot->text = copy;
  slot->textLength = length;
  slot->authorizations = list;
  *listOut = list;
  return kStatusOk;
}

void detachAuthorizationSlot(HostSession* session) {
  SlotAccess a = access(session);
  if (a.record == nullptr || a.record->authorizationSlot == nullptr) return;
  AuthorizationSlot* slot = a.record->authorizationSlot;
  if (slot->text != nullptr) poolFree(a.interface, slot->text);
  slot->text = nullptr;
  slot->textLength = 0;
  slot->authorizations = nullptr;
}

MetadataObject* findCachedRepository(HostSession* session, const char* text, int32_t length) {
  SlotAccess a = access(session);
  if (a.record == nullptr) return nullptr;
  ResolutionEntry* entry = findCachedEntry(a.record, text, keyLength(text, length));
  return entry != nullptr ? entry->objects : nullptr;
}

}  // namespace mdaccess
