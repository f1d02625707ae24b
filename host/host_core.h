// Internal state of one reference host and the operations the service functions share.
// Not part of the public API: only host/*.cpp include it.
#pragma once

#include <csetjmp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "frame/host_abi.h"
#include "frame/host_services.h"
#include "host/counting_allocator.h"
#include "host/name_value_store.h"
#include "host/reference_host.h"
#include "host/text_tools.h"

namespace refhost::detail {
struct SessionRecord;
}

// The opaque handles of host_services.h are defined by the host alone.
//
// A session's macro variables. Names are taken without regard to case. SYSMSG and SYSRC are
// written at the start of every call of every package function: they have fixed places whose
// room, once grown, is written over in place, so setting them neither hashes nor allocates.
// Every other name lives in the map (macro_scope.cpp).
struct HostMacroScope {
  refhost::detail::SessionRecord* owner = nullptr;

  // The variable's text, or nothing when it was never set in this scope. The view lasts until
  // the variable is set again.
  std::optional<std::string_view> find(std::string_view name) const;
  // Set on every call of every function: the two fixed names are written here, inline.
  void set(std::string_view name, std::string_view text) {
    if (FixedVariable* fixed = fixedVariable(name)) {
      fixed->assign(text);
      return;
    }
    setInMap(name, text);
  }

 private:
  // Room that only grows: setting a text no longer than the longest so far copies its bytes and
  // nothing else.
  struct FixedVariable {
    bool isSet = false;
    std::unique_ptr<char[]> bytes;
    size_t length = 0;
    size_t room = 0;

    // Services must not throw: without memory for a longer text the text is cut at the room.
    void assign(std::string_view text) {
      if (text.size() > room) {
        if (char* larger = new (std::nothrow) char[text.size()]) {
          bytes.reset(larger);
          room = text.size();
        }
      }
      length = std::min(text.size(), room);
      refhost::text::copyShort(bytes.get(), text.data(), length);
      isSet = true;
    }
    std::string_view view() const { return {bytes.get(), length}; }
  };
  // `upper` is all capital letters: a byte matches one of them exactly when, with the bit that
  // makes a letter small cleared, it is that letter. The names are five to eight bytes, so the
  // whole name is compared as one word, put together in registers: a word read back from bytes
  // just stored one by one would stall the processor on every call.
  template <size_t N>
  static constexpr uint64_t wordOf(const char (&text)[N]) {
    uint64_t word = 0;
    for (size_t i = 0; i + 1 < N; ++i) {
      word |= uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
    }
    return word;
  }
  template <size_t N>
  static bool sameName(std::string_view name, const char (&upper)[N]) {
    constexpr size_t n = N - 1;
    static_assert(n >= 4 && n <= 8);
    if (name.size() != n) return false;
    uint32_t low = 0;
    std::memcpy(&low, name.data(), 4);
    uint64_t bytes = low;
    for (size_t i = 4; i < n; ++i) {
      bytes |= uint64_t{static_cast<unsigned char>(name[i])} << (8 * i);
    }
    constexpr uint64_t kMask = 0xDFDFDFDFDFDFDFDFull >> (8 * (8 - n));
    return (bytes & kMask) == wordOf(upper);
  }
  FixedVariable* fixedVariable(std::string_view name) {
    if (sameName(name, "SYSMSG")) return &statusMessage_;
    if (sameName(name, "SYSRC")) return &statusCode_;
    return nullptr;
  }
  const FixedVariable* fixedVariable(std::string_view name) const {
    return const_cast<HostMacroScope*>(this)->fixedVariable(name);
  }
  void setInMap(std::string_view name, std::string_view text);

  FixedVariable statusMessage_;  // SYSMSG
  FixedVariable statusCode_;     // SYSRC
  std::unordered_map<std::string, std::string> values_;  // key: upper-cased name
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

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

struct SessionRecord {
  HostSession abi{};
  std::string contextName;
  HostCore* core = nullptr;
  SessionRecord* parent = nullptr;
  std::unique_ptr<CountingAllocator> pool;
  HostMacroScope macros;
  // Exact byte names; looked up by view, so asking for an item builds no string. The item
  // asked for last is remembered (map nodes never move): packages ask for the same one on
  // every call. Cleared whenever an item is removed.
  std::unordered_map<std::string, void*, TextHash, std::equal_to<>> namedItems;
  std::pair<const std::string, void*>* lastNamedItem = nullptr;
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
  // Every service a package calls names its session, nearly always one of two (the caller's and
  // the one that owns its cache): the two found last are remembered, so a repeated look-up is a
  // pointer compare. endSession forgets a session before its record goes.
  SessionRecord* findSession(const HostSession* session) const {
    if (session != nullptr) {
      if (session == recentSessions[0].key) return recentSessions[0].record;
      if (session == recentSessions[1].key) return recentSessions[1].record;
    }
    return findSessionSlow(session);
  }
  SessionRecord* findSessionSlow(const HostSession* session) const;
  SessionRecord* sessionOrThrow(HostSession* session, const char* what) const {
    if (SessionRecord* record = findSession(session)) return record;
    throwUnknownSession(what);
  }
  [[noreturn]] static void throwUnknownSession(const char* what);
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
  CallResult call(HostSession* session, const LoadedFunction& function,
                  std::span<const ArgumentView> args);
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
  std::function<bool()> allocationFaultHook;  // asked by every allocator; empty: never fails

  std::unordered_map<const HostSession*, std::unique_ptr<SessionRecord>> sessions;
  SessionRecord* top = nullptr;
  struct RecentSession {
    const HostSession* key = nullptr;
    SessionRecord* record = nullptr;
  };
  mutable RecentSession recentSessions[2];  // see findSession
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
  // Where hostRaiseError(1016) jumps to in leaveCallOnOutOfMemory mode: the innermost callback
  // entry of call(); null outside a call.
  std::jmp_buf* leaveTarget = nullptr;
};

// The host the argument-less services act on; see reference_host.h.
// The active hosts of this thread, innermost last (host_core.cpp), and the innermost one (null
// when none): read by every service and changed by every call, so both are inlined. Declared
// constinit, so that no access has to ask first whether they still need initialising.
inline constexpr size_t kMaxActiveDepth = 64;
extern thread_local constinit HostCore* activeStack[kMaxActiveDepth];
extern thread_local constinit size_t activeDepth;
// Nesting beyond kMaxActiveDepth (never expected).
extern thread_local constinit size_t droppedPushes;
extern thread_local constinit HostCore* activeTopOfThread;
HostCore* activeCoreOutsideCalls();
inline HostCore* activeCore() {
  if (HostCore* core = activeTopOfThread) return core;
  return activeCoreOutsideCalls();
}
void pushActiveBeyondLimit();
void popActiveBeyondLimit();
inline void pushActive(HostCore* core) {
  if (activeDepth < kMaxActiveDepth) {
    activeStack[activeDepth++] = core;
    activeTopOfThread = core;
  } else {
    pushActiveBeyondLimit();
  }
}
inline void popActive() {
  if (droppedPushes > 0) {
    popActiveBeyondLimit();
  } else if (activeDepth > 0) {
    --activeDepth;
    activeTopOfThread = activeDepth > 0 ? activeStack[activeDepth - 1] : nullptr;
  }
}
void registerLiveHost(HostCore* core);
void unregisterLiveHost(HostCore* core);
// The host that owns a session, searched over the live hosts; null when none does.
HostCore* coreOfSession(const HostSession* session);
// The record of a session of any live host (its core is record->core); null when none has it.
// One look-up in the active host, where nearly every call comes from.
SessionRecord* recordOfSessionOfAnyHost(const HostSession* session);
inline SessionRecord* recordOfSession(const HostSession* session) {
  if (session == nullptr) return nullptr;
  if (HostCore* active = activeCore()) {
    if (SessionRecord* record = active->findSession(session)) return record;
  }
  return recordOfSessionOfAnyHost(session);
}
HostCore* coreOfScopeOfAnyHost(const HostMacroScope* scope);
// A scope is its session's: the scope of a session found lately needs no look-up.
inline HostCore* coreOfScope(const HostMacroScope* scope) {
  HostCore* active = activeCore();
  if (scope != nullptr && active != nullptr) {
    for (const HostCore::RecentSession& recent : active->recentSessions) {
      if (recent.record != nullptr && scope == &recent.record->macros) return active;
    }
  }
  return coreOfScopeOfAnyHost(scope);
}
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
