// Known answers of the Threefry, MH3, PCG, xorshift and RANUNI methods. Each row names its source:
// the published Random123 known-answer vectors for the block functions, and for the generators an
// independent big-integer evaluation of each recurrence as this engine defines it (written apart
// from the C++ code, so a shift, width or carry slip in either shows up as a mismatch).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "random/families/threefry.h"
#include "random/method_list.h"

namespace {

using rng::MethodDescriptor;

// --- Block functions ----------------------------------------------------------------------------
struct Block2x32Case {
  std::array<uint32_t, 2> counter, key, expected;
  const char* source;
};
constexpr Block2x32Case kBlock2x32[] = {
    {{0, 0}, {0, 0}, {0x6B200159, 0x99BA4EFE}, "Random123 kat_vectors threefry2x32 20 zeros"},
    {{0xFFFFFFFF, 0xFFFFFFFF}, {0xFFFFFFFF, 0xFFFFFFFF}, {0x1CB996FC, 0xBB002BE7},
     "Random123 kat_vectors threefry2x32 20 ones"},
    {{0x243F6A88, 0x85A308D3}, {0x13198A2E, 0x03707344}, {0xC4923A9C, 0x483DF7A0},
     "Random123 kat_vectors threefry2x32 20 pi digits"},
};

struct Block2x64Case {
  std::array<uint64_t, 2> counter, key, expected;
  const char* source;
};
constexpr Block2x64Case kBlock2x64[] = {
    {{0, 0}, {0, 0}, {0xC2B6E3A8C2C69865, 0x6F81ED42F350084D},
     "Random123 kat_vectors threefry2x64 20 zeros"},
    {{~0ull, ~0ull}, {~0ull, ~0ull}, {0xE02CB7C4D95D277A, 0xD06633D0893B8B68},
     "Random123 kat_vectors threefry2x64 20 ones"},
    {{0x243F6A8885A308D3, 0x13198A2E03707344},
     {0xA4093822299F31D0, 0x082EFA98EC4E6C89},
     {0x263C7D30BB0F0AF1, 0x56BE8361D3311526},
     "Random123 kat_vectors threefry2x64 20 pi digits"},
};

struct Block4x64Case {
  std::array<uint64_t, 4> counter, key, expected;
  const char* source;
};
constexpr Block4x64Case kBlock4x64[] = {
    {{0, 0, 0, 0},
     {0, 0, 0, 0},
     {0x09218EBDE6C85537, 0x55941F5266D86105, 0x4BD25E16282434DC, 0xEE29EC846BD2E40B},
     "Random123 kat_vectors threefry4x64 20 zeros"},
    {{~0ull, ~0ull, ~0ull, ~0ull},
     {~0ull, ~0ull, ~0ull, ~0ull},
     {0x29C24097942BBA1B, 0x0371BBFB0F6F4E11, 0x3C231FFA33F83A1C, 0xCD29113FDE32D168},
     "Random123 kat_vectors threefry4x64 20 ones"},
    {{0x243F6A8885A308D3, 0x13198A2E03707344, 0xA4093822299F31D0, 0x082EFA98EC4E6C89},
     {0x452821E638D01377, 0xBE5466CF34E90C6C, 0xBE5466CF34E90C6C, 0xC0AC29B7C97C50DD},
     {0xA7E8FDE591651BD9, 0xBAAFD0C30138319B, 0x84A5C1A729E685B9, 0x901D406CCEBC1BA4},
     "Random123 kat_vectors threefry4x64 20 pi digits"},
};

TEST(FamiliesKnownAnswers, ThreefryBlocksMatchPublishedVectors) {
  for (const auto& c : kBlock2x32)
    EXPECT_EQ(rng::threefry::block2<uint32_t>(c.counter, c.key), c.expected) << c.source;
  for (const auto& c : kBlock2x64)
    EXPECT_EQ(rng::threefry::block2<uint64_t>(c.counter, c.key), c.expected) << c.source;
  for (const auto& c : kBlock4x64)
    EXPECT_EQ(rng::threefry::block4(c.counter, c.key), c.expected) << c.source;
}

// --- Generator outputs through the method descriptor ---------------------------------------------
// Seeded with `seed32` (32-bit methods) or `seed64` (64-bit methods), then drawn with `next32` or
// `next64`.
enum class Draw { kNext32, kNext64 };

struct OutputCase {
  rng::Method method;
  uint64_t seed;
  Draw draw;
  std::vector<uint64_t> expected;
  const char* source;
};

const char* const kEvaluated = "independent big-integer evaluation of the recurrence";

const std::vector<OutputCase>& outputCases() {
  using rng::Method;
  static const std::vector<OutputCase> cases = {
      {Method::FRY2X32, 1, Draw::kNext32, {0x826B67FD, 0x6DCDC2BB, 0xB5D8AF90, 0xF59E5E3D,
                                            0x7CF0C187, 0x80917415},
       "threefry2x32-20 of counters (1,0), (2,0), (3,0) under key (1, fmix32(2))"},
      {Method::FRY2X32, 1, Draw::kNext64, {0x826B67FD6DCDC2BB, 0xB5D8AF90F59E5E3D}, kEvaluated},
      {Method::FRY2X64, 42, Draw::kNext64,
       {0xB4D573183719814F, 0x8A840EDC07FCF8AF, 0xA1D7C529C7B63F82}, kEvaluated},
      // next32 of a 64-bit method is the high half of a whole word; the low half is lost.
      {Method::FRY2X64, 42, Draw::kNext32, {0xB4D57318, 0x8A840EDC, 0xA1D7C529}, kEvaluated},
      {Method::FRY4X64, 42, Draw::kNext64,
       {0x9FDC72B171880AED, 0xCF6A893C0DAAE6FF, 0x495D4441B99A0B23, 0x4F02A862A0F06790,
        0xC5C87DCDACC92123},
       kEvaluated},
      {Method::MH3, 1, Draw::kNext64, {0xB456BCFC34C2CB2C, 0x7D6E4AC38B2B1BE2, 0x5AB63AD545355D6A},
       "MurmurHash3 fmix64 iterated from 1"},
      {Method::PCG32I, 1, Draw::kNext32, {0xA3FE8633, 0x0E48FB8F, 0x9345BAE3, 0x99B1240D},
       kEvaluated},
      {Method::PCG32I, 1, Draw::kNext64, {0xA3FE86330E48FB8F}, kEvaluated},
      {Method::PCG64I, 1, Draw::kNext64,
       {0xBA08BEAB5FB702DF, 0xB8E10368E238E3E6, 0xD2082AAD8EAE2F46}, kEvaluated},
      {Method::XOR64, 1, Draw::kNext64, {0x47E4CE4B896CDD1D, 0xABCFA6A8E079651D, 0xB9D10D8FEB731F57},
       "xorshift64* (12, 25, 27; 0x2545F4914F6CDD1D) from x = 1"},
      {Method::XOR128, 1, Draw::kNext64,
       {0x757E544F2F528FA6, 0xD5723CC46244646F, 0x5D0E25519E620967}, kEvaluated},
      {Method::XOR1024, 1, Draw::kNext64,
       {0x552C55D2F301432E, 0x0A7BE18FF3F85A2D, 0x131E8AC278D06F27}, kEvaluated},
      {Method::XOR4096, 1, Draw::kNext64,
       {0x690EA46FFA27E202, 0x6FEEF557EFAA5610, 0x0C5D37CAB64CB18F}, kEvaluated},
      {Method::XORGENS, 1, Draw::kNext64,
       {0xB85497A9BA510638, 0x68E100A50B479104, 0xD00B063876877E9D}, kEvaluated},
      {Method::RANUNI, 1, Draw::kNext32, {397204094, 2083249653, 858616159},
       "x(n+1) = 397204094 x(n) mod (2^31 - 1) from 1"},
      // Seeds above the modulus are reduced by the first step.
      {Method::RANUNI, 0xFFFFFFFF, Draw::kNext32, {0x17ACDA7E, 0x7C2BDDF5}, kEvaluated},
  };
  return cases;
}

struct alignas(16) StateArea {
  uint8_t bytes[2512] = {};
};

TEST(FamiliesKnownAnswers, OutputsThroughDescriptor) {
  for (const OutputCase& c : outputCases()) {
    MethodDescriptor descriptor{};
    rng::methodEntry(c.method).install(&descriptor);
    StateArea state;
    SCOPED_TRACE(testing::Message() << descriptor.name << " seed " << c.seed << ": " << c.source);
    if (descriptor.wordBits > 32) {
      descriptor.ops.seed64(state.bytes, c.seed);
    } else {
      descriptor.ops.seed32(state.bytes, static_cast<uint32_t>(c.seed));
    }
    for (size_t i = 0; i < c.expected.size(); ++i) {
      uint64_t value = c.draw == Draw::kNext32 ? descriptor.ops.next32(state.bytes)
                                               : descriptor.ops.next64(state.bytes);
      EXPECT_EQ(value, c.expected[i]) << "draw " << i;
    }
  }
}

// Longer runs wrap the ring index of the large xorshift generators; a wrong mask or modulus only
// shows after the first lap.
TEST(FamiliesKnownAnswers, RingGeneratorsAfterOneLap) {
  struct Lap {
    rng::Method method;
    int draws;
    uint64_t last;
  };
  const Lap laps[] = {{rng::Method::XOR1024, 17, 0x280A93EDCC3668C5},
                      {rng::Method::XOR4096, 65, 0x42C89D0CC69278DD}};
  for (const Lap& lap : laps) {
    MethodDescriptor descriptor{};
    rng::methodEntry(lap.method).install(&descriptor);
    StateArea state;
    descriptor.ops.seed64(state.bytes, 1);
    uint64_t value = 0;
    for (int i = 0; i < lap.draws; ++i) value = descriptor.ops.next64(state.bytes);
    EXPECT_EQ(value, lap.last) << descriptor.name << " (" << kEvaluated << ")";
  }
}

}  // namespace
