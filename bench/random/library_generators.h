// The independent implementations the benchmark times the methods against: Random123's Threefry
// block functions, pcg-cpp's RXS M XS engines, the standard library's Mersenne Twisters and
// multiplicative congruential engine, and the RDRAND instruction through the compiler's
// intrinsic. Each is set up to deliver exactly the stream of the method it stands beside (the
// benchmark checks that before timing) and offers next64 with the method's meaning: one output of
// a 64-bit generator, two outputs of a 32-bit one with the first in the high half.
//
// Where the method's seeding differs from the library's (PCG, the 1998 Mersenne Twister seeding,
// RANUNI's seed kept as given), the library is handed the method's documented initial state; the
// step and output being timed are the library's own. The test differential_test.cpp says the same
// for every difference.
#pragma once

// Before Random123: see the #undef below.
#include "reference_generators.h"  // murmurFinal32, murmurFinal64

#include <Random123/threefry.h>
#include <immintrin.h>
#include <pcg_random.hpp>

#include <cstddef>
#include <cstdint>
#include <random>
#include <sstream>

// Random123 also offers its 20-round block functions as function-like macros of these names,
// which would rewrite the plain references' functions of the same names; only its classes are
// used here.
#undef threefry2x32
#undef threefry2x64
#undef threefry4x64

namespace library {

// Threefry in counter mode around the library's block function and counter increment: the
// counter starts at (1, 0, ...), a block's words go out in order, then the counter is incremented.
template <typename Block>
class Threefry {
 public:
  using Counter = typename Block::ctr_type;
  using Key = typename Block::key_type;
  using Word = typename Counter::value_type;
  static constexpr size_t kWords = Counter::static_size;

  // The method's seeding: key word 0 = s, key word k = the finalised s + k.
  explicit Threefry(uint64_t seed) {
    for (size_t k = 0; k < Key::static_size; ++k) {
      const Word s = static_cast<Word>(seed + k);
      if constexpr (sizeof(Word) == 4) {
        key_.v[k] = k == 0 ? s : reference::murmurFinal32(s);
      } else {
        key_.v[k] = k == 0 ? s : reference::murmurFinal64(s);
      }
    }
    counter_.v[0] = 1;
  }
  Word next() {
    if (index_ == 0) out_ = block_(counter_, key_);
    const Word value = out_.v[index_];
    if (++index_ == kWords) {
      index_ = 0;
      counter_.incr();
    }
    return value;
  }
  uint64_t next64() {
    if constexpr (sizeof(Word) == 4) {
      const uint64_t high = next();
      return high << 32 | next();
    } else {
      return next();
    }
  }

 private:
  Block block_;
  Counter counter_{};
  Key key_{};
  Counter out_{};
  size_t index_ = 0;
};

// pcg-cpp's RXS M XS with output from the state after the step (`output_previous = false`),
// started from the method's seeding: state = seed + 1, increment 1.
template <typename Word>
class Pcg {
 public:
  explicit Pcg(Word seed) {
    std::stringstream text;
    text << engine_;
    Word multiplier = 0;
    text >> multiplier;
    text.clear();
    text.str("");
    text << multiplier << " 1 " << static_cast<Word>(seed + 1);
    text >> engine_;
  }
  uint64_t next64() {
    if constexpr (sizeof(Word) == 4) {
      const uint64_t high = engine_();
      return high << 32 | engine_();
    } else {
      return engine_();
    }
  }

 private:
  pcg_detail::setseq_base<Word, Word, pcg_detail::rxs_m_xs_mixin, false> engine_;
};

// A seed sequence that hands the standard engine the state words we choose (32 bits at a time).
struct StateWords32 {
  using result_type = uint32_t;
  const uint32_t* words;
  template <typename It>
  void generate(It begin, It end) const {
    for (size_t i = 0; begin != end; ++begin, ++i) *begin = words[i];
  }
};

// std::mt19937 with the 2002 seeding (its own) or the 1998 one (w[k] = 69069 · w[k-1], loaded).
// The methods skip a tempered zero, so the reference does too.
class Mersenne32 {
 public:
  enum class Seeding { k2002, k1998 };
  Mersenne32(uint32_t seed, Seeding seeding) : engine_(seed) {
    if (seeding == Seeding::k1998) {
      uint32_t words[624];
      words[0] = seed;
      for (int k = 1; k < 624; ++k) words[k] = 69069u * words[k - 1];
      StateWords32 sequence{words};
      engine_.seed(sequence);
    }
  }
  uint32_t next() {
    uint32_t value = static_cast<uint32_t>(engine_());
    while (value == 0) value = static_cast<uint32_t>(engine_());
    return value;
  }
  uint64_t next64() {
    const uint64_t high = next();
    return high << 32 | next();
  }

 private:
  std::mt19937 engine_;
};

class Mersenne64 {
 public:
  explicit Mersenne64(uint64_t seed) : engine_(seed) {}
  uint64_t next64() { return engine_(); }

 private:
  std::mt19937_64 engine_;
};

// RANUNI's step: x · 397204094 mod (2^31 - 1). Any seed that is not a multiple of the modulus
// gives the same stream as the method's.
class Lehmer {
 public:
  explicit Lehmer(uint32_t seed) : engine_(seed) {}
  uint64_t next64() {
    const uint64_t high = engine_();
    return high << 32 | engine_();
  }

 private:
  std::linear_congruential_engine<uint32_t, 397204094u, 0u, 2147483647u> engine_;
};

// The RDRAND instruction, retried until it delivers.
class Rdrand {
 public:
  [[gnu::target("rdrnd")]] uint64_t next64() {
    unsigned long long value;
    while (_rdrand64_step(&value) == 0) {
    }
    return value;
  }
};

}  // namespace library
