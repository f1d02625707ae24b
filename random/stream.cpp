// Random streams: creation and the ordered initialisation (selection, seeding, stream-number
// checks, seed report, seed and key application, seed fingerprint).
#include "random/stream.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "random/conversions.h"
#include "random/engine.h"

namespace rng {
namespace {

constexpr uint64_t kMaxWideKeyedStream = 0xFFFFF;  // stream number << 43 must fit 64 bits
constexpr uint64_t kMaxNarrowKeyedStream = 1023;   // stream number << 21 must fit 32 bits

void keepFirst(RandomStream* stream, StatusCode status) {
  if (stream->status == 0) stream->status = status;
}

// The label a seed report names the method by.
const char* reportLabel(const MethodDescriptor& d) {
  return (d.flags & kFlagHasDescription) ? d.description : d.name;
}

void resetCachedDeviates(RandomStream* stream) {
  const double noDeviate = std::bit_cast<double>(kNoDeviateBits);
  for (double& cached : stream->cachedDeviates) cached = noDeviate;
  stream->cachedWord1 = kNoDeviateWord;
  stream->cachedWord2 = 0;
  stream->cachedWord3 = 0;
}

bool isWholeNumber(double x) { return std::isfinite(x) && std::trunc(x) == x; }

void applySeedAndKey(RandomStream* stream, uint64_t seed) {
  MethodDescriptor& d = *stream->descriptor;
  MethodOperations& ops = d.ops;
  void* state = stream->state;
  const bool wide = d.wordBits > 32;
  const bool hasStreams = (d.flags & kFlagHasStreams) != 0;
  if (d.flags & kFlagAcceptsSeed) {
    if (wide && ops.seed64) ops.seed64(state, seed);
    if (!wide && ops.seed32) ops.seed32(state, static_cast<uint32_t>(seed));
  }
  const uint64_t number = stream->streamNumber;
  const uint64_t substream = stream->substream;
  if ((d.flags & kFlagHasCounters) == 0 && hasStreams) {
    const uint64_t limit = wide ? kMaxWideKeyedStream : kMaxNarrowKeyedStream;
    if (number > limit) {
      keepFirst(stream, kStatusStreamRange);
      reportMessage(kLevelError, kMsgStreamRange, static_cast<unsigned long long>(number),
                    static_cast<unsigned long long>(limit), stream->methodName);
    }
    // The key is applied as computed even after the error.
    if (wide && ops.key64) ops.key64(state, number << 43 | substream);
    if (!wide && ops.key32) ops.key32(state, static_cast<uint32_t>(number << 21 | substream));
  } else if (d.flags & kFlagHasCounters) {
    if (wide) {
      if (ops.counter64) ops.counter64(state, substream);
      if (hasStreams && ops.key64) ops.key64(state, number);
    } else {
      if (ops.counter32) ops.counter32(state, static_cast<uint32_t>(substream));
      if (hasStreams && ops.key32) ops.key32(state, static_cast<uint32_t>(number));
    }
  }
  resetCachedDeviates(stream);
  stream->initialised = 1;
}

}  // namespace

RandomStream* createStream(HostAllocator* allocator, uint64_t seed, uint64_t streamNumber) {
  if (allocator == nullptr || allocator->ops == nullptr || allocator->ops->allocate == nullptr)
    return nullptr;
  void* block = allocator->ops->allocate(allocator, sizeof(RandomStream), kTagGeneral);
  if (block == nullptr) return nullptr;
  std::memset(block, 0, sizeof(RandomStream));
  auto* stream = static_cast<RandomStream*>(block);
  stream->descriptor = &stream->embedded;
  for (void*& pointer : stream->statePointers) pointer = stream->state;
  stream->unusedOne = 1;
  stream->unusedZero = 0;
  stream->seed = seed;
  stream->streamNumber = streamNumber;
  initialiseStream(stream);
  return stream;
}

StatusCode initialiseStream(RandomStream* stream) {
  if (stream == nullptr) return kStatusNoStream;
  MethodDescriptor& d = *stream->descriptor;
  const uint32_t previousWordBits = d.wordBits;

  stream->eyeCatcher1 = kEyeCatcher1;
  stream->eyeCatcher2 = kEyeCatcher2;
  stream->status = 0;
  if (stream->messageObject == nullptr)
    if (RuntimeTable* runtime = boundRuntime()) stream->messageObject = runtime->messageObject;

  if (stream->selectedName != d.name) {
    const char* previousName = stream->selectedName;
    stream->selectedName = d.name;
    if (previousName != nullptr) {
      stream->optionFlags |= kOptionReportPending;
      stream->optionFlags &= ~kOptionSeedReported;
    }
    stream->status = selectMethod(previousName, -1, &d, stream->optionFlags);
    stream->uniform = d.ops.uniform;
    stream->stateSize = d.ops.size ? d.ops.size(stream->state) : 0;
    std::memcpy(stream->methodName, d.wideName, sizeof stream->methodName);
    stream->initialised = 0;
  }

  // Seed.
  if (isMissingValue(stream->seedDouble)) stream->seedDouble = 0.0;
  const double seedDouble = stream->seedDouble;
  const bool doubleSeedGiven = seedDouble != 0 || std::isnan(seedDouble);
  uint64_t seed = stream->seed;
  if (d.flags & kFlagAcceptsSeed) {
    if (doubleSeedGiven) {
      seed = doubleSeedRule(seedDouble, d.maxSeed);
      stream->seed = seed;
    }
    if (seed != 0 && doubleSeedGiven &&
        static_cast<long double>(seed) != static_cast<long double>(seedDouble))
      reportMessage(kLevelWarning, kMsgDoubleSeedDiffers, seedDouble,
                    static_cast<unsigned long long>(d.maxSeed), stream->methodName,
                    static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
    if (seed == 0) {
      // The word size before this initialisation decides: a new stream takes the 32-bit seed.
      seed = previousWordBits > 32 ? clockSeed64()
                                   : static_cast<uint64_t>(static_cast<int64_t>(clockSeed32()));
      stream->seed = seed;
    }
  } else if (doubleSeedGiven || stream->seed != 0) {
    keepFirst(stream, kStatusSeedIgnored);
    reportMessage(kLevelWarning, kMsgSeedIgnored,
                  doubleSeedGiven ? seedDouble : static_cast<double>(stream->seed),
                  stream->methodName);
  }

  // Stream number.
  if (isMissingValue(stream->streamNumberDouble)) stream->streamNumberDouble = 0.0;
  const double numberDouble = stream->streamNumberDouble;
  const bool doubleNumberGiven = numberDouble != 0 || std::isnan(numberDouble);
  if (d.flags & kFlagHasStreams) {
    if (doubleNumberGiven && (!(numberDouble >= 0) || !isWholeNumber(numberDouble) ||
                              static_cast<long double>(numberDouble) >
                                  static_cast<long double>(d.maxStream))) {
      keepFirst(stream, kStatusStreamRange);
      reportMessage(kLevelError, kMsgStreamDoubleRange, numberDouble,
                    static_cast<unsigned long long>(d.maxStream), stream->methodName);
    } else {
      if (doubleNumberGiven) stream->streamNumber = static_cast<uint64_t>(numberDouble);
      if (stream->streamNumber > d.maxStream) {
        keepFirst(stream, kStatusStreamRange);
        reportMessage(kLevelError, kMsgStreamRange,
                      static_cast<unsigned long long>(stream->streamNumber),
                      static_cast<unsigned long long>(d.maxStream), stream->methodName);
      }
    }
  } else if (doubleNumberGiven || stream->streamNumber != 0) {
    keepFirst(stream, kStatusStreamIgnored);
    reportMessage(kLevelWarning, kMsgStreamIgnored,
                  doubleNumberGiven ? numberDouble : static_cast<double>(stream->streamNumber),
                  stream->methodName);
  }

  // Seed report, once after a re-selection.
  if ((stream->optionFlags & kOptionReportPending) && !(stream->optionFlags & kOptionSeedReported)) {
    stream->optionFlags |= kOptionSeedReported;
    const char* label = reportLabel(d);
    const auto s = static_cast<unsigned long long>(seed);
    const auto n = static_cast<unsigned long long>(stream->streamNumber);
    if (n != 0)
      reportMessage(kLevelNote, kMsgSeedReportStream, label, s, s, n, n);
    else if (s != 0)
      reportMessage(kLevelNote, kMsgSeedReportSeed, label, s, s);
    else
      reportMessage(kLevelNote, kMsgSeedReport, label, s);
  }

  applySeedAndKey(stream, seed);

  stream->seedUsed = seed;
  stream->seedCheck = d.wordBits > 32 ? static_cast<uint32_t>(fmix64(seed))
                                      : fmix32(static_cast<uint32_t>(seed));
  if (d.ops.preferredUniform) stream->uniform = d.ops.preferredUniform;
  return stream->status;
}

}  // namespace rng
