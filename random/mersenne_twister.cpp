// Mersenne Twister methods: seeding, stream and counter keys, zero-skipping 32-bit draw, the
// 64-bit draw, and the four install routines.
#include "random/mersenne_twister.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "random/conversions.h"
#include "random/method_list.h"
#include "random/murmur_hash.h"

namespace rng {
namespace {

constexpr uint32_t kKeyTag = 15;
constexpr uint32_t kCounterTag = 255;
constexpr uint64_t kMtSeedBytes = 2496;
constexpr double kJustBelowTwoToMinus32 = std::bit_cast<double>(0x3DEFFFFFFFFFFFFFull);

Mt32State* mt32(void* state) { return static_cast<Mt32State*>(state); }
Mt64State* mt64(void* state) { return static_cast<Mt64State*>(state); }

// fmod(x, modulus) truncated to an integer and taken modulo the modulus, so negative keys wrap
// as a two's-complement conversion would (-1 gives all ones, -0.5 gives 0); 0 for a NaN.
uint64_t doubleKey(double x, double modulus) {
  double r = std::trunc(std::fmod(x, modulus));
  if (std::isnan(r)) return 0;
  if (r < 0) r += modulus;
  return r >= 9223372036854775808.0 ? static_cast<uint64_t>(r)
                                    : static_cast<uint64_t>(static_cast<int64_t>(r));
}

// ---------------------------------------------------------------------------------------------
// 32-bit methods.
// ---------------------------------------------------------------------------------------------
void regenerate32(Mt32State* s) {
  constexpr int n = kMt32Words, m = 397;
  constexpr uint32_t upper = 0x80000000u, lower = 0x7FFFFFFFu, matrix = 0x9908B0DFu;
  uint32_t* w = s->words;
  int k = 0;
  for (; k < n - m; ++k) {
    uint32_t y = (w[k] & upper) | (w[k + 1] & lower);
    w[k] = w[k + m] ^ (y >> 1) ^ (matrix & (0 - (y & 1)));
  }
  for (; k < n - 1; ++k) {
    uint32_t y = (w[k] & upper) | (w[k + 1] & lower);
    w[k] = w[k + (m - n)] ^ (y >> 1) ^ (matrix & (0 - (y & 1)));
  }
  uint32_t y = (w[n - 1] & upper) | (w[0] & lower);
  w[n - 1] = w[m - 1] ^ (y >> 1) ^ (matrix & (0 - (y & 1)));
  s->index = 0;
}

void guardAllZero(Mt32State* s) {
  for (uint32_t word : s->words)
    if (word != 0) return;
  s->words[0] = 0x80000000u;
}

// Applies a key (tag 15) or counter (tag 255): each word becomes the hash of (i, tag, v) seeded
// with the word itself. A zero value changes nothing.
uint32_t rekey32(void* state, uint32_t tag, uint32_t v) {
  if (v == 0) return 0;
  Mt32State* s = mt32(state);
  for (uint32_t i = 0; i < kMt32Words; ++i) {
    const uint32_t block[3] = {i, tag, v};
    s->words[i] = murmur3X86_32(block, sizeof block, s->words[i]);
  }
  return 1;
}

template <Mt32Seeding Seeding>
uint32_t seed32Mt(void* state, uint32_t s) {
  if (s == 0) s = static_cast<uint32_t>(clockSeed32());
  seedMt32(mt32(state), s, Seeding);
  return 2;
}
template <Mt32Seeding Seeding>
uint32_t seed64Mt(void* state, uint64_t v) {
  uint32_t s = v != 0 ? static_cast<uint32_t>(v ^ (v >> 32)) : static_cast<uint32_t>(clockSeed32());
  seedMt32(mt32(state), s, Seeding);
  return 1;
}
template <Mt32Seeding Seeding>
uint32_t seedDoubleMt(void* state, double x) {
  uint32_t s = (isMissingValue(x) || !(x > 0))
                   ? static_cast<uint32_t>(clockSeed32())
                   : static_cast<uint32_t>(doubleSeedRule(x, 0xFFFFFFFFu));
  seedMt32(mt32(state), s, Seeding);
  return 1;
}
uint32_t seedBytesMt32(void* state, const uint8_t* bytes, int64_t length, int32_t mode) {
  uint32_t code = seedBytesShared(state, kMtSeedBytes, bytes, length, mode);
  if (code != 0) {
    guardAllZero(mt32(state));
    mt32(state)->index = kMt32Words;
  }
  return code;
}
uint32_t key32Mt(void* state, uint32_t v) { return rekey32(state, kKeyTag, v); }
uint32_t key64Mt(void* state, uint64_t v) { return rekey32(state, kKeyTag, static_cast<uint32_t>(v)); }
uint32_t keyDoubleMt(void* state, double x) {
  if (isMissingValue(x) || x == 0) return 0;
  return rekey32(state, kKeyTag, static_cast<uint32_t>(doubleKey(x, 4294967296.0)));
}
uint32_t counter32Mt(void* state, uint32_t v) { return rekey32(state, kCounterTag, v); }
uint32_t counter64Mt(void* state, uint64_t v) {
  return rekey32(state, kCounterTag, static_cast<uint32_t>(v));
}

double preferredUniformMt(void* state) { return mt32Next32(state) * kJustBelowTwoToMinus32; }

// ---------------------------------------------------------------------------------------------
// MT64.
// ---------------------------------------------------------------------------------------------
// The matrix is applied by mask, not by branch: the low bit is random, so a branch on it would
// be mispredicted for every other word and cost more than the rest of the recurrence.
void regenerate64(Mt64State* s) {
  constexpr int n = kMt64Words, m = 156;
  constexpr uint64_t matrix = 0xB5026F5AA96619E9ull;
  constexpr uint64_t upper = 0xFFFFFFFF80000000ull, lower = 0x7FFFFFFFull;
  uint64_t* w = s->words;
  int k = 0;
  for (; k < n - m; ++k) {
    uint64_t y = (w[k] & upper) | (w[k + 1] & lower);
    w[k] = w[k + m] ^ (y >> 1) ^ (matrix & (0 - (y & 1)));
  }
  for (; k < n - 1; ++k) {
    uint64_t y = (w[k] & upper) | (w[k + 1] & lower);
    w[k] = w[k + (m - n)] ^ (y >> 1) ^ (matrix & (0 - (y & 1)));
  }
  uint64_t y = (w[n - 1] & upper) | (w[0] & lower);
  w[n - 1] = w[m - 1] ^ (y >> 1) ^ (matrix & (0 - (y & 1)));
  s->index = 0;
}

uint32_t rekey64(void* state, uint64_t tag, uint64_t v) {
  if (v == 0) return 0;
  Mt64State* s = mt64(state);
  for (uint64_t i = 0; i < kMt64Words; ++i) {
    const uint64_t block[3] = {i, tag, v};
    s->words[i] = wordHash64(block, 3, s->words[i]);
  }
  return 1;
}

uint32_t seed32Mt64(void* state, uint32_t s) {
  seedMt64(mt64(state), s != 0 ? s : clockSeed64());
  return 1;
}
uint32_t seed64Mt64(void* state, uint64_t s) {
  seedMt64(mt64(state), s != 0 ? s : clockSeed64());
  return 2;
}
uint32_t seedDoubleMt64(void* state, double x) {
  uint64_t s = (isMissingValue(x) || !(x > 0)) ? 0 : doubleSeedRule(x, ~0ull);
  seedMt64(mt64(state), s != 0 ? s : clockSeed64());
  return 1;
}
uint32_t seedBytesMt64(void* state, const uint8_t* bytes, int64_t length, int32_t mode) {
  uint32_t code = seedBytesShared(state, kMtSeedBytes, bytes, length, mode);
  if (code != 0) mt64(state)->index = kMt64Words;
  return code;
}
uint32_t key32Mt64(void* state, uint32_t v) { return rekey64(state, kKeyTag, v); }
uint32_t key64Mt64(void* state, uint64_t v) { return rekey64(state, kKeyTag, v); }
uint32_t keyDoubleMt64(void* state, double x) {
  if (isMissingValue(x) || x == 0) return 0;
  return rekey64(state, kKeyTag, doubleKey(x, 18446744073709551616.0));
}
uint32_t counter32Mt64(void* state, uint32_t v) { return rekey64(state, kCounterTag, v); }
uint32_t counter64Mt64(void* state, uint64_t v) { return rekey64(state, kCounterTag, v); }

// ---------------------------------------------------------------------------------------------
// Install routines.
// ---------------------------------------------------------------------------------------------
uint64_t sizeMt1998(void*) { return noteStateSize(u"MT1998", sizeof(Mt32State)); }
uint64_t sizeMt32(void*) { return noteStateSize(u"MT32", sizeof(Mt32State)); }
uint64_t sizeMtHybrid(void*) { return noteStateSize(u"MTHYBRID", sizeof(Mt32State)); }
uint64_t sizeMt64(void*) { return noteStateSize(u"MT64", sizeof(Mt64State)); }

template <Mt32Seeding Seeding>
void installMt32Family(MethodDescriptor* d, const char* name, const char16_t* wideName,
                       const char* description, SizeOperation size) {
  installCommon(d, name, wideName, description, 0x28AF);
  d->seedStateBytes = kMtSeedBytes;
  d->seedStateBits = kMtSeedBytes * 8;
  d->wordBits = 32;
  d->maxSeed = 0xFFFFFFFFu;
  d->maxStream = 0xFFFFFFFFu;
  MethodOperations& ops = d->ops;
  ops.size = size;
  ops.list32 = &list32Of<sizeof(Mt32State)>;
  ops.list64 = &list64Of<sizeof(Mt32State)>;
  ops.seedBytes = &seedBytesMt32;
  ops.seed32 = &seed32Mt<Seeding>;
  ops.seed64 = &seed64Mt<Seeding>;
  ops.seedDouble = &seedDoubleMt<Seeding>;
  ops.key32 = &key32Mt;
  ops.key64 = &key64Mt;
  ops.keyDouble = &keyDoubleMt;
  ops.counter32 = &counter32Mt;
  ops.counter64 = &counter64Mt;
  ops.next32 = &mt32Next32;
  ops.next64 = &mt32Next64;
  ops.uniform = &open32Redraw<&mt32Next32>;
  ops.preferredUniform = &preferredUniformMt;
  ops.fastUniform = &lowerClosed32<&mt32Next32>;
  fillConversions32<&mt32Next32>(ops);
}

}  // namespace

void seedMt32(Mt32State* state, uint32_t s, Mt32Seeding seeding) {
  if (seeding == Mt32Seeding::kHybrid)
    seeding = (s & 0x1FFFu) != 0 ? Mt32Seeding::k1998 : Mt32Seeding::k2002;
  uint32_t* w = state->words;
  w[0] = s;
  if (seeding == Mt32Seeding::k1998) {
    for (int k = 1; k < kMt32Words; ++k) w[k] = 69069u * w[k - 1];
    if (s == 0) w[0] = 0x80000000u;  // the only all-zero seeding
  } else {
    for (uint32_t k = 1; k < kMt32Words; ++k) w[k] = 1812433253u * (w[k - 1] ^ (w[k - 1] >> 30)) + k;
  }
  state->index = kMt32Words;
}

void seedMt64(Mt64State* state, uint64_t s) {
  uint64_t* w = state->words;
  w[0] = s;
  for (uint64_t k = 1; k < kMt64Words; ++k)
    w[k] = 6364136223846793005ull * (w[k - 1] ^ (w[k - 1] >> 62)) + k;
  state->index = kMt64Words;
}

uint32_t mt32Next32(void* state) {
  Mt32State* s = mt32(state);
  for (;;) {
    if (s->index >= kMt32Words) regenerate32(s);
    uint32_t y = s->words[s->index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    if (y != 0) return y;
  }
}

uint64_t mt32Next64(void* state) {
  uint64_t high = mt32Next32(state);
  return (high << 32) | mt32Next32(state);
}

uint64_t mt64Next64(void* state) {
  Mt64State* s = mt64(state);
  if (s->index >= kMt64Words) regenerate64(s);
  uint64_t y = s->words[s->index++];
  y ^= (y >> 29) & 0x5555555555555555ull;
  y ^= (y << 17) & 0x71D67FFFEDA60000ull;
  y ^= (y << 37) & 0xFFF7EEE000000000ull;
  y ^= y >> 43;
  return y;
}

uint32_t mt64Next32(void* state) { return static_cast<uint32_t>(mt64Next64(state) >> 32); }

void installMt1998(MethodDescriptor* d) {
  installMt32Family<Mt32Seeding::k1998>(d, "MT1998", u"MT1998", "1998 32-bit Mersenne Twister",
                                        &sizeMt1998);
}
void installMt32(MethodDescriptor* d) {
  installMt32Family<Mt32Seeding::k2002>(d, "MT32", u"MT32", "2002 32-bit Mersenne Twister",
                                        &sizeMt32);
}
void installMtHybrid(MethodDescriptor* d) {
  installMt32Family<Mt32Seeding::kHybrid>(d, "MTHYBRID", u"MTHYBRID",
                                          "Hybrid 1998/2002 32-bit Mersenne Twister",
                                          &sizeMtHybrid);
}

void installMt64(MethodDescriptor* d) {
  installCommon(d, "MT64", u"MT64", "64-bit Mersenne Twister", 0x1157);
  d->seedStateBytes = kMtSeedBytes;
  d->seedStateBits = kMtSeedBytes * 8;
  d->wordBits = 64;
  d->maxSeed = ~0ull;
  d->maxStream = ~0ull;
  MethodOperations& ops = d->ops;
  ops.size = &sizeMt64;
  ops.list32 = &list32Of<sizeof(Mt64State)>;
  ops.list64 = &list64Of<sizeof(Mt64State)>;
  ops.seedBytes = &seedBytesMt64;
  ops.seed32 = &seed32Mt64;
  ops.seed64 = &seed64Mt64;
  ops.seedDouble = &seedDoubleMt64;
  ops.key32 = &key32Mt64;
  ops.key64 = &key64Mt64;
  ops.keyDouble = &keyDoubleMt64;
  ops.counter32 = &counter32Mt64;
  ops.counter64 = &counter64Mt64;
  ops.next32 = &mt64Next32;
  ops.next64 = &mt64Next64;
  ops.uniform = &open64Redraw<&mt64Next64>;
  ops.fastUniform = &closed64<&mt64Next64>;
  fillConversions64<&mt64Next64>(ops);
}

}  // namespace rng
