// Shared seeding helpers, RDRAND access, the empty operations and the install helper.
#include "random/conversions.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "random/engine.h"

namespace rng {
namespace {

constexpr char16_t kForcedSeedKey[] = u"tkbug.RNGSEED";
constexpr int kClockReads = 10'000'000;
constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

// The host clock in seconds (first double minus second); 0 without a runtime table.
double readClock() {
  RuntimeTable* runtime = boundRuntime();
  if (runtime == nullptr || runtime->query == nullptr) return 0.0;
  double buffer[2] = {0.0, 0.0};
  if (runtime->query(16, buffer, kQueryClock) != 0) return 0.0;
  return buffer[0] - buffer[1];
}

// Reads the clock until it changes (at most kClockReads reads); returns the first and last time.
void waitForClockTick(double* first, double* last) {
  double t0 = readClock();
  double t1 = t0;
  for (int i = 0; i < kClockReads && t1 == t0; ++i) t1 = readClock();
  *first = t0;
  *last = t1;
}

// Truncation to a signed 64-bit integer that stays defined for every double: NaN gives 0 and
// values outside the range wrap modulo 2^64, as the hardware conversion of an in-range value would.
int64_t truncateToInt64(double x) {
  if (std::isnan(x)) return 0;
  x = std::trunc(x);
  if (x > -kTwoTo63 && x < kTwoTo63) return static_cast<int64_t>(x);
  double wrapped = std::fmod(x, kTwoTo64);
  if (wrapped < 0) wrapped += kTwoTo64;
  if (wrapped >= kTwoTo63) return static_cast<int64_t>(static_cast<uint64_t>(wrapped));
  return static_cast<int64_t>(wrapped);
}

// Unsigned conversion keeping the top bit of values of 2^63 and above.
uint64_t truncateToUint64(double x) {
  if (!std::isnan(x) && x >= kTwoTo63 && x < kTwoTo64) return static_cast<uint64_t>(x);
  return static_cast<uint64_t>(truncateToInt64(x));
}

}  // namespace

bool isMissingValue(double x) { return (std::bit_cast<uint64_t>(x) >> 48) == 0xFFFF; }

uint64_t doubleSeedRule(double x, uint64_t maxSeed) {
  if (isMissingValue(x) || x <= 0) return 0;
  if (x < kTwoTo64 && std::trunc(x) == x && static_cast<uint64_t>(x) <= maxSeed)
    return static_cast<uint64_t>(x);
  uint64_t n = maxSeed > (1ull << 53) ? (1ull << 53) : maxSeed;
  // Plain double arithmetic, as the rule is written: the mantissa in [0.5, 1) scaled onto 1..N.
  int exponent = 0;
  const double mantissa = std::frexp(x, &exponent);
  const double scaled = std::floor((mantissa - 0.5) * 2.0 * (static_cast<double>(n) - 2.0) + 1.0);
  // Only a maximum below 2 (or a NaN/infinite x) can leave 1..N; the value is kept within what a
  // 64-bit seed can hold so that the conversion stays defined.
  uint64_t result = 0;
  if (scaled >= 1.0 && scaled <= static_cast<double>(n)) {
    result = static_cast<uint64_t>(scaled);
  } else {
    if (scaled >= 1.0) result = n;  // infinite x
    reportMessage(kLevelError, kMsgDoubleSeedRange, x, static_cast<unsigned long long>(n),
                  static_cast<unsigned long long>(result));
  }
  return result;
}

int32_t clockSeed32() {
  int64_t forced = truncateToInt64(tknrdget(kForcedSeedKey, 0, 0.0));
  if (static_cast<uint32_t>(forced) != 0) return static_cast<int32_t>(static_cast<uint32_t>(forced));
  uint32_t value = 0;
  if (rdrandAvailable()) value = rdrand32();
  if (value == 0) {
    double t0 = 0, t1 = 0;
    waitForClockTick(&t0, &t1);
    double x = (t1 - t0) != 0 ? t1 * 1.0000000000000009 / (t1 - t0) : t1;
    value = static_cast<uint32_t>(truncateToInt64(std::fmod(x, 4294967296.0)));
    if (value == 0) value = 1;
  }
  value &= 0x7FFFFFFFu;
  if (value == 0x7FFFFFFFu) value = 1;
  return static_cast<int32_t>(value);
}

uint64_t clockSeed64() {
  uint64_t forced = truncateToUint64(tknrdget(kForcedSeedKey, 0, 0.0));
  if (forced != 0) return forced;
  uint64_t h = 0;
  if (rdrandAvailable()) h = rdrand64();
  if (h == 0) {
    double t0 = 0, t = 0;
    waitForClockTick(&t0, &t);
    uint64_t system[25] = {};
    uint64_t taskIdentity = 0;
    if (RuntimeTable* runtime = boundRuntime()) {
      if (runtime->query != nullptr) runtime->query(8, system, kQuerySystem);
      if (runtime->currentTaskRecord != nullptr)
        if (HostTask* task = runtime->currentTaskRecord()) taskIdentity = task->identity;
    }
    h = truncateToUint64(t * 1e9) + system[5] + 2 * taskIdentity + 1;
    h = fmix64(h);
  }
  return h > 2048 ? h >> 11 : h;
}

uint32_t seedBytesShared(void* state, uint64_t seedStateBytes, const uint8_t* bytes, int64_t length,
                         int32_t mode) {
  if (length < 1 || bytes == nullptr) return 0;
  auto* target = static_cast<uint8_t*>(state);
  uint64_t given = static_cast<uint64_t>(length);
  if (given >= seedStateBytes) {
    std::memcpy(target, bytes, seedStateBytes);
    return 2;
  }
  if (mode & 2) {
    for (uint64_t filled = 0; filled < seedStateBytes; filled += given)
      std::memcpy(target + filled, bytes, std::min(given, seedStateBytes - filled));
    return 3;
  }
  std::memcpy(target, bytes, given);
  if (mode & 1) return 1;
  if (seedStateBytes < 8) {
    std::memset(target + given, 0, seedStateBytes - given);
    return 4;
  }
  uint64_t words = (given + 7) / 8;
  std::memset(target + given, 0, words * 8 - given);
  for (uint64_t j = words; j < seedStateBytes / 8; ++j) {
    uint64_t source;
    std::memcpy(&source, target + (j - words) * 8, 8);
    uint64_t hashed = fmix64(source);
    std::memcpy(target + j * 8, &hashed, 8);
  }
  return 4;
}

uint32_t seedBytesRefused(void*, const uint8_t*, int64_t length, int32_t) {
  return length <= 0 ? 0 : 0xFFFFFFFFu;
}

bool rdrandAvailable() {
  RuntimeTable* runtime = boundRuntime();
  if (runtime == nullptr || runtime->query == nullptr) return false;
  ProcessorRecord* record = nullptr;
  if (runtime->query(16, &record, kQueryProcessor) != 0 || record == nullptr) return false;
  return record->status == 0 && (record->leaf1Ecx & kCpuidEcxRdrand) != 0;
}

__attribute__((target("rdrnd"))) uint32_t rdrand32() {
  unsigned int value = 0;
  while (__builtin_ia32_rdrand32_step(&value) == 0) {
  }
  return value;
}

__attribute__((target("rdrnd"))) uint64_t rdrand64() {
  unsigned long long value = 0;
  while (__builtin_ia32_rdrand64_step(&value) == 0) {
  }
  return value;
}

void fillEmptyStreamSlots(MethodOperations& ops) {
  ops.key32 = kEmptyValue32;
  ops.key64 = kEmptyValue64;
  ops.keyDouble = kEmptyValueDouble;
  fillEmptyCounterSlots(ops);
}

void fillEmptyCounterSlots(MethodOperations& ops) {
  ops.counter32 = kEmptyValue32;
  ops.counter64 = kEmptyValue64;
}

void installCommon(MethodDescriptor* descriptor, const char* name, const char16_t* wideName,
                   const char* description, uint32_t flags) {
  std::memset(descriptor, 0, sizeof *descriptor);
  descriptor->nameCapacity = kNameCapacity;
  descriptor->descriptionCapacity = kDescriptionCapacity;
  descriptor->flags |= flags;
  if (name != nullptr) std::strncpy(descriptor->name, name, kNameCapacity - 1);
  for (uint32_t i = 0; wideName != nullptr && i + 1 < kNameCapacity && wideName[i] != 0; ++i)
    descriptor->wideName[i] = wideName[i];
  if (description != nullptr)
    std::strncpy(descriptor->description, description, kDescriptionCapacity - 1);
  reportMessage(kLevelInfo, kMsgInstalled,
                description != nullptr ? descriptor->description : descriptor->name);
}

uint64_t noteStateSize(const char16_t* wideName, uint64_t stateBytes) {
  reportMessage(kLevelInfo, kMsgStateSize, wideName, static_cast<unsigned long long>(stateBytes));
  return stateBytes;
}

}  // namespace rng
