// The public face of the reference host: forwards to HostCore, plus the small value types.
#include "host/reference_host.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "host/host_core.h"
#include "host/message_catalogue.h"
#include "host/text_tools.h"

namespace refhost {

// ---- CharacterVariable

CharacterVariable::CharacterVariable(int64_t capacity, std::string_view initial)
    : storage_(static_cast<size_t>(capacity > 0 ? capacity : 0) + 1, ' ') {
  slot_.capacity = capacity > 0 ? capacity : 0;
  slot_.text = storage_.data();
  assign(initial);
}

std::string_view CharacterVariable::value() const {
  int64_t n = slot_.length < 0 ? 0 : std::min(slot_.length, slot_.capacity);
  return std::string_view(storage_.data(), static_cast<size_t>(n));
}

std::string_view CharacterVariable::trimmed() const {
  std::string_view v = value();
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  return v;
}

void CharacterVariable::assign(std::string_view text) {
  std::memset(storage_.data(), ' ', static_cast<size_t>(slot_.capacity));
  size_t n = std::min(text.size(), static_cast<size_t>(slot_.capacity));
  if (n > 0) std::memcpy(storage_.data(), text.data(), n);
  slot_.length = static_cast<int64_t>(n);
}

// ---- Loaded functions

std::string LoadedLibrary::moduleName() const {
  if (!module_) return {};
  return std::string(module_->moduleName, strnlen(module_->moduleName, sizeof module_->moduleName));
}

const LoadedFunction* LoadedLibrary::find(std::string_view name) const {
  for (const LoadedFunction& f : functions_)
    if (f.name.size() == name.size() && text::asciiUpper(name) == text::asciiUpper(f.name)) return &f;
  return nullptr;
}

// ---- ReferenceHost

ReferenceHost::ReferenceHost(HostConfig config)
    : core_(std::make_unique<detail::HostCore>(std::move(config))) {}

ReferenceHost::~ReferenceHost() = default;

HostInterface* ReferenceHost::interface() { return &core_->interface; }
RuntimeTable* ReferenceHost::runtime() { return &core_->runtime; }

HostSession* ReferenceHost::topSession() { return core_->top ? &core_->top->abi : nullptr; }

HostSession* ReferenceHost::newSession(HostSession* parent, std::string_view context) {
  return core_->newSession(parent, context);
}

void ReferenceHost::endSession(HostSession* session) {
  detail::SessionRecord* record = core_->sessionOrThrow(session, "endSession");
  if (record == core_->top) throw HostError("endSession: the top session ends only with the host");
  core_->endSession(record);
}

bool ReferenceHost::isLive(const HostSession* session) const {
  return core_->findSession(session) != nullptr;
}

HostSession* ReferenceHost::cacheOwner(HostSession* session) {
  if (!session) return nullptr;
  if (session->contextNameLength == 5 && std::memcmp(session->contextName, "DOSUB", 5) == 0)
    return session;
  return session->parent;
}

HostTask* ReferenceHost::task() { return &core_->task; }
void ReferenceHost::setTaskIdentity(uint64_t identity) { core_->task.identity = identity; }

void ReferenceHost::setThreadIdentity(std::optional<uint64_t> identity) {
  if (identity) {
    core_->threadIdentity = *identity;
    core_->interface.currentThreadIdentity = &core_->threadIdentity;
  } else {
    core_->interface.currentThreadIdentity = nullptr;
  }
}

void* ReferenceHost::namedItem(HostSession* session, std::string_view name) const {
  detail::SessionRecord* record = core_->sessionOrThrow(session, "namedItem");
  auto it = record->namedItems.find(std::string(name));
  return it == record->namedItems.end() ? nullptr : it->second;
}

size_t ReferenceHost::cleanupCount(HostSession* session) const {
  detail::SessionRecord* record = core_->sessionOrThrow(session, "cleanupCount");
  size_t n = 0;
  for (const auto& c : record->cleanups) n += c->destroyed ? 0 : 1;
  return n;
}

std::optional<std::string> ReferenceHost::macroText(std::string_view name,
                                                    HostSession* session) const {
  detail::SessionRecord* record =
      session ? core_->sessionOrThrow(session, "macroText") : core_->top;
  for (; record; record = record->parent) {
    if (const auto text = record->macros.find(name)) return std::string(*text);
  }
  return std::nullopt;
}

void ReferenceHost::setMacroText(std::string_view name, std::string_view text,
                                 HostSession* session) {
  detail::SessionRecord* record =
      session ? core_->sessionOrThrow(session, "setMacroText") : core_->top;
  if (!record) throw HostError("setMacroText: the host has no session");
  record->macros.set(name, text);
}

std::string ReferenceHost::formatMacroNumber(double value) {
  char buffer[kMacroNumberRoom];
  return std::string(formatMacroNumber(value, buffer));
}

std::string_view ReferenceHost::formatMacroNumber(double value, char (&buffer)[kMacroNumberRoom]) {
  if (!std::isfinite(value)) return ".";
  if (value == 0) return "0";  // what every status reset stores; -0.0 prints as 0 too
  if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
    // -0.0 prints as 0
    auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value));
    return std::string_view(buffer, static_cast<size_t>(result.ptr - buffer));
  }
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string_view(buffer, static_cast<size_t>(result.ptr - buffer));
}

void ReferenceHost::setOptionText(std::string text) { core_->optionText = std::move(text); }
const std::string& ReferenceHost::optionText() const { return core_->optionText; }
void ReferenceHost::setOption(std::string_view name, int64_t value) {
  core_->options[text::asciiUpper(name)] = value;
}

void ReferenceHost::setRdrandAvailable(bool available) {
  if (available) {
    core_->processor.leaf1Ecx = core_->realLeaf1Ecx;
  } else {
    core_->processor.leaf1Ecx &= ~kCpuidEcxRdrand;
  }
}

void ReferenceHost::setMultiByte(bool on) { core_->interface.multiByteMode = on ? 1 : 0; }
const ProcessorRecord& ReferenceHost::processorRecord() const { return core_->processor; }

void ReferenceHost::setNameValueText(std::u16string_view name, std::u16string_view value) {
  core_->nameValues.replace(name, std::u16string(value));
}
void ReferenceHost::setNameValueDouble(std::u16string_view name, double value) {
  core_->nameValues.replace(name, value);
}
void ReferenceHost::setNameValueInteger(std::u16string_view name, int64_t value) {
  core_->nameValues.replace(name, value);
}
void ReferenceHost::removeNameValue(std::u16string_view name) { core_->nameValues.remove(name); }
std::optional<NameValue> ReferenceHost::nameValue(std::u16string_view name) const {
  auto v = core_->nameValues.find(name);
  if (!v) return std::nullopt;
  return NameValue{*v};
}

const std::vector<LogLine>& ReferenceHost::logLines() const { return core_->log; }
std::vector<std::string> ReferenceHost::logTexts() const {
  std::vector<std::string> texts;
  texts.reserve(core_->log.size());
  for (const LogLine& line : core_->log) texts.push_back(line.text);
  return texts;
}
void ReferenceHost::clearLog() { core_->log.clear(); }
void ReferenceHost::setLogFile(FILE* file) { core_->logFile = file; }
void ReferenceHost::log(int32_t level, std::string_view text) { core_->writeLog(level, text); }

HostAllocator* ReferenceHost::streamAllocator() { return core_->streamPool.abi(); }
HostAllocator* ReferenceHost::registrationAllocator() { return core_->registrationPool.abi(); }

AllocatorStats ReferenceHost::allocatorStats(const HostAllocator* allocator) const {
  auto* counting = detail::CountingAllocator::from(allocator);
  if (!counting) throw HostError("allocatorStats: the allocator does not belong to a reference host");
  return counting->stats();
}

void ReferenceHost::failAllocationAt(HostAllocator* allocator, uint64_t k) {
  auto* counting = detail::CountingAllocator::from(allocator);
  if (!counting) throw HostError("failAllocationAt: the allocator does not belong to a reference host");
  counting->failAt(k);
}

void ReferenceHost::failSessionPoolsAt(uint64_t k) { core_->sessionPoolFaults.arm(k); }

void ReferenceHost::setAllocationFaultHook(std::function<bool()> hook) {
  core_->allocationFaultHook = std::move(hook);
  core_->streamPool.setFaultHook(&core_->allocationFaultHook);
  core_->registrationPool.setFaultHook(&core_->allocationFaultHook);
}

AllocatorStats ReferenceHost::sessionPoolTotals() const {
  AllocatorStats total;
  for (const auto& [session, record] : core_->sessions) {
    const AllocatorStats& s = record->pool->stats();
    total.requests += s.requests;
    total.failures += s.failures;
    total.releases += s.releases;
    total.badReleases += s.badReleases;
    total.blocksOutstanding += s.blocksOutstanding;
    total.bytesOutstanding += s.bytesOutstanding;
  }
  return total;
}

void ReferenceHost::setMetadataProvider(MetadataProvider provider) {
  core_->metadataProvider = std::move(provider);
}

void ReferenceHost::registerJavaObject(std::string_view name, JavaObject object) {
  core_->javaObjects[text::asciiUpper(name)] = object;
}
void ReferenceHost::removeJavaObject(std::string_view name) {
  core_->javaObjects.erase(text::asciiUpper(name));
}

const HostRecord& ReferenceHost::record() const { return core_->record; }
void ReferenceHost::clearRecord() { core_->record = HostRecord{}; }

std::string ReferenceHost::messageText(StatusCode status) { return catalogueText(status); }

StatusCode ReferenceHost::lastMessageStatus(HostSession* session) const {
  return core_->sessionOrThrow(session, "lastMessageStatus")->lastMessageStatus;
}

const LoadedLibrary& ReferenceHost::load(const std::string& path) { return core_->load(path); }

const std::vector<std::unique_ptr<LoadedLibrary>>& ReferenceHost::libraries() const {
  return core_->libraries;
}

const LoadedFunction* ReferenceHost::findFunction(std::string_view name) const {
  auto it = core_->functionIndex.find(text::asciiUpper(name));
  return it == core_->functionIndex.end() ? nullptr : it->second;
}

CallResult ReferenceHost::call(HostSession* session, const LoadedFunction& function,
                               std::span<Argument> args) {
  return core_->call(session, function, args);
}

CallResult ReferenceHost::call(HostSession* session, const LoadedFunction& function,
                               std::span<const ArgumentView> args) {
  return core_->call(session, function, args);
}

CallResult ReferenceHost::call(HostSession* session, std::string_view name,
                               std::span<Argument> args) {
  const LoadedFunction* function = findFunction(name);
  if (!function) throw HostError(std::string(name) + ": no loaded package registers this function");
  return core_->call(session, *function, args);
}

ActiveHostScope::ActiveHostScope(ReferenceHost& host) : previous_(nullptr) {
  detail::pushActive(&host.core());
}
ActiveHostScope::~ActiveHostScope() { detail::popActive(); }

}  // namespace refhost
