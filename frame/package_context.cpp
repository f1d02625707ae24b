// Creation of the per-session package context and the startup-option parsing it needs.
#include "frame/package_context.h"

#include <cmath>

#include "frame/call_frame.h"
#include "frame/host_services.h"
#include "frame/module_globals.h"
#include "random/engine.h"

namespace frame {
namespace {

// The host's option text is asked for with this capacity. The buffer has one byte more so that
// the terminating NUL fits even when the host fills all 1024 bytes.
constexpr int32_t kOptionTextCapacity = 1024;

constexpr int32_t kOptionSettingSeeded = 28;

// Saturating truncation: a seed beyond the 32-bit range (or not a number) must not be undefined
// behaviour in the conversion.
int32_t seedFromNumber(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

PackageContext* packageContext(HostSession* session) {
  return static_cast<PackageContext*>(session->extensionSlots[kPackageContextSlot]);
}

int32_t optionValue(HostSession* session, const char* name) {
  HostInterface* host = hostInterface();
  char buffer[kOptionTextCapacity + 1];
  char* textPointer = buffer;
  int32_t length = kOptionTextCapacity;
  if (hostGetOptionText(host, &textPointer, &length, session) != kStatusOk || length <= 0) {
    return 0;
  }
  if (length > kOptionTextCapacity) length = kOptionTextCapacity;
  const unsigned char* text = reinterpret_cast<const unsigned char*>(textPointer);
  // Terminated for anyone who reads the buffer as a string; the walk below is bounded by length.
  if (textPointer == buffer) buffer[length] = '\0';

  const uint8_t* upper = host->upperCaseTable;
  const uint8_t* classes = host->characterClassTable;
  const unsigned char* wanted = reinterpret_cast<const unsigned char*>(name);
  if (*wanted == '-') {
    ++wanted;
    while (*wanted == ' ') ++wanted;
  }

  int32_t result = 0;
  int32_t position = 0;
  while (position < length) {
    while (position < length && (classes[text[position]] & kClassBlank) != 0) ++position;
    if (position >= length) break;

    const unsigned char* n = wanted;
    while (position < length && *n != '\0' && upper[text[position]] == upper[*n]) {
      ++position;
      ++n;
    }
    bool nameEnded = *n == '\0' || *n == ' ';
    if (!nameEnded && position < length && text[position] == '*') {
      ++position;  // "*" abbreviates the rest of the name
      nameEnded = true;
    }
    bool matched = false;
    if (nameEnded) {
      bool continuesName = position < length && ((classes[text[position]] & kClassNameMask) != 0 ||
                                                 text[position] == '_');
      matched = !continuesName;
    }
    if (matched) {
      result = 1;
      if (position < length && text[position] == '=') {
        ++position;
        int32_t consumed = 0;
        double value = 0.0;
        if (hostParseNumber(host, reinterpret_cast<const char*>(text + position), length - position,
                            &consumed, &value) == kStatusOk) {
          result = seedFromNumber(value);
          if (consumed > 0) position += consumed < length - position ? consumed : length - position;
        }
      }
    }
    while (position < length && (classes[text[position]] & kClassBlank) == 0) ++position;
  }

  if (result != 0) {
    hostOptionUpdate(host, -1);
    hostOptionSet(host, kOptionSettingSeeded, 1);
    hostOptionUpdate(host, 0);
  }
  return result;
}

StatusCode createPackageContext(HostSession* session) {
  HostInterface* host = hostInterface();
  HostAllocator* pool = session->pool;
  auto* context =
      static_cast<PackageContext*>(hostAllocate(pool, sizeof(PackageContext), kTagPackageContext));
  if (context == nullptr) return kStatusNoMemory;
  // Visible from here on: a failure below leaves a partly filled context that later calls use
  // as it is (only the status block matters to the functions, and it is made on demand).
  hostSetSessionSlot(host, session, kPackageContextSlot, context);

  int32_t seed = optionValue(session, "-rngseed");
  context->randomStream = rng::createStream(
      host->streamAllocator, static_cast<uint64_t>(static_cast<int64_t>(seed)), 0);
  if (context->randomStream == nullptr) return kStatusNoMemory;

  StatusCode status = hostGetOption(host, "YEARCUTOFF", 10, &context->yearCutoff, session);
  if (status != kStatusOk) return status;

  hostGetShortName(host, context->shortName);
  context->shortNameLength = static_cast<uint16_t>(trimmedLength(context->shortName, 8));

  auto* delimiters = static_cast<uint8_t*>(hostAllocate(pool, kDelimiterTableSize, kTagGeneral));
  if (delimiters == nullptr) return kStatusNoMemory;
  // The pool hands out zero-filled blocks; only the delimiter entries are set.
  for (const char* c = kDelimiterCharacters; *c != '\0'; ++c) {
    delimiters[static_cast<unsigned char>(*c)] = 1;
  }
  context->delimiterTable = delimiters;

  context->workBuffer = static_cast<uint8_t*>(hostAllocate(pool, kWorkBufferSize, kTagGeneral));
  return context->workBuffer != nullptr ? kStatusOk : kStatusNoMemory;
}

}  // namespace frame
