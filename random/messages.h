// Name-value helpers with tracing and the filtered message reporter of the random engine.
// Everything here reaches the host through the bound runtime table (random/engine.h); without a
// runtime table or message object the helpers read nothing and the reporter writes nothing.
//
// Names and texts are UTF-16. A name length of 0 or less means the name ends at its zero.
#pragma once

#include <cstdint>

#include "frame/host_abi.h"
#include "random/engine.h"

namespace rng {

inline constexpr int64_t kNoLimitValue = -666;  // tknrlget: value could not be obtained

// Engine message codes.
inline constexpr StatusCode kMsgSeedIgnored = 0x8C7FE817u;          // warning: seed, method
inline constexpr StatusCode kMsgDoubleSeedDiffers = 0x8C7FE818u;    // warning
inline constexpr StatusCode kMsgDoubleSeedRange = 0x8C7FE819u;      // error
inline constexpr StatusCode kMsgStreamIgnored = 0x8C7FE81Au;        // warning
inline constexpr StatusCode kMsgStreamDoubleRange = 0x8C7FE81Bu;    // error
inline constexpr StatusCode kMsgStreamRange = 0x8C7FE81Cu;          // error
inline constexpr StatusCode kMsgSeedReport = 0x8C7FE828u;           // note
inline constexpr StatusCode kMsgSeedReportSeed = 0x8C7FE829u;       // note
inline constexpr StatusCode kMsgSeedReportStream = 0x8C7FE82Au;     // note
inline constexpr StatusCode kMsgInstalled = 0x8C7FE851u;            // info: description (8-bit)
inline constexpr StatusCode kMsgStateSize = 0x8C7FE852u;            // info: wide name, size
inline constexpr StatusCode kMsgBadNumber = 0x8C7FE8C8u;            // error
inline constexpr StatusCode kMsgBadWord = 0x8C7FE8C9u;              // error
inline constexpr StatusCode kMsgLimitReached = 0x8C7FE8CAu;         // note

// True when "OSENV.RUX_TKNR_DEBUG" is defined.
bool tracingEnabled();

// Reads a text into buffer (capacity in characters, including the zero). Returns its length.
int64_t tknrtget(const char16_t* name, int32_t length, char16_t* buffer, int64_t capacity);
// Reads a double over the default.
double tknrdget(const char16_t* name, int32_t length, double defaultValue);
// Reads a signed 64-bit integer (or a text holding one); kNoLimitValue when none was obtained.
int64_t tknrlget(const char16_t* name, int32_t length);
void tknrlset(const char16_t* name, int32_t length, int64_t value);
// The count-down used by the reporter; -1 once the limit is exhausted.
int64_t tknrlimit(const char16_t* name, int32_t length, int64_t defaultValue);
void tknrtset(const char16_t* name, int32_t length, const char16_t* text);

// One entry of a tknrlook word list; a list ends with an entry whose word is null or empty.
struct LookWord {
  const char16_t* word;
  int32_t value;
};
int32_t tknrlook(const char16_t* name, int32_t length, int32_t defaultValue, const LookWord* words);

// The word lists of "OSENV.RUX_RNG_SEVERITY" and "OSENV.RUX_RNG_MESSAGES".
extern const LookWord kSeverityWords[];
extern const LookWord kThresholdWords[];

// Parses the text form of tknrlget. Returns false for a rejected text; value receives the number.
bool parseLimitText(const char16_t* text, int64_t length, int64_t* value);

// Decides whether a message of `level` is shown and at which host level: returns the host level
// (2..9) or -1 when the message is dropped. Consults severity, threshold and the count-downs.
int32_t admitMessage(int32_t level);

// Reports a host status at level 4 through the message object (nothing without one).
void reportStatus(StatusCode status);

// Report message (level, code, arguments): filtered catalogue message. Returns the catalogue
// call's failing status (after reporting it at level 4), else 0.
template <class... Args>
StatusCode reportMessage(int32_t level, StatusCode code, Args... args) {
  RuntimeTable* runtime = boundRuntime();
  if (runtime == nullptr || runtime->messageObject == nullptr) return 0;
  int32_t hostLevel = admitMessage(level);
  if (hostLevel < 0) return 0;
  MessageObject* messages = runtime->messageObject;
  StatusCode status = messages->ops->catalogue(messages, hostLevel, code, args...);
  if (status != 0) {
    reportStatus(status);
    return status;
  }
  return 0;
}

// Formatted message straight to the message object (no filtering); nothing without one.
template <class... Args>
void writeFormatted(int32_t level, const char16_t* format, Args... args) {
  RuntimeTable* runtime = boundRuntime();
  if (runtime == nullptr || runtime->messageObject == nullptr) return;
  runtime->messageObject->ops->formatted(runtime->messageObject, level, format, args...);
}

}  // namespace rng
