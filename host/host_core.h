// Internal state of one reference host and the operations the service functions share.
// Not part of the public API: only host/*.cpp include it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "frame/host_abi.h"
#include "frame/host_services.h"
#include "host/counting_allocator.h"
#include "host/name_value_store.h"
#include "host/reference_host.h"

namespace refhost::detail {
struct SessionRecord;
}

// The opaque handles of host_services.h are defined by the host alone.
struct HostMacroScope {
  refhost::detail::SessionRecord* owner = nullptr;
  std::unordered_map<std::string, std::string> values;  // key: upper-cased name
};

struct HostCleanup {
  host_service::CleanupCallback callback = nullptr;
  refhost::detail::SessionRecord* owner = nullptr;
  void* moduleToken = nullptr;
  bool armed = false;
  bool destroyed = false;  // destroyed while running: freed when the run ends
  bool running = false;
};

namespace refhost::detail {

class HostCore;

struct SessionRecord {
  HostSession abi{};
  std::string contextName;
  HostCore* core = nullptr;
  SessionRecord* parent = nullptr;
  std::unique_ptr<CountingAllocator> pool;
  HostMacroScope macros;
  std::unordered_map<std::string, void*> namedItems;  // exact byte names
  std::vector<SessionRecord*> children;               // creation order
  std::vector<std::unique_ptr<HostCleanup>> cleanups; // creation order
  bool ending = false;
  // The last code whose message text a package asked for with this session: the exact code
  // behind SYSMSG, which SYSRC carries only through single precision.
  StatusCode lastMessageStatus = 0;
};

class HostCore {
 public:
  explicit HostCore(HostConfig config);
  ~HostCore();
  HostCore(const HostCore&) = delete;
  HostCore& operator=(const HostCore&) = delete;

  // ---- Sessions (sessions.cpp)
  SessionRecord* findSession(const HostSession* session) const;
  SessionRecord* sessionOrThrow(HostSession* session, const char* what) const;
  HostSession* newSession(HostSession* parent, std::string_view context);
  void endSession(SessionRecord* record);
  void endTopSession();
  HostCleanup* createCleanup(SessionRecord* owner, host_service::CleanupCallback callback,
                             void* moduleToken);
  SessionRecord* cleanupOwner(HostCleanup* handle) const;
  void destroyCleanup(HostCleanup* handle);

  // ---- Log and records
  void writeLog(int32_t level, std::string_view text);
  static std::string levelPrefix(int32_t level);

  // ---- Loader and calls (loader.cpp, call.cpp)
  const LoadedLibrary& load(const std::string& path);
  CallResult call(HostSession* session, const LoadedFunction& function, std::span<Argument> args);
  static void closeLibrary(LoadedLibrary& library);

  // ---- State (read and written by the service functions)
  HostConfig config;
  HostInterface interface{};
  RuntimeTable runtime{};
  MessageObject messageObject{};
  HostTask task{};
  uint64_t threadIdentity = 0;

  std::array<const HostServiceEntry*, kHostServiceGroups> tablePointers{};
  std::array<uint8_t, kHostServiceGroups> inUse{};
  std::unordered_map<uint32_t, std::vector<HostServiceEntry>> tableStorage;

  CountingAllocator streamPool;
  CountingAllocator registrationPool;
  FaultCounter sessionPoolFaults;

  std::unordered_map<const HostSession*, std::unique_ptr<SessionRecord>> sessions;
  SessionRecord* top = nullptr;
  std::unordered_map<const HostCleanup*, SessionRecord*> cleanupIndex;
  std::unordered_map<const HostMacroScope*, SessionRecord*> scopeIndex;

  std::string optionText;
  std::unordered_map<std::string, int64_t> options;  // upper-cased names
  ProcessorRecord processor{};
  uint32_t realLeaf1Ecx = 0;
  NameValueStore nameValues;

  std::vector<LogLine> log;
  FILE* logFile = nullptr;
  HostRecord record;
  MetadataProvider metadataProvider;
  std::unordered_map<std::string, JavaObject> javaObjects;  // upper-cased names
  // Objects made in the Java VM (global references), by upper-cased name; see java_objects.cpp.
  struct HeldJavaObject {
    void* object = nullptr;
    void* javaClass = nullptr;
  };
  std::unordered_map<std::string, HeldJavaObject> heldJavaObjects;
  void dropHeldJavaObjects();

  std::vector<std::unique_ptr<LoadedLibrary>> libraries;
  std::unordered_map<std::string, const LoadedFunction*> functionIndex;  // upper-cased names

  int32_t callDepth = 0;
  int32_t pendingHostError = 0;
};

// The host the argument-less services act on; see reference_host.h.
HostCore* activeCore();
void pushActive(HostCore* core);
void popActive();
void registerLiveHost(HostCore* core);
void unregisterLiveHost(HostCore* core);
// The host that owns a session, searched over the live hosts; null when none does.
HostCore* coreOfSession(const HostSession* session);
HostCore* coreOfScope(const HostMacroScope* scope);
HostCore* coreOfCleanup(const HostCleanup* cleanup);

// Keeps a host active on this thread for a scope.
class ActiveGuard {
 public:
  explicit ActiveGuard(HostCore* core) { pushActive(core); }
  ~ActiveGuard() { popActive(); }
  ActiveGuard(const ActiveGuard&) = delete;
  ActiveGuard& operator=(const ActiveGuard&) = delete;
};

// Fill the service tables and the runtime table of a host (services.cpp, runtime_table.cpp).
void installServices(HostCore& core);
void installRuntimeTable(HostCore& core);
void readProcessor(HostCore& core);

}  // namespace refhost::detail
