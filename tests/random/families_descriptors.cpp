// The install routines of the family methods, checked against the method table: names, sizes,
// limits, flags, which slots are filled, the state size note, listing sizes, zero seeds replaced
// by the clock seed, and RDRAND with and without the instruction. A small runtime table records
// what the engine sends to the host.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/host_abi.h"
#include "random/conversions.h"
#include "random/engine.h"
#include "random/method_list.h"
#include "random/stream.h"

namespace {

using rng::Method;
using rng::MethodDescriptor;

// --- A recording runtime table ------------------------------------------------------------------
struct Recorder {
  std::vector<std::u16string> formats;  // formatted messages, by format
  std::vector<StatusCode> codes;   // catalogue messages
  bool rdrand = false;
  bool forcedSeedSet = false;
  double forcedSeed = 0;  // "tkbug.RNGSEED"
  std::u16string messageThreshold;  // "OSENV.RUX_RNG_MESSAGES"
  std::u16string method;            // "OSENV.RUX_RNG_METHOD"
};
Recorder* recorder = nullptr;

StatusCode recordFormatted(MessageObject*, int32_t, const char16_t* format, ...) {
  recorder->formats.emplace_back(format);
  return 0;
}
StatusCode recordCatalogue(MessageObject*, int32_t, StatusCode code, ...) {
  recorder->codes.push_back(code);
  return 0;
}
StatusCode recordStatus(MessageObject*, int32_t, StatusCode) { return 0; }

const MessageObjectOps kMessageOps = {&recordFormatted, &recordCatalogue, &recordStatus};
MessageObject messageObject = {&kMessageOps, nullptr};
ProcessorRecord processor = {};

StatusCode fakeQuery(int64_t, void* buffer, uint32_t selector) {
  if (selector == kQueryProcessor) {
    processor.status = 0;
    processor.leaf1Ecx = recorder->rdrand ? kCpuidEcxRdrand : 0;
    *static_cast<ProcessorRecord**>(buffer) = &processor;
    return 0;
  }
  if (selector == kQueryClock) {
    static double tick = 1000.0;
    auto* times = static_cast<double*>(buffer);
    times[0] = (tick += 0.25);
    times[1] = 0;
    return 0;
  }
  return 0;
}

constexpr StatusCode kNoValue = 0x803FC26Au;

StatusCode fakeGet(const char16_t* name, int32_t length, int32_t type, void* buffer,
                        int64_t* size) {
  const std::u16string key(name, static_cast<size_t>(length));
  if (key == u"tkbug.RNGSEED" && recorder->forcedSeedSet && type == 2) {
    std::memcpy(buffer, &recorder->forcedSeed, sizeof(double));
    return 0;
  }
  const std::u16string* text = nullptr;
  if (key == u"OSENV.RUX_RNG_MESSAGES") text = &recorder->messageThreshold;
  if (key == u"OSENV.RUX_RNG_METHOD") text = &recorder->method;
  if (text == nullptr || text->empty() || type != 4) return kNoValue;
  const int64_t bytes = static_cast<int64_t>(text->size() * 2);
  if (bytes > *size) return kNoValue;
  std::memcpy(buffer, text->data(), static_cast<size_t>(bytes));
  *size = bytes;
  return 0;
}
StatusCode fakeSet(const char16_t*, int32_t, int32_t, int32_t, const void*, int64_t, int64_t,
                        int64_t) {
  return 0;
}
int32_t fakeDefined(const char16_t*, int32_t) { return 0; }

class FamiliesDescriptors : public testing::Test {
 protected:
  void SetUp() override {
    recorder = &record_;
    runtime_.structureSize = sizeof(RuntimeTable);
    runtime_.version = 1;
    runtime_.query = &fakeQuery;
    runtime_.nameValueGet = &fakeGet;
    runtime_.nameValueSet = &fakeSet;
    runtime_.nameValueDefined = &fakeDefined;
    runtime_.messageObject = &messageObject;
    rng::bindRuntime(&runtime_);
  }
  void TearDown() override {
    rng::bindRuntime(nullptr);
    recorder = nullptr;
  }
  Recorder record_;
  RuntimeTable runtime_{};
};

struct alignas(16) StateArea {
  uint8_t bytes[2512] = {};
};

// --- The method table ---------------------------------------------------------------------------
struct TableRow {
  Method method;
  const char* name;
  const char* description;
  uint32_t wordBits;
  uint64_t seedStateBytes;
  uint64_t size;
  uint32_t flags;
  uint64_t maxSeed;
  uint64_t maxStream;
  int64_t words32;  // listing sizes
  int64_t words64;
};
constexpr uint64_t kMax64 = ~0ull;
constexpr TableRow kTable[] = {
    {Method::FRY2X32, "FRY2X32", "32-bit Random123 2x32-bit Threefry", 32, 8, 28, 0x0AAF,
     0xFFFFFFFF, 0xFFFFFFFF, 7, 3},
    {Method::FRY2X64, "FRY2X64", "64-bit Random123 2x64-bit Threefry", 64, 16, 56, 0x1557, kMax64,
     kMax64, 14, 7},
    {Method::FRY4X64, "FRY4X64", "64-bit Random123 4x64-bit Threefry", 64, 32, 104, 0x1557, kMax64,
     kMax64, 26, 13},
    {Method::MH3, "MH3", "64-bit Murmur Hash 3", 64, 8, 8, 0x1017, kMax64, 0, 2, 1},
    {Method::PCG32I, "PCG32I", "32-bit PCG32i", 32, 4, 8, 0x082F, 0xFFFFFFFF, 0x7FFFFFFF, 2, 1},
    {Method::PCG64I, "PCG64I", "64-bit PCG64i", 64, 8, 16, 0x1057, kMax64, 0x7FFFFFFFFFFFFFFF, 4,
     2},
    {Method::RANUNI, "RANUNI", "", 31, 0, 4, 0x080A, 0xFFFFFFFF, 0, 1, 0},
    {Method::RDRAND, "RDRAND", "Intel RDRAND", 0, 0, 0, 0x3801, 0, 0, 0, 0},
    {Method::SUBKEY32, "SUBKEY32", "32-bit Subtract Key", 32, 4, 8, 0x082F, 0xFFFFFFFF, 0xFFFFFFFF,
     2, 1},
    {Method::SUBKEY64, "SUBKEY64", "64-bit Subtract Key", 64, 8, 16, 0x1057, kMax64, kMax64, 4, 2},
    {Method::XOR1024, "XOR1024", "64-bit XORSHIFT1024*", 64, 128, 136, 0x1017, kMax64, 0, 34, 17},
    {Method::XOR128, "XOR128", "64-bit XORSHIFT128+", 64, 16, 16, 0x1017, kMax64, 0, 4, 2},
    {Method::XOR4096, "XOR4096", "64-bit XORSHIFT4096*", 64, 512, 520, 0x1017, kMax64, 0, 130, 65},
    {Method::XOR64, "XOR64", "64-bit XORSHIFT64*", 64, 8, 8, 0x1017, kMax64, 0, 2, 1},
    {Method::XORGENS, "XORGENS", "64-bit XORGENS*", 64, 0, 528, 0x1013, kMax64, 0, 132, 66},
};

std::u16string wide(const char* text) { return std::u16string(text, text + std::strlen(text)); }

TEST_F(FamiliesDescriptors, InstallMatchesTheMethodTable) {
  for (const TableRow& row : kTable) {
    SCOPED_TRACE(row.name);
    MethodDescriptor d{};
    std::memset(&d, 0xA5, sizeof d);  // install must clear what a previous method left
    rng::methodEntry(row.method).install(&d);
    EXPECT_EQ(d.nameCapacity, 16u);
    EXPECT_EQ(d.descriptionCapacity, 64u);
    EXPECT_STREQ(d.name, row.name);
    EXPECT_EQ(std::u16string(d.wideName), wide(row.name));
    EXPECT_STREQ(d.description, row.description);
    EXPECT_EQ(d.wordBits, row.wordBits);
    EXPECT_EQ(d.seedStateBytes, row.seedStateBytes);
    EXPECT_EQ(d.seedStateBits, 8 * row.seedStateBytes);
    EXPECT_EQ(d.flags, row.flags);
    EXPECT_EQ(d.maxSeed, row.maxSeed);
    EXPECT_EQ(d.maxStream, row.maxStream);
    StateArea state;
    EXPECT_EQ(d.ops.size(state.bytes), row.size);
  }
}

TEST_F(FamiliesDescriptors, SlotsFilledAsTheFlagsSay) {
  for (const TableRow& row : kTable) {
    SCOPED_TRACE(row.name);
    MethodDescriptor d{};
    rng::methodEntry(row.method).install(&d);
    void* const* slot = rng::operationSlots(d.ops) - 1;  // 1-based
    for (int n = 1; n <= 12; ++n) EXPECT_NE(slot[n], nullptr) << "slot " << n;
    EXPECT_EQ(slot[13] != nullptr, (row.flags & rng::kFlagAdvance32) != 0);
    EXPECT_EQ(slot[14] != nullptr, (row.flags & rng::kFlagAdvance64) != 0);
    for (int n : {15, 16, 17, 19}) EXPECT_NE(slot[n], nullptr) << "slot " << n;
    EXPECT_EQ(slot[18] != nullptr, row.method == Method::RANUNI);
    EXPECT_EQ(slot[20], nullptr);
    for (int n = 21; n <= 25; ++n)
      EXPECT_EQ(slot[n] != nullptr, (row.flags & rng::kFlagConversions32) != 0) << "slot " << n;
    for (int n = 26; n <= 36; ++n)
      EXPECT_EQ(slot[n] != nullptr, (row.flags & rng::kFlagConversions64) != 0) << "slot " << n;

    // Without streams (and for RDRAND) the key and counter slots do nothing; without counters
    // the counter slots do nothing.
    if (row.maxStream == 0) {
      EXPECT_EQ(d.ops.key32, rng::kEmptyValue32);
      EXPECT_EQ(d.ops.key64, rng::kEmptyValue64);
      EXPECT_EQ(d.ops.keyDouble, rng::kEmptyValueDouble);
    } else {
      EXPECT_NE(d.ops.key32, rng::kEmptyValue32);
    }
    if ((row.flags & rng::kFlagHasCounters) == 0) {
      EXPECT_EQ(d.ops.counter32, rng::kEmptyValue32);
      EXPECT_EQ(d.ops.counter64, rng::kEmptyValue64);
    } else {
      EXPECT_NE(d.ops.counter32, rng::kEmptyValue32);
    }
    if (row.method == Method::RDRAND) {
      EXPECT_EQ(d.ops.seed32, rng::kEmptyValue32);
      EXPECT_EQ(d.ops.seed64, rng::kEmptyValue64);
      EXPECT_EQ(d.ops.seedDouble, rng::kEmptyValueDouble);
      EXPECT_EQ(d.ops.seedBytes, rng::kEmptySeedBytes);
    }
  }
}

// The methods without recorded seed state refuse byte seeds without touching the state.
TEST_F(FamiliesDescriptors, RefusedSeedBytes) {
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (Method m : {Method::RANUNI, Method::XORGENS}) {
    MethodDescriptor d{};
    rng::methodEntry(m).install(&d);
    StateArea state;
    EXPECT_EQ(d.ops.seedBytes(state.bytes, bytes, 0, 0), 0u) << d.name;
    EXPECT_EQ(d.ops.seedBytes(state.bytes, bytes, 8, 0), 0xFFFFFFFFu) << d.name;
    EXPECT_EQ(std::memcmp(state.bytes, StateArea{}.bytes, sizeof state.bytes), 0) << d.name;
  }
}

TEST_F(FamiliesDescriptors, SizeGivesTheStateSizeNote) {
  record_.messageThreshold = u"ALL";
  MethodDescriptor d{};
  rng::installXor1024(&d);
  record_.codes.clear();
  StateArea state;
  EXPECT_EQ(d.ops.size(state.bytes), 136u);
  ASSERT_EQ(record_.codes.size(), 1u);
  EXPECT_EQ(record_.codes[0], 0x8C7FE852u);
}

// A full listing shows exactly the words of the state: lines of four, the rest on one line.
TEST_F(FamiliesDescriptors, ListingsShowEveryStateWord) {
  auto entries = [](const std::u16string& format) {
    int n = 0;
    for (size_t at = format.find(u"%3i"); at != std::u16string::npos; at = format.find(u"%3i", at + 1))
      ++n;
    return n;
  };
  for (const TableRow& row : kTable) {
    SCOPED_TRACE(row.name);
    MethodDescriptor d{};
    rng::methodEntry(row.method).install(&d);
    StateArea state;
    for (int width : {32, 64}) {
      record_.formats.clear();
      const int64_t words = width == 32 ? row.words32 : row.words64;
      (width == 32 ? d.ops.list32 : d.ops.list64)(state.bytes, 1000);
      int64_t shown = 0;
      for (const std::u16string& f : record_.formats) shown += entries(f);
      EXPECT_EQ(shown, words) << width << "-bit";
      EXPECT_EQ(static_cast<int64_t>(record_.formats.size()), (words + 3) / 4) << width << "-bit";
    }
  }
}

// A zero seed (or a non-positive double seed) takes the clock seed, which "tkbug.RNGSEED" fixes.
TEST_F(FamiliesDescriptors, ZeroSeedsTakeTheClockSeed) {
  record_.forcedSeedSet = true;
  record_.forcedSeed = 777.0;
  for (const TableRow& row : kTable) {
    if (row.method == Method::RDRAND) continue;
    SCOPED_TRACE(row.name);
    MethodDescriptor d{};
    rng::methodEntry(row.method).install(&d);
    StateArea expected, fromZero32, fromZero64, fromDouble;
    d.ops.seed64(expected.bytes, 777);
    d.ops.seed32(fromZero32.bytes, 0);
    d.ops.seed64(fromZero64.bytes, 0);
    d.ops.seedDouble(fromDouble.bytes, -5.0);
    EXPECT_EQ(std::memcmp(expected.bytes, fromZero32.bytes, sizeof expected.bytes), 0);
    EXPECT_EQ(std::memcmp(expected.bytes, fromZero64.bytes, sizeof expected.bytes), 0);
    EXPECT_EQ(std::memcmp(expected.bytes, fromDouble.bytes, sizeof expected.bytes), 0);
  }
}

TEST_F(FamiliesDescriptors, RdrandWithoutTheInstructionDeliversZero) {
  record_.rdrand = false;
  MethodDescriptor d{};
  rng::installRdrand(&d);
  StateArea state;
  EXPECT_EQ(d.ops.next32(state.bytes), 0u);
  EXPECT_EQ(d.ops.next64(state.bytes), 0u);
  EXPECT_EQ(d.ops.open32Redraw(state.bytes), 0.0) << "the redraw gives up after 99 draws";
  EXPECT_EQ(d.ops.lowerClosed53(state.bytes), 0.0);
  // The stream's uniform must not hang; it ends inside (0,1).
  const double u = d.ops.uniform(state.bytes);
  EXPECT_GT(u, 0.0);
  EXPECT_LT(u, 1.0);
  record_.formats.clear();
  d.ops.list32(state.bytes, 10);
  d.ops.list64(state.bytes, 10);
  EXPECT_TRUE(record_.formats.empty());
}

TEST_F(FamiliesDescriptors, RdrandWithTheInstructionDraws) {
  if (!__builtin_cpu_supports("rdrnd")) GTEST_SKIP() << "this processor has no RDRAND";
  record_.rdrand = true;
  MethodDescriptor d{};
  rng::installRdrand(&d);
  StateArea state;
  // Two 64-bit hardware draws agree with probability 2^-64.
  EXPECT_NE(d.ops.next64(state.bytes), d.ops.next64(state.bytes));
  const double u = d.ops.uniform(state.bytes);
  EXPECT_GT(u, 0.0);
  EXPECT_LT(u, 1.0);
}

// --- Through a stream, as the package context creates one -------------------------------------
void* allocateZeroed(HostAllocator*, uint64_t size, uint32_t) { return std::calloc(1, size); }
void releaseBlock(HostAllocator*, void* block) { std::free(block); }
const HostAllocatorOps kAllocatorOps = {&allocateZeroed, &releaseBlock};

struct StreamDeleter {
  void operator()(rng::RandomStream* stream) const { std::free(stream); }
};
using StreamPointer = std::unique_ptr<rng::RandomStream, StreamDeleter>;

StreamPointer makeStream(const char16_t* method, uint64_t seed, uint64_t streamNumber) {
  recorder->method = method;
  HostAllocator allocator = {&kAllocatorOps, nullptr};
  return StreamPointer(rng::createStream(&allocator, seed, streamNumber));
}

TEST_F(FamiliesDescriptors, StreamsKeyTheSubtractKeyMethod) {
  StreamPointer zero = makeStream(u"SUBKEY32", 10, 0);
  ASSERT_NE(zero, nullptr);
  EXPECT_EQ(zero->status, 0u);
  EXPECT_STREQ(zero->embedded.name, "SUBKEY32");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(zero->embedded.ops.next32(zero->state), 10u);

  StreamPointer one = makeStream(u"SUBKEY32", 10, 1);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->status, 0u);
  EXPECT_EQ(one->embedded.ops.next32(one->state), 10u - (1u << 21));
  EXPECT_EQ(one->embedded.ops.next32(one->state), 10u - (1u << 22));
}

TEST_F(FamiliesDescriptors, StreamsDrawTheFirstThreefryWords) {
  StreamPointer stream = makeStream(u"FRY2X32", 1, 0);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->status, 0u);
  EXPECT_EQ(stream->stateSize, 28u);
  EXPECT_EQ(stream->embedded.ops.next32(stream->state), 0x826B67FDu);
  EXPECT_EQ(stream->embedded.ops.next32(stream->state), 0x6DCDC2BBu);
}

// RANUNI's preferred uniform becomes the stream's uniform (where RDRAND exists, which selection
// requires for RANUNI).
TEST_F(FamiliesDescriptors, StreamsUseThePreferredUniformOfRanuni) {
  record_.rdrand = true;
  StreamPointer stream = makeStream(u"RANUNI", 1, 0);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->status, 0u);
  ASSERT_STREQ(stream->embedded.name, "RANUNI");
  EXPECT_EQ(stream->uniform(stream->state), 397204094.0 / 2147483647.0);
}

}  // namespace
