// Plain reference generators for the benchmark, written from the published algorithms and kept
// apart from the engine on purpose: nothing here includes or calls engine code, so a fault the
// two shared could not hide behind agreement.
//
// - Threefry-2x32-20, -2x64-20 and -4x64-20 (Salmon, Moraes, Dror, Shaw, "Parallel random
//   numbers: as easy as 1, 2, 3", SC 2011): Threefish-style rounds without tweak, a key word
//   added every four rounds together with the injection number, the extra key word being the
//   XOR of the key words and the Skein parity constant. Run in counter mode the way the engine's
//   counter-based methods document it: counter starts at 1, a block's words are delivered in
//   order, then the counter is incremented as one multi-word number.
// - MT19937-64 (Nishimura, Matsumoto 2000; the 2004 reference code mt19937-64.c): 312 words,
//   middle word 156, matrix 0xB5026F5AA96619E9, 33/31-bit split, the published tempering.
// - The MurmurHash3 64- and 32-bit finalisers (Appleby), which the seeding of the counter-based
//   methods uses to spread a seed over the key words.
// - For the methods no library in reach implements: xorshift64*, xorshift1024* and
//   xorshift4096* (Vigna 2016, 2017), the engine's xorshift128+ variant that keeps the sum in
//   its second word, xorgens 4096 with its Weyl sequence (Brent 2007, r = 64, s = 53, shifts 33,
//   26, 27, 29), the iterated MurmurHash3 finaliser and the subtract-key sequence, each seeded as
//   the engine documents it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace reference {

constexpr uint32_t murmurFinal32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

constexpr uint64_t murmurFinal64(uint64_t k) {
  k ^= k >> 33;
  k *= 0xFF51AFD7ED558CCDull;
  k ^= k >> 33;
  k *= 0xC4CEB9FE1A85EC53ull;
  k ^= k >> 33;
  return k;
}

constexpr uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
constexpr uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// ---- Threefry-2x32-20 -------------------------------------------------------------------------
// One mixing round of a two-word block.
#define REF_MIX2(rot_, bits_) \
  x0 += x1;                  \
  x1 = rot_(x1, bits_);      \
  x1 ^= x0;
// Key injection number s (1..5) of a two-word block with key schedule ks[0..2].
#define REF_INJECT2(s_)      \
  x0 += ks[(s_) % 3];        \
  x1 += ks[((s_) + 1) % 3];  \
  x1 += (s_);

inline void threefry2x32(const uint32_t in[2], const uint32_t key[2], uint32_t out[2]) {
  const uint32_t ks[3] = {key[0], key[1], 0x1BD11BDAu ^ key[0] ^ key[1]};
  uint32_t x0 = in[0] + ks[0];
  uint32_t x1 = in[1] + ks[1];
  REF_MIX2(rotl32, 13) REF_MIX2(rotl32, 15) REF_MIX2(rotl32, 26) REF_MIX2(rotl32, 6)
  REF_INJECT2(1u)
  REF_MIX2(rotl32, 17) REF_MIX2(rotl32, 29) REF_MIX2(rotl32, 16) REF_MIX2(rotl32, 24)
  REF_INJECT2(2u)
  REF_MIX2(rotl32, 13) REF_MIX2(rotl32, 15) REF_MIX2(rotl32, 26) REF_MIX2(rotl32, 6)
  REF_INJECT2(3u)
  REF_MIX2(rotl32, 17) REF_MIX2(rotl32, 29) REF_MIX2(rotl32, 16) REF_MIX2(rotl32, 24)
  REF_INJECT2(4u)
  REF_MIX2(rotl32, 13) REF_MIX2(rotl32, 15) REF_MIX2(rotl32, 26) REF_MIX2(rotl32, 6)
  REF_INJECT2(5u)
  out[0] = x0;
  out[1] = x1;
}

// ---- Threefry-2x64-20 -------------------------------------------------------------------------
inline void threefry2x64(const uint64_t in[2], const uint64_t key[2], uint64_t out[2]) {
  const uint64_t ks[3] = {key[0], key[1], 0x1BD11BDAA9FC1A22ull ^ key[0] ^ key[1]};
  uint64_t x0 = in[0] + ks[0];
  uint64_t x1 = in[1] + ks[1];
  REF_MIX2(rotl64, 16) REF_MIX2(rotl64, 42) REF_MIX2(rotl64, 12) REF_MIX2(rotl64, 31)
  REF_INJECT2(1u)
  REF_MIX2(rotl64, 16) REF_MIX2(rotl64, 32) REF_MIX2(rotl64, 24) REF_MIX2(rotl64, 21)
  REF_INJECT2(2u)
  REF_MIX2(rotl64, 16) REF_MIX2(rotl64, 42) REF_MIX2(rotl64, 12) REF_MIX2(rotl64, 31)
  REF_INJECT2(3u)
  REF_MIX2(rotl64, 16) REF_MIX2(rotl64, 32) REF_MIX2(rotl64, 24) REF_MIX2(rotl64, 21)
  REF_INJECT2(4u)
  REF_MIX2(rotl64, 16) REF_MIX2(rotl64, 42) REF_MIX2(rotl64, 12) REF_MIX2(rotl64, 31)
  REF_INJECT2(5u)
  out[0] = x0;
  out[1] = x1;
}

#undef REF_MIX2
#undef REF_INJECT2

// ---- Threefry-4x64-20 -------------------------------------------------------------------------
// Even rounds mix the pairs (0,1) and (2,3); odd rounds (0,3) and (2,1).
#define REF_MIX4_EVEN(ra_, rb_)           \
  x0 += x1; x1 = rotl64(x1, ra_); x1 ^= x0; \
  x2 += x3; x3 = rotl64(x3, rb_); x3 ^= x2;
#define REF_MIX4_ODD(ra_, rb_)            \
  x0 += x3; x3 = rotl64(x3, ra_); x3 ^= x0; \
  x2 += x1; x1 = rotl64(x1, rb_); x1 ^= x2;
#define REF_INJECT4(s_)          \
  x0 += ks[(s_) % 5];            \
  x1 += ks[((s_) + 1) % 5];      \
  x2 += ks[((s_) + 2) % 5];      \
  x3 += ks[((s_) + 3) % 5];      \
  x3 += (s_);
#define REF_EIGHT_ROUNDS_4X64(first_, second_)                                      \
  REF_MIX4_EVEN(14, 16) REF_MIX4_ODD(52, 57) REF_MIX4_EVEN(23, 40) REF_MIX4_ODD(5, 37) \
  REF_INJECT4(first_)                                                                 \
  REF_MIX4_EVEN(25, 33) REF_MIX4_ODD(46, 12) REF_MIX4_EVEN(58, 22) REF_MIX4_ODD(32, 32) \
  REF_INJECT4(second_)

inline void threefry4x64(const uint64_t in[4], const uint64_t key[4], uint64_t out[4]) {
  const uint64_t ks[5] = {key[0], key[1], key[2], key[3],
                          0x1BD11BDAA9FC1A22ull ^ key[0] ^ key[1] ^ key[2] ^ key[3]};
  uint64_t x0 = in[0] + ks[0];
  uint64_t x1 = in[1] + ks[1];
  uint64_t x2 = in[2] + ks[2];
  uint64_t x3 = in[3] + ks[3];
  REF_EIGHT_ROUNDS_4X64(1u, 2u)
  REF_EIGHT_ROUNDS_4X64(3u, 4u)
  REF_MIX4_EVEN(14, 16) REF_MIX4_ODD(52, 57) REF_MIX4_EVEN(23, 40) REF_MIX4_ODD(5, 37)
  REF_INJECT4(5u)
  out[0] = x0;
  out[1] = x1;
  out[2] = x2;
  out[3] = x3;
}

#undef REF_MIX4_EVEN
#undef REF_MIX4_ODD
#undef REF_INJECT4
#undef REF_EIGHT_ROUNDS_4X64

// ---- Counter mode -----------------------------------------------------------------------------
// Word and N: the block's word type and width. The key is set by the caller (see the seeding
// helpers below); the counter starts at 1 in its lowest word.
template <typename Word, size_t N, void (*Block)(const Word*, const Word*, Word*)>
class CounterMode {
 public:
  Word key[N] = {};

  Word next() {
    if (used_ == N) {
      Block(counter_, key, block_);
      for (size_t i = 0; i < N && ++counter_[i] == 0; ++i) {
      }
      used_ = 0;
    }
    return block_[used_++];
  }

 private:
  Word counter_[N] = {1};
  Word block_[N] = {};
  size_t used_ = N;
};

// next64 of the 32-bit method: two words, the first in the high half.
class Threefry2x32Generator {
 public:
  explicit Threefry2x32Generator(uint32_t seed) {
    inner_.key[0] = seed;
    inner_.key[1] = murmurFinal32(seed + 1u);
  }
  void mixStream(uint32_t value) { inner_.key[1] ^= murmurFinal32(value); }
  uint64_t next64() {
    const uint64_t high = inner_.next();
    return high << 32 | inner_.next();
  }

 private:
  CounterMode<uint32_t, 2, &threefry2x32> inner_;
};

class Threefry2x64Generator {
 public:
  explicit Threefry2x64Generator(uint64_t seed) {
    inner_.key[0] = seed;
    inner_.key[1] = murmurFinal64(seed + 1u);
  }
  void mixStream(uint64_t value) { inner_.key[1] ^= murmurFinal64(value); }
  uint64_t next64() { return inner_.next(); }

 private:
  CounterMode<uint64_t, 2, &threefry2x64> inner_;
};

class Threefry4x64Generator {
 public:
  explicit Threefry4x64Generator(uint64_t seed) {
    inner_.key[0] = seed;
    for (uint64_t k = 1; k < 4; ++k) inner_.key[k] = murmurFinal64(seed + k);
  }
  void mixStream(uint64_t value) { inner_.key[1] ^= murmurFinal64(value); }
  uint64_t next64() { return inner_.next(); }

 private:
  CounterMode<uint64_t, 4, &threefry4x64> inner_;
};

// ---- MT19937-64 -------------------------------------------------------------------------------
class MersenneTwister64 {
 public:
  static constexpr int NN = 312;
  static constexpr int MM = 156;
  static constexpr uint64_t MATRIX_A = 0xB5026F5AA96619E9ull;
  static constexpr uint64_t UM = 0xFFFFFFFF80000000ull;  // most significant 33 bits
  static constexpr uint64_t LM = 0x7FFFFFFFull;          // least significant 31 bits

  explicit MersenneTwister64(uint64_t seed) {
    mt_[0] = seed;
    for (mti_ = 1; mti_ < NN; ++mti_) {
      mt_[mti_] = 6364136223846793005ull * (mt_[mti_ - 1] ^ (mt_[mti_ - 1] >> 62)) +
                  static_cast<uint64_t>(mti_);
    }
  }

  uint64_t next64() {
    static constexpr uint64_t mag01[2] = {0ull, MATRIX_A};
    if (mti_ >= NN) {
      int i = 0;
      uint64_t x;
      for (; i < NN - MM; ++i) {
        x = (mt_[i] & UM) | (mt_[i + 1] & LM);
        mt_[i] = mt_[i + MM] ^ (x >> 1) ^ mag01[x & 1ull];
      }
      for (; i < NN - 1; ++i) {
        x = (mt_[i] & UM) | (mt_[i + 1] & LM);
        mt_[i] = mt_[i + (MM - NN)] ^ (x >> 1) ^ mag01[x & 1ull];
      }
      x = (mt_[NN - 1] & UM) | (mt_[0] & LM);
      mt_[NN - 1] = mt_[MM - 1] ^ (x >> 1) ^ mag01[x & 1ull];
      mti_ = 0;
    }
    uint64_t x = mt_[mti_++];
    x ^= (x >> 29) & 0x5555555555555555ull;
    x ^= (x << 17) & 0x71D67FFFEDA60000ull;
    x ^= (x << 37) & 0xFFF7EEE000000000ull;
    x ^= (x >> 43);
    return x;
  }

 private:
  uint64_t mt_[NN];
  int mti_ = NN + 1;
};

// ---- Generators no library in reach implements ------------------------------------------------

class Xorshift64Star {
 public:
  explicit Xorshift64Star(uint64_t seed) : x_(seed) {}
  uint64_t next64() {
    x_ ^= x_ >> 12;
    x_ ^= x_ << 25;
    x_ ^= x_ >> 27;
    return x_ * 0x2545F4914F6CDD1Dull;
  }

 private:
  uint64_t x_;
};

// xorshift128+ with the delivered sum kept as the second word (the engine's documented variant).
class Xorshift128PlusKeptSum {
 public:
  explicit Xorshift128PlusKeptSum(uint64_t seed) : s0_(seed), s1_(murmurFinal64(seed + 1)) {}
  uint64_t next64() {
    uint64_t a = s0_;
    const uint64_t b = s1_;
    a ^= a << 23;
    s0_ = b;
    s1_ = (a ^ b ^ (a >> 17) ^ (b >> 26)) + b;
    return s1_;
  }

 private:
  uint64_t s0_, s1_;
};

// xorshift1024* (N = 16: shifts 31, 11, 30) and xorshift4096* (N = 64: shifts 25, 3, 49).
template <int N, int A, int B, int C, uint64_t kMultiplier>
class XorshiftStar {
 public:
  explicit XorshiftStar(uint64_t seed) {
    s_[0] = seed;
    for (int k = 1; k < N; ++k) s_[k] = murmurFinal64(seed + static_cast<uint64_t>(k));
  }
  uint64_t next64() {
    const uint64_t s0 = s_[p_];
    p_ = (p_ + 1) & (N - 1);
    uint64_t s1 = s_[p_];
    s1 ^= s1 << A;
    s_[p_] = s1 ^ s0 ^ (s1 >> B) ^ (s0 >> C);
    return s_[p_] * kMultiplier;
  }

 private:
  uint64_t s_[N];
  int p_ = 0;
};
using Xorshift1024Star = XorshiftStar<16, 31, 11, 30, 0x106689D45497FDB5ull>;
using Xorshift4096Star = XorshiftStar<64, 25, 3, 49, 0x74321163EEC4A005ull>;

class Xorgens4096 {
 public:
  explicit Xorgens4096(uint64_t seed) {
    uint64_t v = seed;
    for (int k = 0; k < 64; ++k) v = spread(v);
    w_ = v;
    for (int k = 0; k < 64; ++k) {
      v = spread(v);
      w_ += kWeyl;
      x_[k] = v + w_;
    }
    i_ = 63;
    for (int k = 0; k < 256; ++k) step();
  }
  uint64_t next64() {
    step();
    w_ += kWeyl;
    return x_[i_] + (w_ ^ (w_ >> 27));
  }

 private:
  static constexpr uint64_t kWeyl = 0x61C8864680B583EBull;
  static uint64_t spread(uint64_t v) {
    v ^= v << 10;
    v ^= v >> 15;
    v ^= v << 4;
    return v ^ (v >> 13);
  }
  void step() {
    i_ = (i_ + 1) & 63;
    uint64_t t = x_[i_];
    uint64_t v = x_[(i_ + 11) & 63];
    t ^= t << 33;
    t ^= t >> 26;
    v ^= v << 27;
    v ^= v >> 29;
    x_[i_] = v ^ t;
  }
  uint64_t x_[64];
  uint64_t w_;
  unsigned i_;
};

class MurmurIterate {
 public:
  explicit MurmurIterate(uint64_t seed) : x_(seed) {}
  uint64_t next64() { return x_ = murmurFinal64(x_); }

 private:
  uint64_t x_;
};

// The subtract-key sequence; next64 of the 32-bit form is two draws, the first in the high half.
template <typename Word>
class SubtractKey {
 public:
  SubtractKey(Word seed, Word key) : x_(seed), key_(key) {}
  uint64_t next64() {
    if constexpr (sizeof(Word) == 4) {
      x_ -= key_;
      const uint64_t high = x_;
      x_ -= key_;
      return high << 32 | x_;
    } else {
      return x_ -= key_;
    }
  }

 private:
  Word x_, key_;
};

}  // namespace reference
