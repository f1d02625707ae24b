// The numbered host services. Each function has exactly the type host_services.h declares for
// its slot; none throws. Services without a session argument act on the active host.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <csetjmp>
#include <cstdarg>
#include <cstring>
#include <string>

#include "host/host_core.h"
#include "host/java_runtime.h"
#include "host/message_catalogue.h"
#include "host/printf_format.h"
#include "host/text_tools.h"

namespace refhost::detail {
namespace {

std::string_view bytes(const char* text, int64_t length) {
  if (!text || length <= 0) return {};
  return std::string_view(text, static_cast<size_t>(length));
}

std::string_view nameBytes(const char* text, int32_t length) {
  if (!text) return {};
  if (length <= 0) return std::string_view(text);
  return std::string_view(text, static_cast<size_t>(length));
}

void raiseError(int32_t errorNumber, int32_t) {
  HostCore* core = activeCore();
  if (!core) return;
  {
    core->record.raisedErrors.push_back(errorNumber);
    std::string text = "Host error " + std::to_string(errorNumber);
    text += errorNumber == kHostErrorOutOfMemory ? ": out of memory." : ".";
    if (core->callDepth > 0) text += " The call ends with this error.";
    core->writeLog(kLevelError, text);
  }
  if (core->callDepth > 0 && core->pendingHostError == 0) core->pendingHostError = errorNumber;
  // Nothing of this frame is left to destroy when the jump leaves it.
  if (errorNumber == kHostErrorOutOfMemory && core->config.leaveCallOnOutOfMemory &&
      core->leaveTarget != nullptr) {
    std::longjmp(*core->leaveTarget, 1);
  }
}

int32_t messageText(HostSession* session, char* buffer, StatusCode status, int32_t capacity,
                    int64_t, int64_t) {
  if (HostCore* core = activeCore(); core != nullptr && session != nullptr) {
    if (SessionRecord* record = core->findSession(session)) record->lastMessageStatus = status;
  }
  if (!buffer || capacity <= 0) return 0;
  std::string text = catalogueText(status);
  size_t n = std::min<size_t>({text.size(), static_cast<size_t>(capacity), size_t{512}});
  std::memcpy(buffer, text.data(), n);
  return static_cast<int32_t>(n);
}

void putMessage(int32_t module, int32_t message) {
  HostCore* core = activeCore();
  if (!core) return;
  core->record.putMessages.push_back({module, message});
  StatusCode code = makeStatus(static_cast<uint32_t>(module), static_cast<uint32_t>(message));
  core->writeLog(kLevelError, catalogueText(code));
}

// The conversion at p (just after its '%') when it is %s with at most a '*' width and a ".*"
// precision: the length of its text after the '%', else 0.
size_t plainStringConversion(const char* p) {
  size_t n = 0;
  if (p[n] == '*') ++n;
  if (p[n] == '.' && p[n + 1] == '*') n += 2;
  return p[n] == 's' ? n + 1 : 0;
}

// Writes a format whose conversions are only %% and plain %s (see above), the ones the packages
// write object URIs with on every call, straight into the buffer, cut at its capacity: the bytes
// the full engine gives (a null string prints "(null)", a negative width aligns left, a negative
// precision is no limit), without building a string first. Returns the bytes written, or -1 at
// the first other conversion: the full engine then writes the whole text again, and what was
// written before that conversion is the same bytes it writes there.
int32_t formatPlainStrings(char* buffer, int64_t capacity, const char* formatText,
                           va_list* arguments) {
  char* out = buffer;
  char* const end = buffer + capacity;
  const auto fill = [&](size_t n) {
    n = std::min(n, static_cast<size_t>(end - out));
    std::memset(out, ' ', n);
    out += n;
  };
  const char* p = formatText;
  for (;;) {
    // Literal text: found, then copied in one piece. Between conversions it is a few bytes,
    // too few to be worth a library call.
    size_t run = 0;
    while (p[run] != '%' && p[run] != '\0') ++run;
    const size_t kept = std::min(run, static_cast<size_t>(end - out));
    text::copyShort(out, p, kept);
    out += kept;
    p += run;
    if (*p == '\0') break;
    if (p[1] == '%') {
      if (out != end) *out++ = '%';
      p += 2;
      continue;
    }
    ++p;
    if (plainStringConversion(p) == 0) return -1;
    size_t width = 0;
    bool leftAlign = false;
    if (*p == '*') {
      const int64_t w = va_arg(*arguments, int);
      leftAlign = w < 0;
      width = static_cast<size_t>(w < 0 ? -w : w);
      ++p;
    }
    size_t limit = SIZE_MAX;
    if (*p == '.') {
      const int precision = va_arg(*arguments, int);
      if (precision >= 0) limit = static_cast<size_t>(precision);
      p += 2;
    }
    ++p;  // past the 's'
    const char* text = va_arg(*arguments, const char*);
    if (text == nullptr) text = "(null)";
    const size_t n = limit == SIZE_MAX ? std::strlen(text) : strnlen(text, limit);
    const size_t padding = width > n ? width - n : 0;
    if (padding != 0 && !leftAlign) fill(padding);
    const size_t textKept = std::min(n, static_cast<size_t>(end - out));
    text::copyShort(out, text, textKept);
    out += textKept;
    if (padding != 0 && leftAlign) fill(padding);
  }
  return static_cast<int32_t>(out - buffer);
}

int32_t format(char* buffer, int64_t capacity, const char* formatText, ...) {
  va_list arguments;
  if (formatText != nullptr && buffer != nullptr && capacity > 0 && capacity <= INT32_MAX) {
    va_start(arguments, formatText);
    const int32_t written = formatPlainStrings(buffer, capacity, formatText, &arguments);
    va_end(arguments);
    if (written >= 0) return written;
  }
  // The full engine reads the arguments from the first again. Started anew rather than copied:
  // a copy made right after va_start reads back in one wide load what va_start has just
  // stored in narrow pieces, which stalls the processor on every call.
  va_start(arguments, formatText);
  std::string text = formatNarrow(formatText, &arguments);
  va_end(arguments);
  if (!buffer || capacity <= 0) return 0;
  size_t n = std::min<size_t>(text.size(), static_cast<size_t>(capacity));
  std::memcpy(buffer, text.data(), n);
  return static_cast<int32_t>(n);
}

StatusCode getOption(const char* name, int32_t length, int64_t, int64_t, int64_t, void* valueOut,
                     int64_t, HostSession*) {
  HostCore* core = activeCore();
  if (!core || !name || !valueOut) return kHostStatusMissingArgument;
  auto it = core->options.find(text::asciiUpper(nameBytes(name, length)));
  if (it == core->options.end()) return kHostStatusUnknownOption;
  std::memcpy(valueOut, &it->second, sizeof(int64_t));
  return kStatusOk;
}

// The host keeps its startup options in its own form: the command-line dash that introduces an
// option is not part of it ("-rngseed=5 -nonews" is kept as "rngseed=5 nonews"), which is why
// the packages drop a leading "-" from the option names they look for.
std::string optionTextInHostForm(std::string_view commandLine) {
  std::string form;
  form.reserve(commandLine.size());
  bool tokenStart = true;
  for (char c : commandLine) {
    const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (tokenStart && c == '-') {
      tokenStart = false;
      continue;
    }
    tokenStart = blank;
    form.push_back(c);
  }
  return form;
}

StatusCode getOptionText(int64_t, int32_t selector, int64_t, int64_t, int64_t, char** textPointer,
                         int32_t* length, int64_t, HostSession*) {
  HostCore* core = activeCore();
  if (!core || !textPointer || !*textPointer || !length) return kHostStatusMissingArgument;
  if (selector != 4163) return kHostStatusUnknownSelector;
  size_t room = *length > 0 ? static_cast<size_t>(*length) : 0;
  const std::string form = optionTextInHostForm(core->optionText);
  size_t n = std::min(room, form.size());
  std::memcpy(*textPointer, form.data(), n);
  *length = static_cast<int32_t>(n);
  return kStatusOk;
}

void optionUpdate(int32_t, int32_t mode) {
  if (HostCore* core = activeCore()) core->record.optionEvents.push_back({OptionEvent::kUpdate, mode, 0});
}

void optionSet(int32_t, int32_t option, int32_t value) {
  if (HostCore* core = activeCore())
    core->record.optionEvents.push_back({OptionEvent::kSet, option, value});
}

StatusCode getNamedItem(HostSession* session, int32_t, const char* name, int32_t length,
                        void** valueOut, int64_t) {
  if (valueOut) *valueOut = nullptr;
  SessionRecord* record = recordOfSession(session);
  if (!record) return kHostStatusBadSession;
  if (!name || !valueOut) return kHostStatusMissingArgument;
  const std::string_view key = nameBytes(name, length);
  if (record->lastNamedItem != nullptr && text::sameBytes(record->lastNamedItem->first, key)) {
    *valueOut = record->lastNamedItem->second;
    return kStatusOk;
  }
  auto it = record->namedItems.find(key);
  if (it != record->namedItems.end()) {
    record->lastNamedItem = &*it;
    *valueOut = it->second;
  }
  return kStatusOk;
}

StatusCode setNamedItem(HostSession* session, int32_t, const char* name, int32_t length,
                        void* value) {
  SessionRecord* record = recordOfSession(session);
  if (!record) return kHostStatusBadSession;
  if (!name) return kHostStatusMissingArgument;
  std::string key(nameBytes(name, length));
  if (value) {
    record->namedItems[key] = value;
  } else {
    record->lastNamedItem = nullptr;
    record->namedItems.erase(key);
  }
  return kStatusOk;
}

void reportStatus(void*, StatusCode status) {
  HostCore* core = activeCore();
  if (!core) return;
  core->record.reportedStatuses.push_back(status);
  if (status != kStatusOk) core->writeLog(kLevelError, catalogueText(status));
}

StatusCode createCleanup(host_service::CleanupCallback callback, HostCleanup** handleOut,
                         HostSession* session, void* moduleToken) {
  if (handleOut) *handleOut = nullptr;
  HostCore* core = coreOfSession(session);
  if (!core) return kHostStatusBadSession;
  if (!callback || !handleOut) return kHostStatusMissingArgument;
  *handleOut = core->createCleanup(core->findSession(session), callback, moduleToken);
  return kStatusOk;
}

void reportUnknownCleanup(const char* service) {
  if (HostCore* core = activeCore())
    core->writeLog(kLevelWarning, std::string(service) + " received an unknown cleanup handle.");
}

void armCleanup(HostCleanup* handle) {
  HostCore* core = coreOfCleanup(handle);
  if (!core) return reportUnknownCleanup("hostArmCleanup");
  if (!handle->destroyed) handle->armed = true;
}

void disarmCleanup(HostCleanup* handle) {
  HostCore* core = coreOfCleanup(handle);
  if (!core) return reportUnknownCleanup("hostDisarmCleanup");
  handle->armed = false;
}

void destroyCleanup(HostCleanup* handle) {
  HostCore* core = coreOfCleanup(handle);
  if (!core) return reportUnknownCleanup("hostDestroyCleanup");
  core->destroyCleanup(handle);
}

void taskSync(const uint8_t* context16) {
  HostCore* core = activeCore();
  if (!core) return;
  std::vector<uint8_t> copy;
  if (context16) copy.assign(context16, context16 + 16);
  core->record.taskSyncs.push_back(std::move(copy));
}

StatusCode loadComponent(int32_t component, const char* name, int32_t mode) {
  HostCore* core = activeCore();
  if (!core) return kHostStatusMissingArgument;
  if (core->config.recordComponentLoads) {
    core->record.loadComponentCalls.push_back(
        {component, name ? std::string(name, strnlen(name, 64)) : std::string(), mode});
  }
  return kStatusOk;
}

void setSessionSlot(HostSession* session, int32_t slot, void* value) {
  HostCore* core = coreOfSession(session);
  if (!core) {
    if (HostCore* active = activeCore())
      active->writeLog(kLevelError, "hostSetSessionSlot: the session has ended or is not known.");
    return;
  }
  if (slot < 0 || static_cast<uint32_t>(slot) >= kSessionExtensionSlots) {
    core->writeLog(kLevelError, "hostSetSessionSlot: slot " + std::to_string(slot) +
                                    " is outside 0 to " + std::to_string(kSessionExtensionSlots - 1) + ".");
    return;
  }
  session->extensionSlots[slot] = value;
}

// Parses an optional run of blanks, a sign, digits with an optional fraction and an optional
// exponent. Hexadecimal forms, "inf" and "nan" are not numbers here.
StatusCode parseNumber(const char* text, int32_t length, int32_t, int32_t* consumed,
                       double* value) {
  if (consumed) *consumed = 0;
  if (value) *value = 0.0;
  if (!text || !consumed || !value) return kHostStatusMissingArgument;
  std::string_view s = bytes(text, length);
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  size_t start = i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return kHostStatusNoNumber;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    size_t expDigits = 0;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j, ++expDigits;
    if (expDigits > 0) i = j;
  }
  std::string number(s.substr(start, i - start));
  *value = std::strtod(number.c_str(), nullptr);
  *consumed = static_cast<int32_t>(i);
  return kStatusOk;
}

HostMacroScope* macroScope(HostSession* session) {
  SessionRecord* record = recordOfSession(session);
  return record ? &record->macros : nullptr;
}

StatusCode storeMacro(HostMacroScope* scope, const char* name, int32_t nameLength,
                      std::string_view value) {
  HostCore* core = coreOfScope(scope);
  if (!core) return kHostStatusBadSession;
  if (!name || nameLength <= 0) return kHostStatusMissingArgument;
  scope->set(std::string_view(name, static_cast<size_t>(nameLength)), value);
  return kStatusOk;
}

StatusCode setMacroText(HostMacroScope* scope, const char* name, int32_t nameLength,
                        const char* text, int32_t textLength, int32_t, int64_t) {
  if (!text && textLength > 0) return kHostStatusMissingArgument;
  return storeMacro(scope, name, nameLength, bytes(text, textLength));
}

StatusCode setMacroNumber(HostMacroScope* scope, const char* name, int32_t nameLength,
                          double value, int32_t, int64_t) {
  char buffer[ReferenceHost::kMacroNumberRoom];
  return storeMacro(scope, name, nameLength, ReferenceHost::formatMacroNumber(value, buffer));
}

int32_t compareMixed(const char* text1, int64_t length1, const char* text2, int64_t length2) {
  if ((!text1 && length1 > 0) || (!text2 && length2 > 0)) return 0;
  return text::equalIgnoringCase(bytes(text1, length1), bytes(text2, length2)) ? 1 : 0;
}

void getShortName(char* field8) {
  if (field8) std::memcpy(field8, "REFHOST ", 8);
}

StatusCode getMetadataInterface(HostSession* session, void** interfaceOut, int64_t) {
  HostCore* core = activeCore();
  if (interfaceOut) *interfaceOut = nullptr;
  if (!core) return kHostStatusMissingArgument;
  ++core->record.metadataInterfaceRequests;
  if (!interfaceOut) return kHostStatusMissingArgument;
  if (!core->metadataProvider) return kHostStatusNoMetadataServer;
  try {
    return core->metadataProvider(session, interfaceOut);
  } catch (const std::exception& e) {
    // A provider's exception must not reach the package.
    core->writeLog(kLevelError, std::string("The metadata server failed: ") + e.what());
    *interfaceOut = nullptr;
    return kHostStatusNoMetadataServer;
  }
}

void issueMessage(int32_t, const char* text, int32_t length) {
  HostCore* core = activeCore();
  if (!core) return;
  std::string received(bytes(text, length));
  core->record.issuedMessages.push_back(received);
  while (!received.empty() && received.back() == '\0') received.pop_back();
  core->writeLog(kLevelError, "Argument " + received);
}

// The Java bridge: a name resolves to an object registered as it is (registerJavaObject), or
// to one made in the process's Java VM (createJavaObject), whose environment is the calling
// thread's. A name that is neither is no Java object; the VM is never started here.
StatusCode passIdentity(const char* name, int32_t length, void** environmentOut, void** classOut,
                        void** objectOut) {
  if (environmentOut) *environmentOut = nullptr;
  if (classOut) *classOut = nullptr;
  if (objectOut) *objectOut = nullptr;
  HostCore* core = activeCore();
  if (!core || !name || !environmentOut || !classOut || !objectOut) return kHostStatusMissingArgument;
  ++core->record.passIdentityRequests;
  std::string key = text::asciiUpper(bytes(name, length));
  while (!key.empty() && key.back() == ' ') key.pop_back();
  if (auto it = core->javaObjects.find(key); it != core->javaObjects.end()) {
    *environmentOut = it->second.environment;
    *classOut = it->second.javaClass;
    *objectOut = it->second.object;
    return kStatusOk;
  }
  auto held = core->heldJavaObjects.find(key);
  if (held == core->heldJavaObjects.end()) return kHostStatusNoJavaObject;
  JavaEnvironment* env = java::environment();
  if (env == nullptr) return kHostStatusNoJavaObject;
  *environmentOut = env;
  *classOut = held->second.javaClass;
  *objectOut = held->second.object;
  return kStatusOk;
}

// The session encoding is UTF-8; invalid bytes are read as Latin-1 and re-encoded. The text
// goes to the Java platform's string functions, so it comes out in the platform's modified
// UTF-8 (text_tools.h), and the capacity holds for the converted text: a character outside the
// Basic Multilingual Plane takes six bytes there, not four.
StatusCode transcode(const char* text, int32_t length, char* out, int32_t capacity,
                     int32_t* outLength) {
  if (outLength) *outLength = 0;
  if ((!text && length > 0) || !out || !outLength) return kHostStatusMissingArgument;
  std::string converted = text::toModifiedUtf8(bytes(text, length));
  if (capacity < 0 || converted.size() > static_cast<size_t>(capacity))
    return kHostStatusBufferTooSmall;
  std::memcpy(out, converted.data(), converted.size());
  *outLength = static_cast<int32_t>(converted.size());
  return kStatusOk;
}

void logLine(const char* formatText, ...) {
  va_list arguments;
  va_start(arguments, formatText);
  std::string text = formatNarrow(formatText, &arguments);
  va_end(arguments);
  if (HostCore* core = activeCore()) core->writeLog(-1, text);
}

int32_t textTest(const char* prefix, const char* text, int32_t length) {
  if (!prefix || !text || length < 0) return 0;
  size_t n = std::strlen(prefix);
  if (static_cast<size_t>(length) < n) return 0;
  const auto& upper = text::upperCaseTable();
  for (size_t i = 0; i < n; ++i)
    if (upper[static_cast<uint8_t>(prefix[i])] != upper[static_cast<uint8_t>(text[i])]) return 0;
  return 1;
}

template <typename Fn>
void put(HostCore& core, HostServiceId id, Fn function) {
  auto& table = core.tableStorage[id.group];
  if (table.size() <= id.slot) table.resize(host_service::kLargestSlot + 1, nullptr);
  table[id.slot] = reinterpret_cast<HostServiceEntry>(function);
}

}  // namespace

void installServices(HostCore& core) {
  namespace hs = host_service;
  put<hs::RaiseError>(core, hs::kRaiseError, raiseError);
  put<hs::MessageText>(core, hs::kMessageText, messageText);
  put<hs::PutMessage>(core, hs::kPutMessage, putMessage);
  put<hs::Format>(core, hs::kFormat, format);
  put<hs::GetOption>(core, hs::kGetOption, getOption);
  put<hs::GetOptionText>(core, hs::kGetOptionText, getOptionText);
  put<hs::OptionUpdate>(core, hs::kOptionUpdate, optionUpdate);
  put<hs::OptionSet>(core, hs::kOptionSet, optionSet);
  put<hs::GetNamedItem>(core, hs::kGetNamedItem, getNamedItem);
  put<hs::SetNamedItem>(core, hs::kSetNamedItem, setNamedItem);
  put<hs::ReportStatus>(core, hs::kReportStatus, reportStatus);
  put<hs::CreateCleanup>(core, hs::kCreateCleanup, createCleanup);
  put<hs::CleanupControl>(core, hs::kArmCleanup, armCleanup);
  put<hs::CleanupControl>(core, hs::kDisarmCleanup, disarmCleanup);
  put<hs::CleanupControl>(core, hs::kDestroyCleanup, destroyCleanup);
  put<hs::TaskSync>(core, hs::kTaskSync, taskSync);
  put<hs::LoadComponent>(core, hs::kLoadComponent, loadComponent);
  put<hs::SetSessionSlot>(core, hs::kSetSessionSlot, setSessionSlot);
  put<hs::ParseNumber>(core, hs::kParseNumber, parseNumber);
  put<hs::MacroScope>(core, hs::kMacroScope, macroScope);
  put<hs::SetMacroText>(core, hs::kSetMacroText, setMacroText);
  put<hs::SetMacroNumber>(core, hs::kSetMacroNumber, setMacroNumber);
  put<hs::CompareMixed>(core, hs::kCompareMixed, compareMixed);
  put<hs::GetShortName>(core, hs::kGetShortName, getShortName);
  put<hs::GetMetadataInterface>(core, hs::kGetMetadataInterface, getMetadataInterface);
  put<hs::IssueMessage>(core, hs::kIssueMessage, issueMessage);
  put<hs::PassIdentity>(core, hs::kPassIdentity, passIdentity);
  put<hs::Transcode>(core, hs::kTranscode, transcode);
  put<hs::LogLine>(core, hs::kLogLine, logLine);
  put<hs::TextTest>(core, hs::kTextTest, textTest);
  for (auto& [group, table] : core.tableStorage) core.tablePointers[group] = table.data();
}

}  // namespace refhost::detail
