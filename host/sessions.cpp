// The session tree: creation, the end of a session with its children, cleanups and pool, and the
// cleanup handles.
#include <string>

#include "host/host_core.h"

namespace refhost::detail {

SessionRecord* HostCore::findSessionSlow(const HostSession* session) const {
  auto it = sessions.find(session);
  if (it == sessions.end()) return nullptr;
  recentSessions[1] = recentSessions[0];
  recentSessions[0] = {session, it->second.get()};
  return recentSessions[0].record;
}

void HostCore::throwUnknownSession(const char* what) {
  throw HostError(std::string(what) + ": the session has ended or does not belong to this host");
}

HostSession* HostCore::newSession(HostSession* parent, std::string_view context) {
  SessionRecord* parentRecord = nullptr;
  if (parent) {
    parentRecord = sessionOrThrow(parent, "newSession");
  } else if (top) {
    parentRecord = top;
  }
  auto record = std::make_unique<SessionRecord>();
  record->contextName = std::string(context);
  record->core = this;
  record->parent = parentRecord;
  record->pool = std::make_unique<CountingAllocator>(&sessionPoolFaults);
  record->pool->setFaultHook(&allocationFaultHook);
  record->macros.owner = record.get();
  HostSession& abi = record->abi;
  abi.pool = record->pool->abi();
  abi.parent = parentRecord ? &parentRecord->abi : nullptr;
  abi.contextName = record->contextName.data();
  abi.contextNameLength = static_cast<uint32_t>(record->contextName.size());
  abi.hostPrivate = record.get();
  if (parentRecord) parentRecord->children.push_back(record.get());
  scopeIndex.emplace(&record->macros, record.get());
  HostSession* result = &record->abi;
  sessions.emplace(result, std::move(record));
  return result;
}

void HostCore::endSession(SessionRecord* record) {
  if (!record || record->ending) return;
  record->ending = true;
  ActiveGuard guard(this);

  // Children first, newest first: a child's cleanups may still use what its parent holds.
  while (!record->children.empty()) {
    SessionRecord* child = record->children.back();
    endSession(child);
    if (!record->children.empty() && record->children.back() == child) record->children.pop_back();
  }

  // Armed cleanups in creation order. Each runs with a transient child of this session as the
  // current task's session, so that the session whose cache owner is this one is current.
  bool anyArmed = false;
  for (auto& cleanup : record->cleanups) anyArmed = anyArmed || (cleanup->armed && !cleanup->destroyed);
  if (anyArmed) {
    HostSession* transient = newSession(&record->abi, "CLEANUP");
    HostSession* saved = task.session;
    task.session = transient;
    for (size_t i = 0; i < record->cleanups.size(); ++i) {
      HostCleanup* cleanup = record->cleanups[i].get();
      if (!cleanup->armed || cleanup->destroyed) continue;
      cleanup->armed = false;
      cleanup->running = true;
      cleanup->callback();
      cleanup->running = false;
    }
    task.session = saved;
    endSession(findSession(transient));
  }
  for (auto& cleanup : record->cleanups) cleanupIndex.erase(cleanup.get());
  record->cleanups.clear();

  record->pool->releaseAll();

  if (record->parent) {
    auto& siblings = record->parent->children;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
      if (*it == record) {
        siblings.erase(it);
        break;
      }
    }
  }
  // The task never keeps an ended session as its current one.
  if (task.session == &record->abi) {
    task.session = record->parent ? &record->parent->abi : (top && top != record ? &top->abi : nullptr);
  }
  for (RecentSession& recent : recentSessions) {
    if (recent.record == record) recent = {};
  }
  scopeIndex.erase(&record->macros);
  sessions.erase(&record->abi);
}

void HostCore::endTopSession() {
  if (!top) return;
  SessionRecord* t = top;
  endSession(t);
  top = nullptr;
  task.session = nullptr;
}

HostCleanup* HostCore::createCleanup(SessionRecord* owner, host_service::CleanupCallback callback,
                                     void* moduleToken) {
  auto cleanup = std::make_unique<HostCleanup>();
  cleanup->callback = callback;
  cleanup->owner = owner;
  cleanup->moduleToken = moduleToken;
  HostCleanup* handle = cleanup.get();
  owner->cleanups.push_back(std::move(cleanup));
  cleanupIndex.emplace(handle, owner);
  return handle;
}

SessionRecord* HostCore::cleanupOwner(HostCleanup* handle) const {
  auto it = cleanupIndex.find(handle);
  return it == cleanupIndex.end() ? nullptr : it->second;
}

void HostCore::destroyCleanup(HostCleanup* handle) {
  SessionRecord* owner = cleanupOwner(handle);
  if (!owner) return;
  if (handle->running || owner->ending) {
    // Its session is ending: the registration goes with the session, after the run.
    handle->destroyed = true;
    handle->armed = false;
    return;
  }
  cleanupIndex.erase(handle);
  auto& list = owner->cleanups;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->get() == handle) {
      list.erase(it);
      break;
    }
  }
}

}  // namespace refhost::detail
