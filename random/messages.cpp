// Name-value helpers (tknr*) and the message reporter. The helpers trace at level 1 while
// "OSENV.RUX_TKNR_DEBUG" is defined; every host failure other than "no value" is reported and
// then treated like "no value", so callers always fall back to their default.
#include "random/messages.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "random/text16.h"

namespace rng {
namespace {

constexpr char16_t kDebugKey[] = u"OSENV.RUX_TKNR_DEBUG";
constexpr char16_t kSeverityKey[] = u"OSENV.RUX_RNG_SEVERITY";
constexpr char16_t kThresholdKey[] = u"OSENV.RUX_RNG_MESSAGES";
constexpr char16_t kNoteLimitKey[] = u"OSENV.RUX_RNG_NOTE_LIMIT";
constexpr char16_t kErrorLimitKey[] = u"OSENV.RUX_RNG_ERROR_LIMIT";
constexpr char16_t kFailureLine[] = u"%s failed for %.*S in %hs";
constexpr int64_t kLookCapacity = 100;  // up to 99 characters and the zero

MessageObject* messageObject() {
  RuntimeTable* runtime = boundRuntime();
  return runtime != nullptr ? runtime->messageObject : nullptr;
}

bool isTypeStatus(StatusCode status) {
  return status == kNameValueWrongType || status == kNameValueWrongTypeAlt;
}

// "<service> failed for <name> in <helper>" at level 4, then the status (and the status of the
// line itself, when writing it failed) at level 4.
void reportFailure(const char16_t* service, const char16_t* name, int32_t length,
                   const char* helper, StatusCode status) {
  MessageObject* messages = messageObject();
  if (messages == nullptr) return;
  StatusCode lineStatus =
      messages->ops->formatted(messages, kLevelError, kFailureLine, service, length, name, helper);
  messages->ops->status(messages, kLevelError, status);
  if (lineStatus != 0) messages->ops->status(messages, kLevelError, lineStatus);
}

bool isBlank16(char16_t c) { return c == u' '; }

}  // namespace

const LookWord kSeverityWords[] = {
    {u"ERROR", 4}, {u"ERRORS", 4}, {u"WARN", 3}, {u"WARNING", 3}, {u"WARNINGS", 3},
    {u"NOTE", 2},  {u"NOTES", 2},  {u"YES", 2},  {u"INFO", 1},    {u"ALL", 0},
    {nullptr, 0}};
const LookWord kThresholdWords[] = {
    {u"NO", 9},      {u"NONE", 9},  {u"ERROR", 4}, {u"ERRORS", 4}, {u"WARN", 3},
    {u"WARNING", 3}, {u"WARNINGS", 3}, {u"NOTE", 2}, {u"NOTES", 2}, {u"YES", 2},
    {u"INFO", 1},    {u"ALL", 0},   {nullptr, 0}};

bool tracingEnabled() {
  RuntimeTable* runtime = boundRuntime();
  if (runtime == nullptr || runtime->nameValueDefined == nullptr) return false;
  return runtime->nameValueDefined(kDebugKey, 0) != 0;
}

int64_t tknrtget(const char16_t* name, int32_t length, char16_t* buffer, int64_t capacity) {
  bool tracing = tracingEnabled();
  if (capacity <= 0 || buffer == nullptr) return 0;
  int32_t nameLength = effectiveLength(name, length);
  buffer[0] = 0;
  int64_t read = 0;
  RuntimeTable* runtime = boundRuntime();
  if (capacity > 1 && runtime != nullptr && runtime->nameValueGet != nullptr) {
    int64_t size = capacity * 2 - 2;
    StatusCode status = runtime->nameValueGet(name, nameLength, kNameValueText, buffer, &size);
    if (status == 0) {
      read = std::clamp<int64_t>(size / 2, 0, capacity - 1);
    } else if (status != kNameValueNoValue) {
      reportFailure(u"tkNameValueGet", name, nameLength, "tknrtget", status);
    }
    buffer[read] = 0;
  }
  if (tracing) writeFormatted(kLevelInfo, u"%hs(%.*S)='%s'", "tknrtget", nameLength, name, buffer);
  return read;
}

double tknrdget(const char16_t* name, int32_t length, double defaultValue) {
  bool tracing = tracingEnabled();
  int32_t nameLength = effectiveLength(name, length);
  double value = defaultValue;
  RuntimeTable* runtime = boundRuntime();
  if (runtime != nullptr && runtime->nameValueGet != nullptr) {
    int64_t size = sizeof(double);
    StatusCode status = runtime->nameValueGet(name, nameLength, kNameValueDouble, &value, &size);
    if (status != 0) {
      value = defaultValue;
      if (status != kNameValueNoValue)
        reportFailure(u"tkNameValueGet", name, nameLength, "tknrdget", status);
    }
  }
  if (tracing) writeFormatted(kLevelInfo, u"%hs(%.*S)=%20g", "tknrdget", nameLength, name, value);
  return value;
}

bool parseLimitText(const char16_t* text, int64_t length, int64_t* value) {
  constexpr double kLimit = 9007199254740992.0;  // 2^53
  int64_t i = 0;
  while (i < length && isBlank16(text[i])) ++i;
  bool negative = false;
  if (i < length && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  if (i >= length || text[i] < u'0' || text[i] > u'9') return false;
  double sum = 0;
  for (; i < length && text[i] >= u'0' && text[i] <= u'9'; ++i) sum = sum * 10 + (text[i] - u'0');
  if (sum > kLimit) {
    if (negative) return false;
    sum = kLimit;
  }
  if (i < length && text[i] == u'.') {
    for (++i; i < length && text[i] == u'0'; ++i) {
    }
  }
  while (i < length && isBlank16(text[i])) ++i;
  if (i != length) return false;
  *value = negative ? -static_cast<int64_t>(sum) : static_cast<int64_t>(sum);
  return true;
}

int64_t tknrlget(const char16_t* name, int32_t length) {
  bool tracing = tracingEnabled();
  int32_t nameLength = effectiveLength(name, length);
  int64_t value = kNoLimitValue;
  RuntimeTable* runtime = boundRuntime();
  if (runtime != nullptr && runtime->nameValueGet != nullptr) {
    int64_t size = sizeof(int64_t);
    StatusCode status = runtime->nameValueGet(name, nameLength, kNameValueInteger, &value, &size);
    if (status != 0 && status != kNameValueNoValue) value = kNoLimitValue;
    if (isTypeStatus(status)) {
      char16_t text[kLookCapacity];
      int64_t textLength = tknrtget(name, nameLength, text, kLookCapacity);
      if (textLength == 0) {
        reportFailure(u"tkNameValueGet", name, nameLength, "tknrlget", status);
      } else if (!parseLimitText(text, textLength, &value)) {
        value = kNoLimitValue;
        if (MessageObject* messages = messageObject())
          messages->ops->catalogue(messages, kLevelError, kMsgBadNumber,
                                   static_cast<int32_t>(textLength), text, nameLength, name,
                                   static_cast<long long>(-9007199254740992LL),
                                   static_cast<long long>(9007199254740992LL));
      }
    } else if (status != 0 && status != kNameValueNoValue) {
      reportFailure(u"tkNameValueGet", name, nameLength, "tknrlget", status);
    }
  }
  if (tracing)
    writeFormatted(kLevelInfo, u"%hs(%.*S)=%lli", "tknrlget", nameLength, name,
                   static_cast<long long>(value));
  return value;
}

void tknrlset(const char16_t* name, int32_t length, int64_t value) {
  bool tracing = tracingEnabled();
  int32_t nameLength = effectiveLength(name, length);
  if (tracing)
    writeFormatted(kLevelInfo, u"%hs(%.*S)=%lli", "tknrlset", nameLength, name,
                   static_cast<long long>(value));
  RuntimeTable* runtime = boundRuntime();
  if (runtime == nullptr || runtime->nameValueSet == nullptr) return;
  StatusCode status =
      runtime->nameValueSet(name, nameLength, 1, kNameValueInteger, &value, sizeof value, 0, 0);
  if (isTypeStatus(status)) {
    char digits[32];
    int count = std::snprintf(digits, sizeof digits, "%" PRId64, value);
    char16_t text[32];
    for (int i = 0; i < count; ++i) text[i] = static_cast<char16_t>(digits[i]);
    text[count] = 0;
    if (tracing)
      writeFormatted(kLevelInfo, u"%hs(%.*S)='%.*S'", "tknrlset", nameLength, name, count, text);
    status = runtime->nameValueSet(name, nameLength, 1, kNameValueText, text,
                                   static_cast<int64_t>(count) * 2, 0, 0);
  }
  if (status != 0 && status != kNameValueNoValue)
    reportFailure(u"tkNameValueSet", name, nameLength, "tknrlset", status);
}

int64_t tknrlimit(const char16_t* name, int32_t length, int64_t defaultValue) {
  bool tracing = tracingEnabled();
  int32_t nameLength = effectiveLength(name, length);
  RuntimeTable* runtime = boundRuntime();
  if (runtime == nullptr || runtime->nameValueDefined == nullptr) return defaultValue;
  int64_t result;
  if (runtime->nameValueDefined(name, nameLength) == 0) {
    tknrlset(name, nameLength, defaultValue);
    result = defaultValue;
  } else {
    int64_t g = tknrlget(name, nameLength);
    if (g == kNoLimitValue) {
      if (tracing)
        writeFormatted(kLevelError,
                       u"tkNameValueGet failed for %.*S in %hs. The existing value may not be a "
                       u"TKChar string or RUXLONG.",
                       nameLength, name, "tknrlimit");
      g = 100;
    }
    result = g - 1;
    if (g == 1) {
      if (MessageObject* messages = messageObject())
        messages->ops->catalogue(messages, kLevelNote, kMsgLimitReached, nameLength, name);
    }
    if (g <= 0) result = -1;
    tknrlset(name, nameLength, result);
  }
  if (tracing)
    writeFormatted(kLevelInfo, u"%hs(%.*S)=%lli", "tknrlimit", nameLength, name,
                   static_cast<long long>(result));
  return result;
}

void tknrtset(const char16_t* name, int32_t length, const char16_t* text) {
  bool tracing = tracingEnabled();
  int32_t nameLength = effectiveLength(name, length);
  int64_t textLength = length16(text);
  if (tracing)
    writeFormatted(kLevelInfo, u"%hs(%.*S)='%.*S'", "tknrtset", nameLength, name,
                   static_cast<int32_t>(textLength), text != nullptr ? text : u"");
  RuntimeTable* runtime = boundRuntime();
  if (runtime == nullptr || runtime->nameValueSet == nullptr) return;
  StatusCode status = runtime->nameValueSet(name, nameLength, 1, kNameValueText,
                                            text != nullptr ? text : u"", textLength * 2, 0, 0);
  if (status != 0 && status != kNameValueNoValue)
    reportFailure(u"tkNameValueSet", name, nameLength, "tknrtset", status);
}

int32_t tknrlook(const char16_t* name, int32_t length, int32_t defaultValue,
                 const LookWord* words) {
  bool tracing = tracingEnabled();
  int32_t nameLength = effectiveLength(name, length);
  char16_t text[kLookCapacity];
  int64_t textLength = tknrtget(name, nameLength, text, kLookCapacity);
  while (textLength > 0 && isBlank16(text[textLength - 1])) --textLength;
  text[textLength] = 0;
  for (int64_t i = 0; i < textLength; ++i) text[i] = upperCase16(text[i]);
  int32_t result = defaultValue;
  int32_t shownLength = static_cast<int32_t>(textLength);
  if (textLength > 0) {
    bool matched = false;
    for (const LookWord* entry = words; entry != nullptr && entry->word != nullptr &&
                                        entry->word[0] != 0;
         ++entry) {
      int64_t wordLength = length16(entry->word);
      bool equal = wordLength == textLength &&
                   std::equal(text, text + textLength, entry->word);
      if (tracing)
        writeFormatted(kLevelInfo,
                       equal ? u"%hs(%.*S) '%.*S' == '%.*S' %i" : u"%hs(%.*S) '%.*S' != '%.*S' %i",
                       "tknrlook", nameLength, name, shownLength, text,
                       static_cast<int32_t>(wordLength), entry->word, entry->value);
      if (equal) {
        result = entry->value;
        matched = true;
        break;
      }
    }
    if (!matched) {
      if (MessageObject* messages = messageObject())
        messages->ops->catalogue(messages, kLevelError, kMsgBadWord, shownLength, text, nameLength,
                                 name);
      // Clearing the setting reports a bad word once instead of on every message.
      tknrtset(name, nameLength, u"");
    }
  }
  if (tracing)
    writeFormatted(kLevelInfo, u"%hs(%.*S)=%i '%.*S'", "tknrlook", nameLength, name, result,
                   shownLength, text);
  return result;
}

void reportStatus(StatusCode status) {
  if (MessageObject* messages = messageObject())
    messages->ops->status(messages, kLevelError, status);
}

int32_t admitMessage(int32_t level) {
  if (messageObject() == nullptr) return -1;
  if (level <= kLevelInfo) level = tknrlook(kSeverityKey, 0, level, kSeverityWords);
  int32_t threshold = tknrlook(kThresholdKey, 0, kLevelError, kThresholdWords);
  if (level < threshold) return -1;
  int64_t remaining = level <= kLevelNote ? tknrlimit(kNoteLimitKey, 0, 100)
                                          : tknrlimit(kErrorLimitKey, 0, 100);
  if (remaining < 0) return -1;
  return std::max(level, kLevelNote);
}

}  // namespace rng
