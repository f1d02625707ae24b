// Construction of a host, the registry of live and active hosts, and the log.
#include "host/host_core.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "host/text_tools.h"

namespace refhost::detail {
namespace {

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}
std::vector<HostCore*>& liveHosts() {
  static std::vector<HostCore*> hosts;
  return hosts;
}
}  // namespace

// The active hosts of this thread, innermost last. Trivially destructible on purpose: a host that
// lives in a static object is destroyed after this thread's thread-local objects, and must still
// find the stack intact then.
constinit thread_local HostCore* activeStack[kMaxActiveDepth]{};
constinit thread_local size_t activeDepth = 0;
constinit thread_local size_t droppedPushes = 0;
constinit thread_local HostCore* activeTopOfThread = nullptr;

HostCore* activeCoreOutsideCalls() {
  if (activeDepth > 0) return activeStack[activeDepth - 1];
  std::lock_guard<std::mutex> lock(registryMutex());
  return liveHosts().empty() ? nullptr : liveHosts().back();
}

void pushActiveBeyondLimit() { ++droppedPushes; }
void popActiveBeyondLimit() { --droppedPushes; }

void registerLiveHost(HostCore* core) {
  std::lock_guard<std::mutex> lock(registryMutex());
  liveHosts().push_back(core);
}

void unregisterLiveHost(HostCore* core) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto& hosts = liveHosts();
  hosts.erase(std::remove(hosts.begin(), hosts.end(), core), hosts.end());
  HostCore** end = std::remove(activeStack, activeStack + activeDepth, core);
  activeDepth = static_cast<size_t>(end - activeStack);
  activeTopOfThread = activeDepth > 0 ? activeStack[activeDepth - 1] : nullptr;
}

HostCore* coreOfSession(const HostSession* session) {
  if (!session) return nullptr;
  // The active host first: nearly every call comes from it.
  HostCore* active = activeCore();
  if (active && active->sessions.count(session)) return active;
  std::lock_guard<std::mutex> lock(registryMutex());
  for (HostCore* core : liveHosts())
    if (core->sessions.count(session)) return core;
  return nullptr;
}

SessionRecord* recordOfSessionOfAnyHost(const HostSession* session) {
  if (!session) return nullptr;
  HostCore* core = coreOfSession(session);
  return core ? core->findSession(session) : nullptr;
}

HostCore* coreOfScopeOfAnyHost(const HostMacroScope* scope) {
  if (!scope) return nullptr;
  HostCore* active = activeCore();
  if (active && active->scopeIndex.count(scope)) return active;
  std::lock_guard<std::mutex> lock(registryMutex());
  for (HostCore* core : liveHosts())
    if (core->scopeIndex.count(scope)) return core;
  return nullptr;
}

HostCore* coreOfCleanup(const HostCleanup* cleanup) {
  if (!cleanup) return nullptr;
  HostCore* active = activeCore();
  if (active && active->cleanupIndex.count(cleanup)) return active;
  std::lock_guard<std::mutex> lock(registryMutex());
  for (HostCore* core : liveHosts())
    if (core->cleanupIndex.count(cleanup)) return core;
  return nullptr;
}

HostCore::HostCore(HostConfig configuration)
    : config(std::move(configuration)), streamPool(), registrationPool() {
  optionText = config.optionText;
  options["YEARCUTOFF"] = config.yearCutoff;
  logFile = config.logFile;

  // A task identity that differs between processes and between hosts of one process.
  static uint64_t hostCounter = 0;
  task.identity = (static_cast<uint64_t>(::getpid()) << 20) ^ (++hostCounter << 4) ^ 0x5A5A0001u;

  interface.structureSize = sizeof(HostInterface);
  interface.serviceGroupCount = kHostServiceGroups;
  interface.serviceTables = tablePointers.data();
  interface.serviceInUse = inUse.data();
  interface.currentTask = &task;
  interface.currentThreadIdentity = nullptr;
  interface.upperCaseTable = text::upperCaseTable().data();
  interface.characterClassTable = text::characterClassTable().data();
  interface.streamAllocator = streamPool.abi();
  interface.registrationAllocator = registrationPool.abi();
  interface.multiByteMode = config.multiByte ? 1 : 0;
  interface.runtime = &runtime;
  interface.hostPrivate = this;

  installServices(*this);
  installRuntimeTable(*this);
  readProcessor(*this);
  if (!config.rdrandAvailable) processor.leaf1Ecx &= ~kCpuidEcxRdrand;

  registerLiveHost(this);
  HostSession* t = newSession(nullptr, "DOSUB");
  top = findSession(t);
  task.session = t;
}

HostCore::~HostCore() {
  {
    ActiveGuard guard(this);
    endTopSession();
  }
  unregisterLiveHost(this);
  dropHeldJavaObjects();
  // Libraries are unloaded last: cleanups above may still have run their code.
  for (auto& library : libraries) closeLibrary(*library);
}

std::string HostCore::levelPrefix(int32_t level) {
  switch (level) {
    case kLevelAll: return "";  // level 0 carries no severity: listings print as formatted
    case kLevelInfo: return "INFO: ";
    case kLevelNote: return "NOTE: ";
    case kLevelWarning: return "WARNING: ";
    case kLevelError: return "ERROR: ";
    default: return "";
  }
}

void HostCore::writeLog(int32_t level, std::string_view text) {
  std::string line = levelPrefix(level);
  line.append(text);
  // One entry per line: embedded line ends would break readers that count lines.
  size_t start = 0;
  while (true) {
    size_t end = line.find('\n', start);
    std::string piece = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (logFile) {
      std::fwrite(piece.data(), 1, piece.size(), logFile);
      std::fputc('\n', logFile);
      std::fflush(logFile);
    }
    log.push_back(LogLine{level, std::move(piece)});
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

}  // namespace refhost::detail
