// Threefry counter-based block functions (Salmon, Moraes, Dror, Shaw: "Parallel random numbers:
// as easy as 1, 2, 3", SC 2011) and the generator state the FRY2X32, FRY2X64 and FRY4X64 methods
// keep around them.
//
// A generator encrypts a counter under a key; each block yields 2 or 4 output words. The state is
// laid out exactly as the state listings show it: counter, key, output buffer, index. The index is
// the position of the next unused buffer word; 0 means the buffer must be computed before the next
// draw. Seeds arrive here already resolved (never 0): replacing 0 by a clock seed is the method
// adapter's job, so these cores stay free of any host dependency and can be tested on their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "random/conversions.h"  // MurmurHash3 finalisers fmix32, fmix64

namespace rng {

// ---------------------------------------------------------------------------------------------
// Block functions: 20 rounds, a key injection after every 4 rounds with the injection number
// added to the last word, and an extra key word formed with the Skein parity constant.
// ---------------------------------------------------------------------------------------------
namespace threefry {

template <typename Word>
constexpr Word rotateLeft(Word value, unsigned bits) {
  constexpr unsigned kWidth = sizeof(Word) * 8;
  return static_cast<Word>((value << bits) | (value >> (kWidth - bits)));
}

inline constexpr int kRounds = 20;
inline constexpr uint32_t kParity32 = 0x1BD11BDAu;
inline constexpr uint64_t kParity64 = 0x1BD11BDAA9FC1A22ull;
inline constexpr unsigned kRotations2x32[8] = {13, 15, 26, 6, 17, 29, 16, 24};
inline constexpr unsigned kRotations2x64[8] = {16, 42, 12, 31, 16, 32, 24, 21};
inline constexpr unsigned kRotations4x64[8][2] = {{14, 16}, {52, 57}, {23, 40}, {5, 37},
                                                   {25, 33}, {46, 12}, {58, 22}, {32, 32}};

// Every round is written out at compile time (index_sequence, forced inline), so that each
// rotation is by a constant, each injection picks its key words without a modulo at run time
// and the words stay in registers: a loop of 20 rounds is more than the compiler unrolls by
// itself, and the rolled form was several times slower per block.
template <typename Word, size_t kRound>
[[gnu::always_inline]] constexpr void round2(Word& x0, Word& x1, const Word* schedule) {
  constexpr bool kWide = sizeof(Word) == 8;
  constexpr unsigned kRotation = kWide ? kRotations2x64[kRound % 8] : kRotations2x32[kRound % 8];
  x0 += x1;
  x1 = rotateLeft<Word>(x1, kRotation);
  x1 ^= x0;
  if constexpr (kRound % 4 == 3) {
    constexpr unsigned kInjection = kRound / 4 + 1;
    x0 += schedule[kInjection % 3];
    x1 += schedule[(kInjection + 1) % 3];
    x1 += static_cast<Word>(kInjection);
  }
}

// All rounds in order, written out.
template <typename Word, size_t... kRound>
[[gnu::always_inline]] constexpr void rounds2(Word& x0, Word& x1, const Word* schedule,
                                              std::index_sequence<kRound...>) {
  (round2<Word, kRound>(x0, x1, schedule), ...);
}

// Two-word block; Word is uint32_t (parity kParity32) or uint64_t (kParity64).
template <typename Word>
constexpr std::array<Word, 2> block2(const std::array<Word, 2>& counter,
                                     const std::array<Word, 2>& key) {
  constexpr bool kWide = sizeof(Word) == 8;
  const Word parity = kWide ? static_cast<Word>(kParity64) : static_cast<Word>(kParity32);
  const Word schedule[3] = {key[0], key[1], static_cast<Word>(parity ^ key[0] ^ key[1])};
  Word x0 = counter[0] + schedule[0];
  Word x1 = counter[1] + schedule[1];
  rounds2<Word>(x0, x1, schedule, std::make_index_sequence<kRounds>{});
  return {x0, x1};
}

// One round of the four-word block. Even rounds mix (0,1) and (2,3); odd rounds mix (0,3) and
// (2,1), which is Threefish's word permutation written out.
template <size_t kRound>
[[gnu::always_inline]] constexpr void round4(uint64_t& x0, uint64_t& x1, uint64_t& x2,
                                             uint64_t& x3, const uint64_t* schedule) {
  constexpr unsigned kFirst = kRotations4x64[kRound % 8][0];
  constexpr unsigned kSecond = kRotations4x64[kRound % 8][1];
  if constexpr (kRound % 2 == 0) {
    x0 += x1; x1 = rotateLeft<uint64_t>(x1, kFirst); x1 ^= x0;
    x2 += x3; x3 = rotateLeft<uint64_t>(x3, kSecond); x3 ^= x2;
  } else {
    x0 += x3; x3 = rotateLeft<uint64_t>(x3, kFirst); x3 ^= x0;
    x2 += x1; x1 = rotateLeft<uint64_t>(x1, kSecond); x1 ^= x2;
  }
  if constexpr (kRound % 4 == 3) {
    constexpr unsigned kInjection = kRound / 4 + 1;
    x0 += schedule[kInjection % 5];
    x1 += schedule[(kInjection + 1) % 5];
    x2 += schedule[(kInjection + 2) % 5];
    x3 += schedule[(kInjection + 3) % 5];
    x3 += kInjection;
  }
}

// All rounds of the four-word block in order, written out.
template <size_t... kRound>
[[gnu::always_inline]] constexpr void rounds4(uint64_t& x0, uint64_t& x1, uint64_t& x2,
                                              uint64_t& x3, const uint64_t* schedule,
                                              std::index_sequence<kRound...>) {
  (round4<kRound>(x0, x1, x2, x3, schedule), ...);
}

// Four-word block of 64-bit words.
constexpr std::array<uint64_t, 4> block4(const std::array<uint64_t, 4>& counter,
                                         const std::array<uint64_t, 4>& key) {
  const uint64_t schedule[5] = {key[0], key[1], key[2], key[3],
                                kParity64 ^ key[0] ^ key[1] ^ key[2] ^ key[3]};
  uint64_t x0 = counter[0] + schedule[0];
  uint64_t x1 = counter[1] + schedule[1];
  uint64_t x2 = counter[2] + schedule[2];
  uint64_t x3 = counter[3] + schedule[3];
  rounds4(x0, x1, x2, x3, schedule, std::make_index_sequence<kRounds>{});
  return {x0, x1, x2, x3};
}

}  // namespace threefry

// ---------------------------------------------------------------------------------------------
// Generator state: counter (word 0 least significant), key, output buffer, index, all of the
// method's word width.
// ---------------------------------------------------------------------------------------------
template <typename Word, size_t kWords>
struct ThreefryState {
  std::array<Word, kWords> counter;
  std::array<Word, kWords> key;
  std::array<Word, kWords> buffer;
  Word index;

  using WordType = Word;
  static constexpr size_t kBufferWords = kWords;

  std::array<Word, kWords> computeBlock() const {
    if constexpr (kWords == 2) {
      return threefry::block2<Word>(counter, key);
    } else {
      return threefry::block4(counter, key);
    }
  }

  // Every seeding restarts the counter at (1, 0, ...) with an empty buffer.
  void resetCounter() {
    counter.fill(0);
    counter[0] = 1;
    buffer.fill(0);
    index = 0;
  }

  // One word of the method's width. The counter advances, with carry across its words, once the
  // buffer has been used up.
  Word draw() {
    if (index == 0) buffer = computeBlock();
    const Word value = buffer[static_cast<size_t>(index)];
    index = static_cast<Word>(index + 1);
    if (index == kWords) {
      index = 0;
      for (size_t i = 0; i < kWords; ++i) {
        counter[i] = static_cast<Word>(counter[i] + 1);
        if (counter[i] != 0) break;
      }
    }
    return value;
  }

  // Positions the generator so that the next draw is output number `position` (0-based) of the
  // current key and upper counter words, counted from a fresh seeding: block `position / n`
  // after the seeded counter value 1, word `position % n` inside it. The upper counter words
  // (substream) are kept.
  void advance(Word position) {
    counter[0] = static_cast<Word>(position / kWords + 1);
    index = static_cast<Word>(position % kWords);
    if (index != 0) buffer = computeBlock();
  }
};

using Fry2x32State = ThreefryState<uint32_t, 2>;
using Fry2x64State = ThreefryState<uint64_t, 2>;
using Fry4x64State = ThreefryState<uint64_t, 4>;
static_assert(sizeof(Fry2x32State) == 28);
static_assert(sizeof(Fry2x64State) == 56);
static_assert(sizeof(Fry4x64State) == 104);
static_assert(offsetof(Fry2x32State, key) == 8 && offsetof(Fry2x32State, index) == 24);
static_assert(offsetof(Fry4x64State, key) == 32 && offsetof(Fry4x64State, index) == 96);

// Seeding (s already non-zero). Key word 0 is the seed; the other key words are finalised
// neighbours of it so that nearby seeds give unrelated keys.
inline void seedFry2x32(Fry2x32State& state, uint32_t seed) {
  state.key = {seed, fmix32(seed + 1u)};
  state.resetCounter();
}
inline void seedFry2x64(Fry2x64State& state, uint64_t seed) {
  state.key = {seed, fmix64(seed + 1u)};
  state.resetCounter();
}
inline void seedFry4x64(Fry4x64State& state, uint64_t seed) {
  state.key = {seed, fmix64(seed + 1u), fmix64(seed + 2u),
               fmix64(seed + 3u)};
  state.resetCounter();
}

// Streams mix into key word 1; a zero value changes nothing. Counters (substreams) set counter
// word 1 for the two-word methods; FRY4X64 instead mixes into key word 2, keeping its whole
// 256-bit counter for positions.
inline void keyFry2x32(Fry2x32State& state, uint32_t value) {
  if (value != 0) state.key[1] ^= fmix32(value);
}
inline void counterFry2x32(Fry2x32State& state, uint32_t value) {
  if (value != 0) state.counter[1] = fmix32(value);
}
inline void keyFry2x64(Fry2x64State& state, uint64_t value) {
  if (value != 0) state.key[1] ^= fmix64(value);
}
inline void counterFry2x64(Fry2x64State& state, uint64_t value) {
  if (value != 0) state.counter[1] = fmix64(value);
}
inline void keyFry4x64(Fry4x64State& state, uint64_t value) {
  if (value != 0) state.key[1] ^= fmix64(value);
}
inline void counterFry4x64(Fry4x64State& state, uint64_t value) {
  if (value != 0) state.key[2] ^= fmix64(value);
}

}  // namespace rng
