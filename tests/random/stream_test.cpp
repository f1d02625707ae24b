// Random streams: creation, initialisation order, double-seed rule, clock seeds, stream-number
// limits and the status codes with their messages.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>

#include "fake_runtime.h"
#include "random/conversions.h"
#include "random/engine.h"
#include "random/stream.h"

namespace {

using rng::RandomStream;
using rng_test::FakeRuntime;

// Allocator handing out zero-filled blocks, freed at the end of the test.
struct TestAllocator {
  HostAllocator allocator{&kOps, this};
  std::vector<void*> blocks;
  int failNext = 0;
  uint32_t lastTag = 0;
  ~TestAllocator() {
    for (void* b : blocks) std::free(b);
  }
  static void* allocate(HostAllocator* a, uint64_t size, uint32_t tag) {
    auto* self = static_cast<TestAllocator*>(a->hostPrivate);
    self->lastTag = tag;
    if (self->failNext) {
      --self->failNext;
      return nullptr;
    }
    void* block = std::calloc(1, size);
    self->blocks.push_back(block);
    return block;
  }
  static void release(HostAllocator*, void*) {}
  static constexpr HostAllocatorOps kOps = {&allocate, &release};
};

struct StreamTest : ::testing::Test {
  FakeRuntime runtime;
  TestAllocator allocator;
  void method(const char16_t* name) { runtime.store[u"OSENV.RUX_RNG_METHOD"] = std::u16string(name); }
  RandomStream* create(uint64_t seed, uint64_t number = 0) {
    return rng::createStream(&allocator.allocator, seed, number);
  }
  bool logged(StatusCode code) {
    for (StatusCode c : runtime.catalogueCodes())
      if (c == code) return true;
    return false;
  }
};

TEST_F(StreamTest, CreationInitialisesTheBlock) {
  RandomStream* s = create(5489);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(allocator.lastTag, 8198u);
  EXPECT_EQ(s->status, 0u);
  EXPECT_EQ(s->eyeCatcher1, 123456789u);
  EXPECT_EQ(s->eyeCatcher2, 987654321u);
  EXPECT_EQ(s->initialised, 1);
  EXPECT_EQ(s->descriptor, &s->embedded);
  EXPECT_EQ(s->selectedName, s->embedded.name);
  for (void* p : s->statePointers) EXPECT_EQ(p, s->state);
  EXPECT_EQ(s->unusedOne, 1u);
  EXPECT_EQ(std::u16string(s->methodName), u"MTHYBRID");
  EXPECT_EQ(s->stateSize, 2500u);
  EXPECT_EQ(s->uniform, s->embedded.ops.preferredUniform);
  EXPECT_EQ(std::bit_cast<uint64_t>(s->cachedDeviates[2]), rng::kNoDeviateBits);
  EXPECT_EQ(s->cachedWord1, 0x80000001u);
  EXPECT_EQ(s->seedUsed, 5489u);
  EXPECT_EQ(s->seedCheck, rng::fmix32(5489));
  // MTHYBRID with 5489 (low 13 bits non-zero) seeds like the 1998 generator.
  EXPECT_EQ(reinterpret_cast<uint32_t*>(s->state)[1], 5489u * 69069u);
  EXPECT_EQ(rng::initialiseStream(nullptr), 0x803FC002u);
  allocator.failNext = 1;
  EXPECT_EQ(create(1), nullptr);
}

TEST_F(StreamTest, NegativeSeedReachesBothWordSizes) {
  method(u"MT32");
  RandomStream* narrow = create(static_cast<uint64_t>(int64_t{-1}));
  EXPECT_EQ(narrow->seedUsed, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(reinterpret_cast<uint32_t*>(narrow->state)[0], 0xFFFFFFFFu);
  EXPECT_EQ(narrow->seedCheck, rng::fmix32(0xFFFFFFFFu));
  method(u"MT64");
  RandomStream* wide = create(static_cast<uint64_t>(int64_t{-1}));
  EXPECT_EQ(reinterpret_cast<uint64_t*>(wide->state)[0], 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(wide->seedCheck, static_cast<uint32_t>(rng::fmix64(~0ull)));
}

TEST_F(StreamTest, ZeroSeedTakesTheForcedOr32BitClockSeed) {
  runtime.store[u"tkbug.RNGSEED"] = 12345.0;
  method(u"MT64");
  RandomStream* s = create(0);
  // A new stream has no word size yet, so the 32-bit routine supplies the seed.
  EXPECT_EQ(s->seedUsed, 12345u);
  runtime.store[u"tkbug.RNGSEED"] = -2.0;
  EXPECT_EQ(create(0)->seedUsed, 0xFFFFFFFFFFFFFFFEull) << "the 32-bit seed is widened with its sign";
  runtime.store.erase(u"tkbug.RNGSEED");
  runtime.setRdrand(false);
  RandomStream* clocked = create(0);
  EXPECT_NE(clocked->seedUsed, 0u);
  EXPECT_LE(clocked->seedUsed, 0x7FFFFFFEu);
}

TEST_F(StreamTest, ClockSeedsWithoutRdrand) {
  runtime.setRdrand(false);
  runtime.store[u"tkbug.RNGSEED"] = 1e19;  // above 2^63: the 64-bit seed keeps the top bit
  EXPECT_EQ(rng::clockSeed64(), 10000000000000000000ull);
  runtime.store.erase(u"tkbug.RNGSEED");
  int32_t a = rng::clockSeed32();
  EXPECT_GT(a, 0);
  EXPECT_NE(a, 0x7FFFFFFF);
  uint64_t b = rng::clockSeed64();
  EXPECT_NE(b, 0u);
  EXPECT_LT(b, 1ull << 53) << "values above 2048 are shifted right by 11";
  runtime.systemWord5 = 78;
  EXPECT_NE(rng::clockSeed64(), b);
}

TEST_F(StreamTest, DoubleSeedRule) {
  EXPECT_EQ(rng::doubleSeedRule(-1.0, ~0ull), 0u);
  EXPECT_EQ(rng::doubleSeedRule(std::bit_cast<double>(0xFFFF000000000001ull), ~0ull), 0u);
  EXPECT_EQ(rng::doubleSeedRule(4096.0, 0xFFFFFFFFu), 4096u);
  EXPECT_EQ(rng::doubleSeedRule(1e18, ~0ull), 1000000000000000000ull);
  // 0.75 = 0.75 * 2^0: floor(0.25 * 2 * (N - 2) + 1) with N = 2^32 - 1.
  EXPECT_EQ(rng::doubleSeedRule(0.75, 0xFFFFFFFFu), (0xFFFFFFFFull - 2) / 2 + 1);
  // Above the maximum: N is capped at 2^53 for large maxima.
  int exponent = 0;
  const double mantissa = std::frexp(1e300, &exponent);
  EXPECT_EQ(rng::doubleSeedRule(1e300, ~0ull),
            static_cast<uint64_t>(std::floor((mantissa - 0.5) * 2 * (9007199254740992.0 - 2) + 1)));
  EXPECT_TRUE(runtime.catalogueCodes().empty());
  // A maximum of 0 scales below 1: error 0x8C7FE819, result returned anyway.
  runtime.store[u"OSENV.RUX_RNG_MESSAGES"] = std::u16string(u"ALL");
  EXPECT_EQ(rng::doubleSeedRule(2.5, 0), 0u);
  EXPECT_TRUE(logged(rng::kMsgDoubleSeedRange));
}

TEST_F(StreamTest, DoubleSeedReplacesTheSeedAndWarnsWhenItDiffers) {
  runtime.store[u"OSENV.RUX_RNG_MESSAGES"] = std::u16string(u"warn");
  method(u"MT32");
  RandomStream* s = create(1);
  s->seedDouble = 77.0;
  EXPECT_EQ(rng::initialiseStream(s), 0u);
  EXPECT_EQ(s->seed, 77u);
  EXPECT_FALSE(logged(rng::kMsgDoubleSeedDiffers));
  s->seedDouble = 0.5;
  rng::initialiseStream(s);
  EXPECT_EQ(s->seed, 1u);  // floor(0 * ... + 1)
  EXPECT_TRUE(logged(rng::kMsgDoubleSeedDiffers));
  // A missing-value double counts as no double seed.
  s->seed = 9;
  s->seedDouble = std::bit_cast<double>(0xFFFFFFFFFFFFFFFFull);
  rng::initialiseStream(s);
  EXPECT_EQ(s->seedDouble, 0.0);
  EXPECT_EQ(s->seedUsed, 9u);
}

TEST_F(StreamTest, StreamNumberLimitsOfKeyedMethods) {
  runtime.store[u"OSENV.RUX_RNG_MESSAGES"] = std::u16string(u"error");
  struct Case {
    const char16_t* method;
    uint64_t number;
    StatusCode status;
  } cases[] = {
      {u"PCG32I", 1023, 0},          {u"PCG32I", 1024, rng::kStatusStreamRange},
      {u"SUBKEY32", 1024, rng::kStatusStreamRange},
      {u"PCG64I", 0xFFFFF, 0},       {u"PCG64I", 0x100000, rng::kStatusStreamRange},
      {u"SUBKEY64", 0x100000, rng::kStatusStreamRange},
      {u"FRY2X32", 0xFFFFFFFF, 0},   {u"MT32", 0xFFFFFFFF, 0},
      {u"MT32", 0x100000000ull, rng::kStatusStreamRange},
      {u"MT64", ~0ull, 0},
  };
  for (const Case& c : cases) {
    method(c.method);
    runtime.log.clear();
    RandomStream* s = create(3, c.number);
    SCOPED_TRACE(std::string(c.method, c.method + std::char_traits<char16_t>::length(c.method)));
    EXPECT_EQ(s->status, c.status) << c.number;
    EXPECT_EQ(logged(rng::kMsgStreamRange), c.status != 0);
  }
}

TEST_F(StreamTest, DoubleStreamNumbersAreChecked) {
  runtime.store[u"OSENV.RUX_RNG_MESSAGES"] = std::u16string(u"error");
  method(u"MT32");
  RandomStream* s = create(3);
  for (double bad : {-1.0, 2.5, 4294967296.0}) {
    runtime.log.clear();
    s->streamNumberDouble = bad;
    EXPECT_EQ(rng::initialiseStream(s), rng::kStatusStreamRange) << bad;
    EXPECT_TRUE(logged(rng::kMsgStreamDoubleRange));
  }
  s->streamNumberDouble = 12.0;
  EXPECT_EQ(rng::initialiseStream(s), 0u);
  EXPECT_EQ(s->streamNumber, 12u);
}

TEST_F(StreamTest, SeedsAndStreamsForMethodsWithoutThem) {
  runtime.store[u"OSENV.RUX_RNG_MESSAGES"] = std::u16string(u"warnings");
  method(u"RDRAND");
  RandomStream* s = create(5, 2);
  EXPECT_EQ(std::u16string(s->methodName), u"RDRAND");
  EXPECT_EQ(s->status, rng::kStatusSeedIgnored) << "only the first status is kept";
  EXPECT_TRUE(logged(rng::kMsgSeedIgnored));
  EXPECT_TRUE(logged(rng::kMsgStreamIgnored));
  method(u"XOR64");
  runtime.log.clear();
  RandomStream* t = create(5, 2);
  EXPECT_EQ(t->status, rng::kStatusStreamIgnored);
  EXPECT_FALSE(logged(rng::kMsgSeedIgnored));
}

TEST_F(StreamTest, UnknownMethodFallsBackAndKeepsTheStatus) {
  method(u"NOPE");
  RandomStream* s = create(5489);
  EXPECT_EQ(s->status, rng::kStatusUnknownMethod);
  EXPECT_EQ(std::u16string(s->methodName), u"MTHYBRID");
  EXPECT_EQ(s->initialised, 1);
  EXPECT_NE(s->uniform(s->state), 0.0);
}

TEST_F(StreamTest, ReselectionGivesTheSeedReportOnce) {
  runtime.store[u"OSENV.RUX_RNG_MESSAGES"] = std::u16string(u"notes");
  RandomStream* s = create(5489);
  EXPECT_FALSE(logged(rng::kMsgSeedReportSeed)) << "a new stream gives no seed report";
  static const char kName[] = "MT64";
  s->selectedName = kName;
  EXPECT_EQ(rng::initialiseStream(s), 0u);
  EXPECT_EQ(std::u16string(s->methodName), u"MT64");
  EXPECT_TRUE(logged(rng::kMsgSeedReportSeed));
  EXPECT_EQ(s->optionFlags & 6, 6u);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(s->state)[0], 5489u);
  runtime.log.clear();
  rng::initialiseStream(s);
  EXPECT_FALSE(logged(rng::kMsgSeedReportSeed));
  // With a stream number the report names it.
  s->selectedName = "MT32";
  s->streamNumber = 4;
  runtime.log.clear();
  rng::initialiseStream(s);
  EXPECT_TRUE(logged(rng::kMsgSeedReportStream));
}

TEST_F(StreamTest, CountersAndKeysFollowSubstreamAndStreamNumber) {
  method(u"MT32");
  RandomStream* plain = create(42);
  RandomStream* keyed = create(42, 3);
  RandomStream* again = create(42, 3);
  EXPECT_EQ(std::memcmp(keyed->state, again->state, 2500), 0) << "same key gives same state";
  EXPECT_NE(std::memcmp(keyed->state, plain->state, 2500), 0);
  again->substream = 1;
  rng::initialiseStream(again);
  keyed->substream = 0;
  rng::initialiseStream(keyed);
  EXPECT_NE(std::memcmp(keyed->state, again->state, 2500), 0);
}

}  // namespace

namespace {

// A generator stuck on 2^64 - 1 (SUBKEY64 with key 0) used to make the 64-bit uniform redraw
// forever; it now ends with the largest double below 1.
TEST_F(StreamTest, StuckSixtyFourBitGeneratorUniformEnds) {
  method(u"SUBKEY64");
  RandomStream* s = create(~0ull, 0);
  ASSERT_EQ(std::u16string(s->methodName), u"SUBKEY64");
  EXPECT_EQ(s->descriptor->ops.next64(s->state), ~0ull);
  EXPECT_EQ(s->uniform(s->state), std::nextafter(1.0, 0.0));
  EXPECT_EQ(s->uniform(s->state), std::nextafter(1.0, 0.0));
}

}  // namespace
