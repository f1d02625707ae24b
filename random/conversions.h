// Operations every method shares in the same form: the conversions of raw output to doubles
// (slots 17-36), `seed bytes`, the MurmurHash3 finalisers, the clock seeds, the double-seed rule,
// the RDRAND probe and draws, the empty operation, the state-size note and the install helper.
//
// The conversions are templates over a method's draw (`next32` for slots 21-25, `next64` for
// slots 26-36) so that each method's slot is one direct call with the draw inlined.
// The 64-bit conversions round once to double: converting a 64-bit integer to double is a single
// correct rounding and the scaling by 2^-64 is exact (no result is subnormal), so the product
// equals the exact product rounded once; the full-precision slot, which can reach the subnormal
// range, scales in long double first.
#pragma once

#include <cmath>
#include <cstdint>

#include "random/messages.h"
#include "random/method_descriptor.h"
#include "random/state_listing.h"

namespace rng {

// ---------------------------------------------------------------------------------------------
// MurmurHash3 finalisers.
// ---------------------------------------------------------------------------------------------
constexpr uint32_t fmix32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}
constexpr uint64_t fmix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

// ---------------------------------------------------------------------------------------------
// Seeds.
// ---------------------------------------------------------------------------------------------
// A double whose top 16 bits are all ones marks a missing value.
bool isMissingValue(double x);
// The double-seed rule: x (missing or ≤ 0 → 0) to a seed in 1..N with N = min(maxSeed, 2^53)
// when x is not already a whole number within 0..maxSeed. Gives error 0x8C7FE819 when the
// scaled result falls outside 1..N and returns it anyway.
uint64_t doubleSeedRule(double x, uint64_t maxSeed);
// Clock seeds: "tkbug.RNGSEED" when set, else RDRAND, else the clock.
int32_t clockSeed32();
uint64_t clockSeed64();

// `seed bytes` for a state whose seed determines `seedStateBytes` bytes. Codes: 0 nothing given,
// 2 truncated to the state, 3 repeated, 1 partial copy, 4 copied and extended by hashing.
uint32_t seedBytesShared(void* state, uint64_t seedStateBytes, const uint8_t* bytes, int64_t length,
                         int32_t mode);
template <uint64_t SeedStateBytes>
uint32_t seedBytesOf(void* state, const uint8_t* bytes, int64_t length, int32_t mode) {
  return seedBytesShared(state, SeedStateBytes, bytes, length, mode);
}
// The form of methods without `seed bytes` (RANUNI, XORGENS): changes nothing.
uint32_t seedBytesRefused(void* state, const uint8_t* bytes, int64_t length, int32_t mode);

// ---------------------------------------------------------------------------------------------
// RDRAND.
// ---------------------------------------------------------------------------------------------
// Asks the host's processor information (query 16, selector 0x10200000) for CPUID.1:ECX bit 30.
bool rdrandAvailable();
// Execute the instruction until it reports success. Call only when rdrandAvailable().
uint32_t rdrand32();
uint64_t rdrand64();

// ---------------------------------------------------------------------------------------------
// The empty operation ("do nothing, return 0") in each slot shape it fills.
// ---------------------------------------------------------------------------------------------
template <class... Args>
uint32_t doNothing(void*, Args...) {
  return 0;
}
inline constexpr SeedBytesOperation kEmptySeedBytes = &doNothing<const uint8_t*, int64_t, int32_t>;
inline constexpr Value32Operation kEmptyValue32 = &doNothing<uint32_t>;
inline constexpr Value64Operation kEmptyValue64 = &doNothing<uint64_t>;
inline constexpr ValueDoubleOperation kEmptyValueDouble = &doNothing<double>;

// Slots 8-12 (methods without streams) and 11-12 (methods without counters).
void fillEmptyStreamSlots(MethodOperations& ops);
void fillEmptyCounterSlots(MethodOperations& ops);

// ---------------------------------------------------------------------------------------------
// Install helper and the state-size note.
// ---------------------------------------------------------------------------------------------
// Clears the descriptor, writes the capacities, ORs in the flags, copies the names (at most 15
// characters) and the description (at most 63; null for none), and gives note 0x8C7FE851 at
// level 1 with the description as 8-bit text (the name when there is no description).
void installCommon(MethodDescriptor* descriptor, const char* name, const char16_t* wideName,
                   const char* description, uint32_t flags);
// For `size` operations: gives note 0x8C7FE852 (level 1: wide method name, size) and returns
// the size.
uint64_t noteStateSize(const char16_t* wideName, uint64_t stateBytes);

// ---------------------------------------------------------------------------------------------
// Conversions. Next32/Next64 is the method's draw.
// ---------------------------------------------------------------------------------------------
inline constexpr int kMaxRedraws = 99;
inline constexpr double kTwoToMinus32 = 0x1p-32;
inline constexpr double kTwoToMinus53 = 0x1p-53;
inline constexpr long double kTwoToMinus64 = 0x1p-64L;
inline constexpr double kBelowOne = 0x1.fffffffffffffp-1;  // largest double below 1.0

// Slot 21: r · 2^-32, a zero redrawn; the 99th draw is used whatever it is.
template <Next32Operation Next>
double open32Redraw(void* state) {
  uint32_t r = Next(state);
  for (int draws = 1; r == 0 && draws < kMaxRedraws; ++draws) r = Next(state);
  return r * kTwoToMinus32;
}
template <Next32Operation Next>
double midpoint32(void* state) {  // slot 22
  return (Next(state) + 0.5) * kTwoToMinus32;
}
template <Next32Operation Next>
double upperClosed32(void* state) {  // slot 23
  return (static_cast<double>(Next(state)) + 1.0) * kTwoToMinus32;
}
template <Next32Operation Next>
double lowerClosed32(void* state) {  // slot 24 (and fast uniform of 32-bit methods)
  return Next(state) * kTwoToMinus32;
}
template <Next32Operation Next>
double closed32(void* state) {  // slot 25: rounded up to even; 0xFFFFFFFF gives 1.0
  uint64_t r = Next(state);
  return static_cast<double>(r + (r & 1)) * kTwoToMinus32;
}

// Slot 26: the top 53 bits; an output below 2048 is redrawn, at most 99 draws in all.
template <Next64Operation Next>
double open53Redraw(void* state) {
  uint64_t top = Next(state) >> 11;
  for (int draws = 1; top == 0 && draws < kMaxRedraws; ++draws) top = Next(state) >> 11;
  return static_cast<double>(top) * kTwoToMinus53;
}
template <Next64Operation Next>
double odd53(void* state) {  // slot 27
  return static_cast<double>((Next(state) >> 11) | 1) * kTwoToMinus53;
}
template <Next64Operation Next>
double upperClosed53(void* state) {  // slot 28
  return static_cast<double>((Next(state) >> 11) + 1) * kTwoToMinus53;
}
template <Next64Operation Next>
double lowerClosed53(void* state) {  // slot 29
  return static_cast<double>(Next(state) >> 11) * kTwoToMinus53;
}
template <Next64Operation Next>
double closed53(void* state) {  // slot 30
  uint64_t top = Next(state) >> 11;
  return static_cast<double>(top + (top & 1)) * kTwoToMinus53;
}

inline double scale64(uint64_t r) { return static_cast<double>(r) * 0x1p-64; }

// Slot 31 (`uniform` of the 64-bit methods): r · 2^-64, redrawn while r is 0 or the result
// rounds to 1.0. The redraws are bounded like slot 26 (99 draws in all), so a generator stuck on
// such a value cannot hang the caller; after the last draw the result is forced inside (0,1):
// the largest double below 1.0 for a product that rounded to 1.0, 2^-64 for a zero.
template <Next64Operation Next>
double open64Redraw(void* state) {
  uint64_t r = 0;
  double x = 0.0;
  for (int draws = 0; draws < kMaxRedraws; ++draws) {
    r = Next(state);
    x = scale64(r);
    if (r != 0 && x < 1.0) return x;
  }
  return r == 0 ? static_cast<double>(kTwoToMinus64) : kBelowOne;
}
template <Next64Operation Next>
double open64(void* state) {  // slot 32
  uint64_t x = Next(state) | 1;
  if (x >= 0xFFFFFFFFFFFFFC01ull) x <<= 54;
  return scale64(x);
}
template <Next64Operation Next>
double upperClosed64(void* state) {  // slot 33: (r + 1) · 2^-64; r + 1 = 2^64 gives 1.0
  uint64_t r = Next(state);
  return r == ~0ull ? 1.0 : scale64(r + 1);
}
template <Next64Operation Next>
double lowerClosed64(void* state) {  // slot 34
  uint64_t r = Next(state);
  if (r >= 0xFFFFFFFFFFFFFC00ull) r <<= 54;
  return scale64(r);
}
template <Next64Operation Next>
double closed64(void* state) {  // slot 35 (and fast uniform of 64-bit methods)
  return scale64(Next(state));
}
// Slot 36: every bit of the significand random, down to 2^-1074. Zero outputs lower the exponent
// by 64 each; leading zero bits of the first non-zero output are refilled from one further draw.
template <Next64Operation Next>
double fullPrecision(void* state) {
  int exponent = -64;
  uint64_t a = Next(state);
  while (a == 0) {
    exponent -= 64;
    if (exponent < -1074) return 0.0;
    a = Next(state);
  }
  int k = __builtin_clzll(a);
  if (k >= 1) {
    a = (a << k) | (Next(state) >> (64 - k));
    exponent -= k;
  }
  return static_cast<double>(std::ldexp(static_cast<long double>(a | 1), exponent));
}

// Fills slots 21-25 from Next (32-bit group).
template <Next32Operation Next>
void fillConversions32(MethodOperations& ops) {
  ops.open32Redraw = &open32Redraw<Next>;
  ops.midpoint32 = &midpoint32<Next>;
  ops.upperClosed32 = &upperClosed32<Next>;
  ops.lowerClosed32 = &lowerClosed32<Next>;
  ops.closed32 = &closed32<Next>;
}
// Fills slots 26-36 from Next (53-bit and 64-bit groups).
template <Next64Operation Next>
void fillConversions64(MethodOperations& ops) {
  ops.open53Redraw = &open53Redraw<Next>;
  ops.odd53 = &odd53<Next>;
  ops.upperClosed53 = &upperClosed53<Next>;
  ops.lowerClosed53 = &lowerClosed53<Next>;
  ops.closed53 = &closed53<Next>;
  ops.open64Redraw = &open64Redraw<Next>;
  ops.open64 = &open64<Next>;
  ops.upperClosed64 = &upperClosed64<Next>;
  ops.lowerClosed64 = &lowerClosed64<Next>;
  ops.closed64 = &closed64<Next>;
  ops.fullPrecision = &fullPrecision<Next>;
}

}  // namespace rng
