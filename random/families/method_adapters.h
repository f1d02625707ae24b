// Glue shared by the install routines of the generator families: turning a family's typed draw
// into the `next32`/`next64` slot shapes, resolving zero seeds to clock seeds, the double forms
// of seeds and keys, and filling the draw and conversion slots of a 32-bit or 64-bit method.
//
// Contract: the state pointer every slot receives is the stream's state area, large and aligned
// enough for any family state (it is reinterpreted as the family's state struct).
#pragma once

#include <cmath>
#include <cstdint>

#include "random/conversions.h"
#include "random/method_descriptor.h"

namespace rng::families {

template <typename State>
inline State& stateOf(void* state) {
  return *static_cast<State*>(state);
}

// Folds a 64-bit seed or key into the 32 bits a 32-bit generator keeps.
constexpr uint32_t foldTo32(uint64_t value) { return static_cast<uint32_t>(value ^ (value >> 32)); }

// A zero seed means "no seed": it is replaced by a clock seed of the method's width.
inline uint32_t resolveSeed32(uint32_t seed) {
  return seed != 0 ? seed : static_cast<uint32_t>(clockSeed32());
}
inline uint64_t resolveSeed64(uint64_t seed) { return seed != 0 ? seed : clockSeed64(); }

// `seed double`: the double-seed rule with the method's maximum; a non-positive or missing value
// yields 0 and thus a clock seed.
inline uint32_t resolveDoubleSeed32(double seed) {
  return resolveSeed32(static_cast<uint32_t>(doubleSeedRule(seed, 0xFFFFFFFFu)));
}
inline uint64_t resolveDoubleSeed64(double seed) {
  return resolveSeed64(doubleSeedRule(seed, UINT64_MAX));
}

// `key double`: the value modulo 2^32 or 2^64 as an unsigned integer. Missing values and other
// NaNs, infinities and zero give 0, which the key operations treat as "change nothing". Negative
// values wrap like their integer counterparts instead of being converted out of range.
inline uint32_t keyFromDouble32(double x) {
  if (std::isnan(x) || std::isinf(x) || isMissingValue(x)) return 0;
  double r = std::fmod(x, 0x1p32);
  if (r < 0) r += 0x1p32;
  if (!(r < 0x1p32)) return 0;  // a tiny negative value can round up to 2^32 ≡ 0
  return static_cast<uint32_t>(r);
}
inline uint64_t keyFromDouble64(double x) {
  if (std::isnan(x) || std::isinf(x) || isMissingValue(x)) return 0;
  double r = std::fmod(x, 0x1p64);
  if (r < 0) r += 0x1p64;
  if (!(r < 0x1p64)) return 0;
  return static_cast<uint64_t>(r);
}

// ---------------------------------------------------------------------------------------------
// Slot shapes from a family draw. A 32-bit method's `next64` is two draws, the first in the high
// half; a 64-bit method's `next32` is the high half of one draw (the low half is discarded).
// ---------------------------------------------------------------------------------------------
template <typename State, uint32_t (*Draw)(State&)>
uint32_t next32Of32(void* state) {
  return Draw(stateOf<State>(state));
}
template <typename State, uint32_t (*Draw)(State&)>
uint64_t next64Of32(void* state) {
  State& s = stateOf<State>(state);
  const uint64_t high = Draw(s);
  return (high << 32) | Draw(s);
}
template <typename State, uint64_t (*Draw)(State&)>
uint64_t next64Of64(void* state) {
  return Draw(stateOf<State>(state));
}
template <typename State, uint64_t (*Draw)(State&)>
uint32_t next32Of64(void* state) {
  return static_cast<uint32_t>(Draw(stateOf<State>(state)) >> 32);
}

// Slots 15-17, 19 and 21-25 of a 32-bit method: `uniform` is the zero-redrawing 32-bit form and
// fast uniform the lower-closed one.
template <Next32Operation Next32, Next64Operation Next64>
void fillDraws32(MethodOperations& ops) {
  ops.next32 = Next32;
  ops.next64 = Next64;
  ops.uniform = &open32Redraw<Next32>;
  ops.fastUniform = &lowerClosed32<Next32>;
  fillConversions32<Next32>(ops);
}
// Slots 15-17, 19 and 26-36 of a 64-bit method: `uniform` is slot 31, fast uniform slot 35.
template <Next32Operation Next32, Next64Operation Next64>
void fillDraws64(MethodOperations& ops) {
  ops.next32 = Next32;
  ops.next64 = Next64;
  ops.uniform = &open64Redraw<Next64>;
  ops.fastUniform = &closed64<Next64>;
  fillConversions64<Next64>(ops);
}

// Slots 5-7 of a method whose seed is 32 bits wide: `seed32` as given, `seed64` folded, `seed
// double` by the double-seed rule with maximum 0xFFFFFFFF; a zero becomes the 32-bit clock seed.
template <typename State, void (*Seed)(State&, uint32_t)>
void fillSeeds32(MethodOperations& ops) {
  ops.seed32 = [](void* state, uint32_t seed) -> uint32_t {
    Seed(stateOf<State>(state), resolveSeed32(seed));
    return 0;
  };
  ops.seed64 = [](void* state, uint64_t seed) -> uint32_t {
    Seed(stateOf<State>(state),
         seed != 0 ? foldTo32(seed) : static_cast<uint32_t>(clockSeed32()));
    return 0;
  };
  ops.seedDouble = [](void* state, double seed) -> uint32_t {
    Seed(stateOf<State>(state), resolveDoubleSeed32(seed));
    return 0;
  };
}
// Slots 5-7 of a method whose seed is 64 bits wide; a zero becomes the 64-bit clock seed.
template <typename State, void (*Seed)(State&, uint64_t)>
void fillSeeds64(MethodOperations& ops) {
  ops.seed32 = [](void* state, uint32_t seed) -> uint32_t {
    Seed(stateOf<State>(state), resolveSeed64(seed));
    return 0;
  };
  ops.seed64 = [](void* state, uint64_t seed) -> uint32_t {
    Seed(stateOf<State>(state), resolveSeed64(seed));
    return 0;
  };
  ops.seedDouble = [](void* state, double seed) -> uint32_t {
    Seed(stateOf<State>(state), resolveDoubleSeed64(seed));
    return 0;
  };
}

// Slots 8-10 of a method with streams, from its key step (which ignores a zero value).
template <typename State, void (*Key)(State&, uint32_t)>
void fillKeys32(MethodOperations& ops) {
  ops.key32 = [](void* state, uint32_t value) -> uint32_t {
    Key(stateOf<State>(state), value);
    return 0;
  };
  ops.key64 = [](void* state, uint64_t value) -> uint32_t {
    Key(stateOf<State>(state), static_cast<uint32_t>(value));
    return 0;
  };
  ops.keyDouble = [](void* state, double value) -> uint32_t {
    Key(stateOf<State>(state), keyFromDouble32(value));
    return 0;
  };
}
template <typename State, void (*Key)(State&, uint64_t)>
void fillKeys64(MethodOperations& ops) {
  ops.key32 = [](void* state, uint32_t value) -> uint32_t {
    Key(stateOf<State>(state), value);
    return 0;
  };
  ops.key64 = [](void* state, uint64_t value) -> uint32_t {
    Key(stateOf<State>(state), value);
    return 0;
  };
  ops.keyDouble = [](void* state, double value) -> uint32_t {
    Key(stateOf<State>(state), keyFromDouble64(value));
    return 0;
  };
}

// Sizes and limits of the method table.
inline void setLimits(MethodDescriptor* d, uint32_t wordBits, uint64_t seedStateBytes,
                      uint64_t maxSeed, uint64_t maxStream) {
  d->wordBits = wordBits;
  d->seedStateBytes = seedStateBytes;
  d->seedStateBits = static_cast<uint32_t>(seedStateBytes * 8);
  d->maxSeed = maxSeed;
  d->maxStream = maxStream;
}

}  // namespace rng::families
