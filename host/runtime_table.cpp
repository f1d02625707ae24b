// The runtime table: clock, system record and processor information, the name-value store, the
// transcoder, the task record and the message object that writes to the host log.
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "host/host_core.h"
#include "host/message_catalogue.h"
#include "host/printf_format.h"
#include "host/text_tools.h"

namespace refhost::detail {
namespace {

uint64_t nanoseconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Process-wide values taken once, so that the system record is stable within a process.
struct ProcessFacts {
  uint64_t startRealtime = nanoseconds(CLOCK_REALTIME);
  uint64_t startMonotonic = nanoseconds(CLOCK_MONOTONIC);
};
const ProcessFacts& processFacts() {
  static const ProcessFacts facts;
  return facts;
}

uint64_t mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

StatusCode query(int64_t, void* buffer, uint32_t selector) {
  HostCore* core = activeCore();
  if (!buffer) return kHostStatusMissingArgument;
  switch (selector) {
    case kQueryClock: {
      // Seconds of the monotonic clock; the second double is its origin (0).
      double d[2] = {static_cast<double>(nanoseconds(CLOCK_MONOTONIC)) * 1e-9, 0.0};
      std::memcpy(buffer, d, sizeof d);
      return kStatusOk;
    }
    case kQuerySystem: {
      const ProcessFacts& facts = processFacts();
      uint64_t w[25] = {};
      w[0] = static_cast<uint64_t>(::getpid());
      w[1] = static_cast<uint64_t>(::getppid());
      w[2] = static_cast<uint64_t>(::getuid());
      w[3] = facts.startRealtime;
      w[4] = facts.startMonotonic;
      // Word 6 (index 5) is the one seeders mix in: it differs between processes.
      w[5] = mix64(facts.startRealtime ^ (w[0] << 40) ^ facts.startMonotonic);
      char hostName[256] = {};
      ::gethostname(hostName, sizeof hostName - 1);
      w[6] = std::hash<std::string>{}(hostName);
      w[7] = static_cast<uint64_t>(::sysconf(_SC_NPROCESSORS_ONLN));
      w[8] = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
      w[9] = core ? core->task.identity : 0;
      w[10] = nanoseconds(CLOCK_REALTIME);
      std::memcpy(buffer, w, sizeof w);
      return kStatusOk;
    }
    case kQueryProcessor: {
      const ProcessorRecord* record = core ? &core->processor : nullptr;
      std::memcpy(buffer, &record, sizeof record);
      return record ? kStatusOk : kHostStatusMissingArgument;
    }
    default:
      return kHostStatusUnknownSelector;
  }
}

StatusCode nameValueGet(const char16_t* name, int32_t length, int32_t type, void* buffer,
                        int64_t* size) {
  HostCore* core = activeCore();
  if (!core || !name) return kHostStatusMissingArgument;
  return core->nameValues.get(runtimeName(name, length), type, buffer, size);
}

StatusCode nameValueSet(const char16_t* name, int32_t length, int32_t, int32_t type,
                        const void* value, int64_t size, int64_t, int64_t) {
  HostCore* core = activeCore();
  if (!core || !name) return kHostStatusMissingArgument;
  return core->nameValues.set(runtimeName(name, length), type, value, size);
}

int32_t nameValueDefined(const char16_t* name, int32_t length) {
  HostCore* core = activeCore();
  if (!core || !name) return 0;
  return core->nameValues.defined(runtimeName(name, length)) ? 1 : 0;
}

// 8-bit text (UTF-8; invalid bytes read as Latin-1) to UTF-16. A text longer than the capacity
// is cut at a whole unit and reported with 0x803FC007.
StatusCode transcode(const char* text, int64_t length, char16_t* out, int64_t capacity,
                     int64_t* outLength) {
  if (outLength) *outLength = 0;
  if (!outLength || (!out && capacity > 0)) return kHostStatusMissingArgument;
  if (!text) return length == 0 ? kStatusOk : kHostStatusMissingArgument;
  std::string_view source = length < 0 ? std::string_view(text)
                                       : std::string_view(text, static_cast<size_t>(length));
  std::u16string converted = text::utf8ToUtf16(source);
  int64_t room = capacity < 0 ? 0 : capacity;
  int64_t n = std::min<int64_t>(room, static_cast<int64_t>(converted.size()));
  if (n > 0) std::memcpy(out, converted.data(), static_cast<size_t>(n) * 2);
  *outLength = n;
  return n < static_cast<int64_t>(converted.size()) ? kHostStatusBufferTooSmall : kStatusOk;
}

HostTask* currentTaskRecord() {
  HostCore* core = activeCore();
  return core ? &core->task : nullptr;
}

HostCore* coreOf(MessageObject* self) {
  return self ? static_cast<HostCore*>(self->hostPrivate) : activeCore();
}

StatusCode formatted(MessageObject* self, int32_t level, const char16_t* formatText, ...) {
  HostCore* core = coreOf(self);
  if (!core) return kHostStatusMissingArgument;
  if (level >= kLevelNone) return kStatusOk;
  va_list arguments;
  va_start(arguments, formatText);
  std::string text = formatWide(formatText, &arguments);
  va_end(arguments);
  core->writeLog(level, text);
  return kStatusOk;
}

StatusCode catalogue(MessageObject* self, int32_t level, StatusCode code, ...) {
  HostCore* core = coreOf(self);
  if (!core) return kHostStatusMissingArgument;
  if (level >= kLevelNone) return kStatusOk;
  std::string text;
  if (const char16_t* format = catalogueFormat(code)) {
    va_list arguments;
    va_start(arguments, code);
    text = formatWide(format, &arguments);
    va_end(arguments);
  } else {
    text = catalogueText(code);
  }
  core->writeLog(level, text);
  return kStatusOk;
}

StatusCode status(MessageObject* self, int32_t level, StatusCode code) {
  HostCore* core = coreOf(self);
  if (!core) return kHostStatusMissingArgument;
  if (level >= kLevelNone || code == kStatusOk) return kStatusOk;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  core->writeLog(level, catalogueText(code) + " (status " + hex + ")");
  return kStatusOk;
}

const MessageObjectOps kMessageOps = {formatted, catalogue, status};

}  // namespace

void readProcessor(HostCore& core) {
  core.processor = ProcessorRecord{};
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    core.processor.status = 0;
    core.processor.leaf1Eax = eax;
    core.processor.leaf1Ebx = ebx;
    core.processor.leaf1Ecx = ecx;
    core.processor.leaf1Edx = edx;
  } else {
    core.processor.status = -1;
  }
#else
  core.processor.status = -1;  // no CPUID on this architecture
#endif
  core.realLeaf1Ecx = core.processor.leaf1Ecx;
}

void installRuntimeTable(HostCore& core) {
  core.messageObject.ops = &kMessageOps;
  core.messageObject.hostPrivate = &core;
  RuntimeTable& r = core.runtime;
  r.structureSize = sizeof(RuntimeTable);
  r.version = 1;
  r.query = query;
  r.nameValueGet = nameValueGet;
  r.nameValueSet = nameValueSet;
  r.nameValueDefined = nameValueDefined;
  r.transcode = transcode;
  r.currentTaskRecord = currentTaskRecord;
  r.messageObject = &core.messageObject;
  r.upperCase16 = text::upperUnit;
}

}  // namespace refhost::detail
