// Mersenne Twister family: MT1998, MT32, MTHYBRID (MT19937 with three seedings) and MT64
// (MT19937-64). Algorithms: M. Matsumoto and T. Nishimura, "Mersenne Twister: a 623-dimensionally
// equidistributed uniform pseudorandom number generator" (1998) and their 2002 and 2004 reference
// codes. The 32-bit draw skips tempered zeros, so those methods never deliver 0.
#pragma once

#include <cstdint>

namespace rng {

inline constexpr int kMt32Words = 624;
inline constexpr int kMt64Words = 312;

struct Mt32State {
  uint32_t words[kMt32Words];
  uint32_t index;  // next word to temper; 624 = regenerate before the next draw
};
static_assert(sizeof(Mt32State) == 2500);

struct Mt64State {
  uint64_t words[kMt64Words];
  uint32_t index;  // 312 = regenerate
  uint32_t padding;
};
static_assert(sizeof(Mt64State) == 2504);

enum class Mt32Seeding { k1998, k2002, kHybrid };

// Seeds a 32-bit state with s. An MT1998 seeding of 0 would leave every word zero, on which the
// zero-skipping draw would search forever; word 0 then becomes 0x80000000 (the fix the 2002
// reference applies to its array seeding), which is a valid non-zero state.
void seedMt32(Mt32State* state, uint32_t s, Mt32Seeding seeding);
void seedMt64(Mt64State* state, uint64_t s);

uint32_t mt32Next32(void* state);
uint64_t mt32Next64(void* state);
uint64_t mt64Next64(void* state);
uint32_t mt64Next32(void* state);

}  // namespace rng
